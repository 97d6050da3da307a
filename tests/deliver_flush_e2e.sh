#!/usr/bin/env bash
# What one delivery flushes at the default sync levels, and that every
# delivery it acknowledges survives a kill:
#  - one flush of the message file and one of the folder's index (its new
#    record and the header that counts it together; a crash that tears the
#    record during that flush is recognised when the folder is next read),
#    nothing else: the mailbox list's log is written at commit, not flushed,
#    and not flushed at exit either;
#  - a delivery killed once its status is decided (at its last system call
#    before exit_group, at exit_group) is in the folder after the daemon's
#    recovery, the check clean, the quota counting it;
#  - a delivery killed at the write of its commit to the list's log (what a
#    machine crash does to an unflushed log), or the databases put back as
#    they were before a delivery, leave the index counting the message and
#    the list behind it; the next delivery catches the usage up, so the
#    quota again counts what the index counts.
# Usage: deliver_flush_e2e.sh BINDIR (the folder holding orvadm...).
set -uo pipefail
bindir=$1
. "$(dirname "$0")/e2e_lib.sh"
count_failures
command -v strace > /dev/null || { echo "strace is not installed; skipped"; exit 77; }
# The leak checker of sanitised builds refuses to run under ptrace.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0"
write_config
adm init > /dev/null || die "orvadm init"
start_stored
msg() { printf 'From: a@example.com\r\nSubject: %s\r\n\r\nbody of %s\r\n' "$1" "$1"; }
deliver() { timeout 60 "$bindir/orvdeliver" "$@"; }
quota_msgs() { adm quota show "user/$1" | sed -n 's/.* KB, \([0-9]*\) of .*/\1/p'; }
# Runs orvdeliver USER under strace with the further strace options given,
# the message on standard input; status of the delivery.
traced() {
  local user=$1; shift
  local st=0
  timeout 60 strace -f -qq "$@" "$bindir/orvdeliver" "$user" || st=$?
  echo "$st"
}
restart_stored() {
  kill -KILL "$pid" 2> /dev/null
  pid=""
  start_stored
}

for u in a b c; do adm user create $u > /dev/null || die "user create $u"; done
for u in a b c; do msg first | deliver $u || die "first delivery to $u"; done

# ---- The flushes of one delivery --------------------------------------------
st=$(msg second | traced a -y -o "$tmp/trace" -e trace=fsync,fdatasync,sync_file_range,msync)
[ "$st" = 0 ] || fail "traced delivery: status $st"
grep -v '^+++\|^---' "$tmp/trace" > "$tmp/flushes"
[ "$(grep -c . "$tmp/flushes")" -le 2 ] || fail "more than two flushes for one delivery: $(cat "$tmp/flushes")"
[ "$(grep -c '/2\.msg>' "$tmp/flushes")" = 1 ] || fail "the message file is not flushed once: $(cat "$tmp/flushes")"
[ "$(grep -c '/store\.idx>' "$tmp/flushes")" = 1 ] || fail "the index is not flushed once: $(cat "$tmp/flushes")"
# A delivery to a known user leaves the directory alone: its client library,
# and the TLS stack behind it, is not even loaded.
adm user create known > /dev/null || die "user create known"
st=$(msg loaded | traced known -o "$tmp/opens" -e trace=open,openat)
[ "$st" = 0 ] || fail "traced delivery for the library check: status $st"
grep -q libldap "$tmp/opens" && fail "a delivery to a known user loads the directory client library"
# From level 2 on, the commit flushes the list's log as well.
cp "$ORV_CONFIG" "$tmp/c.default"
echo "local.dbtxnsync = 2" >> "$ORV_CONFIG"
st=$(msg third | traced a -y -o "$tmp/trace" -e trace=fsync,fdatasync)
[ "$st" = 0 ] || fail "traced delivery at level 2: status $st"
grep -q '/log\.[0-9]*>' "$tmp/trace" || fail "level 2 does not flush the list's log: $(cat "$tmp/trace")"
cp "$tmp/c.default" "$ORV_CONFIG"

# ---- Killed once its status is decided ------------------------------------------
# The status is decided when the commit returns; what follows (closing the
# list, exit) may die without losing the message.  (Its last write is the
# commit's own, to the list's log: a kill there is the lost commit below.)
# Each kill point is found on a probe delivery to p, whose folder is in the
# same state as b's: the syscall and its count.
# last_call TRACE REGEX: "NAME COUNT" of the last call whose name matches
# REGEX before exit_group, COUNT its occurrences up to there.
last_call() {
  awk -v re="$2" '
    { sub(/^[0-9]+ +/, "") }
    /^exit_group\(/ { exit }
    /^[a-z_0-9]+\(/ { name = $0; sub(/\(.*/, "", name); n[name]++; if (name ~ re) { last = name; at = n[name] } }
    END { if (last != "") print last, at }' "$1"
}
adm user create p > /dev/null || die "user create p"
msg first | deliver p || die "first delivery to p"
uid=2
for point in last exit; do
  st=$(msg probe | traced p -o "$tmp/trace")
  [ "$st" = 0 ] || fail "probe delivery to p: status $st"
  case $point in
    last) call=$(last_call "$tmp/trace" '.') ;;
    exit) call="exit_group 1" ;;
  esac
  [ -n "$call" ] || die "no $point call in the trace of the probe: $(tail -5 "$tmp/trace")"
  set -- $call
  st=$({ msg "last $point" | traced b -o /dev/null -e trace="$1" -e inject="$1":signal=KILL:when="$2"; } 2> /dev/null)
  [ "$st" = 137 ] || fail "the delivery to b was not killed at $point ($call; status $st)"
  restart_stored
  adm check user/b > "$tmp/out" 2>&1 || fail "check of b after the kill at $point: $(cat "$tmp/out")"
  [ "$(quota_msgs b)" = "$uid" ] || fail "quota of b after the kill at $point: $(adm quota show user/b)"
  f=$(find "$tmp/p1" -path '*=b/*' -name "$uid.msg")
  [ -n "$f" ] && grep -q "body of last $point" "$f" || fail "the delivery to b killed at $point is not stored: '$f'"
  uid=$((uid + 1))
done

# ---- Killed at the commit's log write -------------------------------------------
# Which pwrite64 writes the list's log: traced once on a, whose folder is
# in the same state as c's.
st=$(msg probe | traced a -y -o "$tmp/trace" -e trace=pwrite64)
[ "$st" = 0 ] || fail "traced delivery to a: status $st"
n=$(awk '/pwrite64\(/ { count++; if (/\/log\.[0-9]*>/) { print count; exit } }' "$tmp/trace")
[ -n "$n" ] || die "no write of the list's log in the trace: $(cat "$tmp/trace")"
st=$({ msg lost | traced c -o /dev/null -e trace=pwrite64 -e inject=pwrite64:signal=KILL:when="$n"; } 2> /dev/null)
[ "$st" = 137 ] || fail "the delivery to c was not killed at its log write (status $st)"
restart_stored
[ "$(quota_msgs c)" = 1 ] || fail "the lost commit counts in the quota of c: $(adm quota show user/c)"
msg after | deliver c || fail "delivery to c after the lost commit"
adm check user/c > "$tmp/out" 2>&1 || fail "check of c after the catch-up: $(cat "$tmp/out")"
[ "$(quota_msgs c)" = 3 ] || fail "quota of c after the catch-up: $(adm quota show user/c)"
[ -n "$(find "$tmp/p1" -path '*=c/*' -name 2.msg)" ] || fail "the message of the lost commit is gone"

# ---- The list as it was before a delivery ---------------------------------------
# Below level 2 a commit's log write is not flushed: after a machine crash
# the list (folder record and quota) may be the one from before a delivery
# whose message and index are on disk.  Made here by putting back a copy of
# the databases taken before it.
adm user create q > /dev/null || die "user create q"
msg first | deliver q || die "first delivery to q"
stop_stored || fail "orvstored did not stop"
cp -a "$tmp/store" "$tmp/store.before" || die "copy of the databases"
start_stored
msg second | deliver q || fail "second delivery to q"
stop_stored || fail "orvstored did not stop"
rm -rf "$tmp/store" && mv "$tmp/store.before" "$tmp/store" || die "databases put back"
start_stored
[ "$(quota_msgs q)" = 1 ] || fail "the put-back list does not count one message: $(adm quota show user/q)"
adm check user/q > "$tmp/out" 2>&1
grep -q 'an append died before its commit' "$tmp/out" || fail "check of q does not see the index ahead: $(cat "$tmp/out")"
msg third | deliver q || fail "third delivery to q"
adm check user/q > "$tmp/out" 2>&1 || fail "check of q after the catch-up: $(cat "$tmp/out")"
[ "$(quota_msgs q)" = 3 ] || fail "quota of q after the catch-up: $(adm quota show user/q)"
f=$(find "$tmp/p1" -path '*=q/*' -name 2.msg)
[ -n "$f" ] && grep -q 'body of second' "$f" || fail "the second message of q is gone: '$f'"

stop_stored || fail "orvstored did not stop"
finish "delivery flushes e2e"
