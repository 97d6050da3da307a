#!/usr/bin/env bash
# orvadm check on hand-built folders: an empty folder is consistent; a
# short index, an unknown version and a record whose message file is
# missing are reported with exit 65; a missing folder directory is 66.
set -euo pipefail
orvadm=$1
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
printf 'local.store.dir = %s/store\nstore.partition.primary.path = %s/p\n' "$tmp" "$tmp" > "$tmp/c.conf"

le32() { printf "\\x$(printf %02x $(($1 & 255)))\\x$(printf %02x $((($1 >> 8) & 255)))\\x$(printf %02x $((($1 >> 16) & 255)))\\x$(printf %02x $((($1 >> 24) & 255)))"; }
# header: version exists flags largest last_append last_uid oldest_msg
# oldest_uid qused(lo,hi) dfe uidvalidity trigger unused2 unused3 | cache
# start first_expunged unused1 unused2, then LF, ACL, NUL, zeros to 7856.
empty_folder() {  # dir version
  mkdir -p "$1"
  {
    le32 "$2"; for _ in $(seq 10); do le32 0; done; le32 99; le32 0; le32 0; le32 0
    le32 7856; le32 256; le32 0; le32 0; le32 0
    printf '\nann\tlrs\t\0'
    head -c $((7856 - 80 - 10)) /dev/zero
  } > "$1/store.idx"
}

empty_folder "$tmp/f1" 258
[ "$(stat -c %s "$tmp/f1/store.idx")" = 7856 ] || fail "hand-built folder has the wrong size"
"$orvadm" -c "$tmp/c.conf" check "$tmp/f1" > "$tmp/out" || fail "empty folder: exit $? $(cat "$tmp/out")"
grep -q '^consistent' "$tmp/out" || fail "empty folder not reported consistent"
grep -q 'records at 256, cache at 7856' "$tmp/out" || fail "offsets not reported: $(cat "$tmp/out")"

empty_folder "$tmp/f2" 259
status=0; "$orvadm" -c "$tmp/c.conf" check "$tmp/f2" > "$tmp/out" || status=$?
[ "$status" = 65 ] || fail "unknown version: exit $status"
grep -q 'unknown version 0x103' "$tmp/out" || fail "unknown version not named: $(cat "$tmp/out")"

empty_folder "$tmp/f3" 258
truncate -s 79 "$tmp/f3/store.idx"
status=0; "$orvadm" -c "$tmp/c.conf" check "$tmp/f3" > "$tmp/out" || status=$?
[ "$status" = 65 ] || fail "short index: exit $status"
grep -q 'shorter than its 80-byte fixed header' "$tmp/out" || fail "short index not named"

# One message (uid 5, 10 bytes) whose file is missing: exists 1, last_uid
# 5, largest 10, qused 10; record at 256 points at a cache entry of 11
# empty items at the start of the cache area.
mkdir -p "$tmp/f4"
{
  le32 258; le32 1; le32 0; le32 10; le32 0; le32 5; le32 0; le32 5; le32 10; le32 0; le32 0; le32 99; le32 0; le32 0; le32 0
  le32 7856; le32 256; le32 0; le32 0; le32 0
  printf '\n\0'
  head -c $((256 - 82)) /dev/zero
  le32 5; le32 0; le32 0; le32 0; le32 0; le32 0; le32 0; le32 10; le32 0; le32 0; le32 0; le32 0; le32 0; le32 0
  le32 0; le32 0; le32 0; le32 5; le32 99
  head -c $((7856 - 256 - 76)) /dev/zero
  head -c 44 /dev/zero
} > "$tmp/f4/store.idx"
status=0; "$orvadm" -c "$tmp/c.conf" check "$tmp/f4" > "$tmp/out" || status=$?
[ "$status" = 65 ] || fail "missing message file: exit $status $(cat "$tmp/out")"
grep -q 'record 1 (uid 5): message file 00/5.msg missing' "$tmp/out" || fail "missing file not named: $(cat "$tmp/out")"
mkdir -p "$tmp/f4/00" && printf '0123456789' > "$tmp/f4/00/5.msg"
"$orvadm" -c "$tmp/c.conf" check "$tmp/f4" > "$tmp/out" || fail "with its file the folder is consistent: $(cat "$tmp/out")"

status=0; "$orvadm" -c "$tmp/c.conf" check "$tmp/nothing" > /dev/null 2>&1 || status=$?
[ "$status" = 66 ] || fail "missing folder: exit $status"
status=0; "$orvadm" -c "$tmp/c.conf" check > /dev/null 2>&1 || status=$?
[ "$status" = 64 ] || fail "no argument: exit $status"
echo ok
