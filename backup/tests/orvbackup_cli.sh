#!/usr/bin/env bash
# End-to-end checks of the orvbackup command line: stream layout on a file
# and on standard output, the usage errors with their texts and statuses,
# a full device, and a long stream into a pipe and a file (the same bytes,
# and the failures when the reader goes or the file cannot grow).
# Usage: orvbackup_cli.sh PATH-TO-ORVBACKUP
set -u
bin=$1
tmp=$(mktemp -d "${TMPDIR:-/tmp}/orvbackup_cli.XXXXXX")
tools=$(cd "$(dirname "$bin")/../tools" && pwd)
pid=""
cleanup() {
  if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then kill -TERM "$pid"; sleep 1; kill -KILL "$pid" 2>/dev/null || true; fi
  rm -rf "$tmp"
}
trap cleanup EXIT
cat > "$tmp/orv.conf" <<EOF
local.store.dir = $tmp/store
local.servername = mailhost
local.log.target = stderr
store.partition.primary.path = $tmp/p1
EOF
export ORV_CONFIG=$tmp/orv.conf
# The backup joins the mailbox list, which the store daemon makes ready.
"$tools/orvadm" init > /dev/null || { echo "FAIL: orvadm init" >&2; exit 1; }
"$tools/orvstored" || { echo "FAIL: orvstored did not start" >&2; exit 1; }
pid=$("$tools/orvadm" status | sed -n 's/.*pid \([0-9]*\).*/\1/p')
: > "$tmp/empty"
fails=0

fail() { echo "FAIL: $*" >&2; fails=$((fails + 1)); }

# run WANT-STATUS ARGS...: runs orvbackup with stdout and stderr captured.
run() {
  local want=$1; shift
  timeout 60 "$bin" "$@" > "$tmp/out" 2> "$tmp/err" < /dev/null
  local rc=$?
  [ "$rc" -eq "$want" ] || fail "orvbackup $*: status $rc, wanted $want; stderr: $(cat "$tmp/err")"
}
err_has() { grep -qF -- "$1" "$tmp/err" || fail "stderr lacks '$1': $(cat "$tmp/err")"; }
size_of() { stat -c %s "$1"; }
head_hex() { od -An -tx1 -N "$2" "$1" | tr -d ' \n'; }

usage="USAGE: $bin: -f device [-b blockfactor] [-d date] [-m link_count] [-e encoding] [-u file] [-ivlgx] [name ...]"

# An empty name list: header and end marker, one block of 10240 bytes.
run 0 -f "$tmp/x" -u "$tmp/empty"
[ "$(head_hex "$tmp/x" 17)" = "5abacab50000000000000000""4d5f626b02" ] || fail "first 17 bytes: $(head_hex "$tmp/x" 17)"
[ "$(size_of "$tmp/x")" -eq 10240 ] || fail "stream length $(size_of "$tmp/x")"
[ "$(stat -c %a "$tmp/x")" = 600 ] || fail "mode of the backup file $(stat -c %a "$tmp/x")"
[ -s "$tmp/err" ] && fail "unexpected text: $(cat "$tmp/err")"

# Block factors change the block size; the stream fills whole blocks.
for b in 1 600; do
  run 0 -b "$b" -f "$tmp/x$b" -u "$tmp/empty"
  [ $(( $(size_of "$tmp/x$b") % (b * 512) )) -eq 0 ] || fail "-b $b: length $(size_of "$tmp/x$b")"
done

# -f - writes only the stream to standard output.
run 0 -f - -u "$tmp/empty"
[ "$(size_of "$tmp/out")" -eq 10240 ] || fail "-f -: stdout holds $(size_of "$tmp/out") bytes"
[ "$(head_hex "$tmp/out" 4)" = "5abacab5" ] || fail "-f -: stdout does not start with a block"
[ -s "$tmp/err" ] && fail "-f -: unexpected text: $(cat "$tmp/err")"

# -v prints the header listing on standard error.
run 0 -v -f "$tmp/x" -u "$tmp/empty"
err_has " Tape Version  : 2"
err_has " Message Store : mailhost"
err_has " Block factor  : 20"
run 0 -v -d 20040230 -f "$tmp/x" -u "$tmp/empty"
err_has " Incremental   : Mon, 01 Mar 2004 00:00:00"

# Usage errors.
run 64; err_has "$usage"
run 64 /; err_has "$usage"
run 64 -f "$tmp/a" -f "$tmp/b" /; err_has "$usage"
run 64 -f "$tmp/a" -x /; err_has "$usage"
run 64 -f "$tmp/a" -d 19991231 /; err_has "$usage"
run 64 -f "$tmp/a" -d 20040101:24 /; err_has "$usage"
run 64 -f "$tmp/a" -u a -u b; err_has "$usage"
run 64 -f "$tmp/a" -n ab joe; err_has "Invalid backup path: ab"
run 66 -f "$tmp/a"
err_has "Warning: Backup path is not provided. To perform a full backup, use / as the backup path."
run 66 -f "$tmp/a" -u "$tmp/no-such-list"
run 73 -f "$tmp/no/such/dir/x" /; err_has "Cannot create backup file: No such file or directory"
grep -q "Error occured" "$tmp/err" && fail "early exits print no trailer"

# A name the store does not hold.
run 79 -f "$tmp/x" joe
err_has "/primary/user/joe does not exist"
err_has "Error occured, see default logfile"

# A name that is not valid in its character set is refused, not dropped.
run 65 -f "$tmp/x" -e UTF-8 $'joe\xff'
err_has "Invalid path joe"

# -l on a plain file.
run 0 -l -f "$tmp/x" -u "$tmp/empty"
err_has "device is not a tape, autochange tapes flag ignored"

# A device with no room: no callback for a non-tape, so the backup fails.
if [ -w /dev/full ]; then
  run 74 -f /dev/full -u "$tmp/empty"
  err_has "device full: No space left on device"
  err_has "Backup cancelled"
  err_has "Device error"
  err_has "Error occured, see default logfile"
fi

# A reader that goes away: the write fails, the process is not killed.
"$bin" -f - -b 1 -u "$tmp/empty" 2> "$tmp/err" | true
rc=${PIPESTATUS[0]}
[ "$rc" -eq 0 ] || [ "$rc" -eq 74 ] || fail "closed pipe: status $rc"

# A stream of several rings' worth (the writer buffers 256 KiB): standard
# output, a pipe, gets the bytes a file gets; they differ only in the
# header's date (stream bytes 5-8, file bytes 17-20).
"$tools/orvadm" user create joe --partition primary > /dev/null || fail "user create joe"
for n in 1 2 3; do
  { printf 'From: a@example.com\r\nTo: joe@example.com\r\nSubject: big %s\r\n\r\n' "$n"
    head -c 300000 /dev/urandom | base64 -w 76; } | "$tools/orvdeliver" joe > /dev/null || fail "deliver big $n"
done
nodate() { dd if=/dev/zero of="$1" bs=1 seek=17 count=4 conv=notrunc status=none; }
run 0 -f "$tmp/vfile" /primary/user/joe/INBOX
timeout 60 "$bin" -f - /primary/user/joe/INBOX 2> "$tmp/err" < /dev/null | cat > "$tmp/vpipe"
rc=${PIPESTATUS[0]}
[ "$rc" -eq 0 ] || fail "-f - into a pipe: status $rc: $(cat "$tmp/err")"
[ "$(size_of "$tmp/vfile")" -gt 1000000 ] || fail "the big stream has $(size_of "$tmp/vfile") bytes"
nodate "$tmp/vfile"; nodate "$tmp/vpipe"
cmp -s "$tmp/vfile" "$tmp/vpipe" || fail "a pipe and a file get different streams"

# The reader of a long stream goes away: a device error, not a killed process.
timeout 60 "$bin" -f - /primary/user/joe/INBOX 2> "$tmp/err" < /dev/null | head -c 20000 > /dev/null
rc=${PIPESTATUS[0]}
[ "$rc" -eq 74 ] || fail "closed pipe: status $rc: $(cat "$tmp/err")"
err_has "Error writing block: Broken pipe"
err_has "Device error"
err_has "Error occured, see default logfile"

# A file that cannot grow past 300 KiB: no callback for a non-tape, so the
# backup fails and the file it made is removed.
(trap '' XFSZ; ulimit -f 300; timeout 60 "$bin" -f "$tmp/short" /primary/user/joe/INBOX < /dev/null) \
  > /dev/null 2> "$tmp/err"
rc=$?
[ "$rc" -eq 74 ] || fail "a file without room: status $rc: $(cat "$tmp/err")"
err_has "device full: File too large"
err_has "Backup cancelled: File too large"
err_has "Device error"
err_has "Removed the incomplete backup file $tmp/short"
[ -e "$tmp/short" ] && fail "the incomplete file is left"

# Without a configuration the context cannot start.
ORV_CONFIG=$tmp/missing.conf run 69 -f "$tmp/x" /

[ "$fails" -eq 0 ] && echo "orvbackup_cli: all passed"
exit $((fails > 0))
