#!/usr/bin/env bash
# A restore killed midway and run again ends with the store one whole
# restore makes.  Each folder's messages are flushed together when the
# restore leaves the folder, so a kill can land anywhere inside a folder:
# strace kills orvrestore (SIGKILL) at the Nth call of one of the calls that
# change the store (write, pwrite64, link, fdatasync, syncfs), N
# drawn from a fixed seed; the daemon recovers the dead process's
# transaction, orvrestore runs again, and the folder records, the message
# files (bytes and sharing) and orvadm check must match the whole restore.
# The flushes of a restore are counted too: one syncfs per folder, none per
# message.
# Usage: restore_kill_e2e.sh BINDIR (the build directory).
set -uo pipefail
bin=$1
bindir=$bin/tools
. "$(dirname "$0")/e2e_lib.sh"
count_failures
command -v strace > /dev/null || die "strace is not installed"
mkdir -p "$tmp/root/config"
write_config "local.servername = e2ehost" "local.serverroot = $tmp/root"
start() {
  adm init > /dev/null || die "orvadm init"
  start_stored
}
wipe() {
  stop_stored || true
  rm -rf "$tmp/store" "$tmp/p1" "$tmp/p2"
  start
}
folders="user/joe user/joe/Sent user/ann user/bob"
snapshot() {
  for f in $folders; do adm folder show "$f" | grep -v '^last append'; done
  (cd "$tmp" && find p1 p2 -name '*.msg' -type f -printf '%P %n\n' | sort | while read -r p n; do
    echo "$p $n $(md5sum < "$(ls -d p1/"$p" p2/"$p" 2>/dev/null | head -1)" | cut -c1-32)"
  done)
}
check_all() {
  for f in $folders; do
    adm check "$f" > "$tmp/check" 2>&1 || fail "$1: orvadm check $f: $(cat "$tmp/check")"
  done
}
msg() { printf 'From: a@example.com\r\nTo: %s@example.com\r\nSubject: %s\r\n\r\n%s\r\n' "$1" "$2" "$3"; }
restore() { timeout 60 "$bin/backup/orvrestore" -f "$tmp/vol" "$@"; }

start
for u in joe ann; do adm user create $u --partition primary > /dev/null || die "user create $u"; done
adm user create bob --partition second > /dev/null || die "user create bob"
adm folder create user/joe/Sent > /dev/null || die "folder create"
for i in 1 2 3; do msg joe "joe $i" "body $i" | "$bindir/orvdeliver" joe > /dev/null || die "deliver joe $i"; done
msg joe shared "to joe and ann" | "$bindir/orvdeliver" joe ann > /dev/null || die "deliver shared"
msg ann ann "ann's own" | "$bindir/orvdeliver" ann > /dev/null || die "deliver ann"
for i in 1 2; do msg joe "sent $i" "sent body $i" | "$bindir/orvdeliver" -m Sent joe > /dev/null || die "deliver sent"; done
for i in 1 2; do msg bob "bob $i" "bob's $i" | "$bindir/orvdeliver" bob > /dev/null || die "deliver bob"; done
adm acl set user/joe/Sent ann lr > /dev/null || die "acl set"
timeout 60 "$bin/backup/orvbackup" -f "$tmp/vol" / > /dev/null 2> "$tmp/err" || die "orvbackup: $(cat "$tmp/err")"

# One whole restore, traced: the reference store, and the calls to kill at.
wipe
ASAN_OPTIONS=detect_leaks=0 timeout 120 strace -f -qq -y -o "$tmp/trace" \
  -e trace=write,pwrite64,link,fdatasync,fsync,syncfs "$bin/backup/orvrestore" -f "$tmp/vol" \
  > /dev/null 2> "$tmp/err" || fail "whole restore: $(cat "$tmp/err")"
snapshot > "$tmp/ref"
check_all "whole restore"
grep -q ' 2 ' "$tmp/ref" || fail "the shared message file was not shared again: $(cat "$tmp/ref")"
count() { grep -c "^[0-9]* *$1(" "$tmp/trace"; }
# 9 messages in 4 folders: one file system flush per folder, none of a
# message file, and an index flushed only when its folder is made or its
# ACL set.
nfolders=$(echo $folders | wc -w)
[ "$(count syncfs)" -eq "$nfolders" ] || fail "syncfs calls: $(count syncfs), wanted $nfolders"
msgsyncs=$(grep -cE '(fdatasync|fsync)\([0-9]+<[^>]*\.msg>' "$tmp/trace")
[ "$msgsyncs" -eq 0 ] || fail "$msgsyncs flushes of message files"
idxsyncs=$(grep -cE '(fdatasync|fsync)\([0-9]+<[^>]*store\.idx>' "$tmp/trace")
[ "$idxsyncs" -le $((2 * nfolders)) ] || fail "$idxsyncs flushes of index files for $nfolders folders"

# Killed and run again, five times.
RANDOM=20261207
kills=0
for call in write pwrite64 link fdatasync syncfs; do
  total=$(count "$call")
  [ "$total" -gt 0 ] || { fail "no $call in the trace of a whole restore"; continue; }
  n=$((RANDOM % total + 1))
  wipe
  # (The status comes out through a file, so the subshell reports the
  # kill to its own silenced error output, not the script's.)
  (ASAN_OPTIONS=detect_leaks=0 timeout 120 strace -f -qq -o /dev/null -e trace="$call" \
    -e inject="$call":signal=KILL:when="$n" "$bin/backup/orvrestore" -f "$tmp/vol" > /dev/null 2>&1
    echo $? > "$tmp/rc") 2> /dev/null
  rc=$(cat "$tmp/rc")
  [ $rc -ne 0 ] || { fail "orvrestore was not killed at $call $n of $total"; continue; }
  kills=$((kills + 1))
  # The daemon's recovery rolls back the dead restore's open transaction.
  kill -KILL "$pid" 2> /dev/null
  pid=""
  start_stored
  restore > /dev/null 2> "$tmp/err" || fail "restore after a kill at $call $n: $(cat "$tmp/err")"
  snapshot > "$tmp/again"
  diff "$tmp/ref" "$tmp/again" > "$tmp/diff" || fail "killed at $call $n, run again, differs: $(cat "$tmp/diff")"
  check_all "killed at $call $n"
done
[ $kills -eq 5 ] || fail "only $kills of 5 restores were killed"
stop_stored || fail "orvstored did not stop"
finish "restore kill e2e"
