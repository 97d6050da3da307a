#!/usr/bin/env python3
"""Prints one line per record of a backup volume (a file written by
orvbackup -f): the record's type number and the MD5 of its data, in stream
order, so two volumes can be compared record by record beside the
attributes orvrestore -t -v shows.

Volume layout: blocks of the size the volume header gives, each opening
with a 12-byte prefix; the bytes after the prefixes, joined, are the
stream: the 149-byte header (block size big-endian at offset 141), then
records (big-endian: 2-byte id length, id, 2-byte type, 4-byte time,
2-byte info length, info, 4-byte data length, data) up to an id length 0.

Usage: bkvol_digest.py VOLUME
"""
import hashlib
import struct
import sys

PREFIX = 12
HEADER = 149


def stream(path):
    with open(path, "rb") as f:
        vol = f.read()
    if len(vol) < PREFIX + HEADER or vol[PREFIX:PREFIX + 4] != b"M_bk":
        sys.exit("not a backup volume")
    (blocksize,) = struct.unpack(">I", vol[PREFIX + 141:PREFIX + 145])
    if blocksize <= PREFIX or len(vol) % blocksize:
        sys.exit("block size %d does not divide the volume (%d bytes)" % (blocksize, len(vol)))
    return b"".join(vol[off + PREFIX:off + blocksize] for off in range(0, len(vol), blocksize))


def main():
    s = stream(sys.argv[1])
    pos = HEADER
    n = 0
    while True:
        if pos + 2 > len(s):
            sys.exit("stream ends before the end marker")
        (idlen,) = struct.unpack(">H", s[pos:pos + 2])
        if idlen == 0:
            break
        pos += 2 + idlen
        rtype, _when, infolen = struct.unpack(">HIH", s[pos:pos + 8])
        pos += 8 + infolen
        (dlen,) = struct.unpack(">I", s[pos:pos + 4])
        pos += 4
        if pos + dlen > len(s):
            sys.exit("stream ends inside a record's data")
        print(rtype, hashlib.md5(s[pos:pos + dlen]).hexdigest())
        pos += dlen
        n += 1
    if n == 0:
        sys.exit("no records")


main()
