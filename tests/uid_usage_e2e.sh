#!/usr/bin/env bash
# Two limits of a folder's counters, with the real programs:
#  - a folder whose uids are used up (last uid 4294967295) refuses further
#    deliveries (orvdeliver exits 73) and restores (orvrestore exits 73)
#    without storing anything, never wrapping to uid 0;
#  - orvdeliver killed (strace injects SIGKILL) at the exact system call
#    between its index header write and the commit of the mailbox list:
#    orvadm check reports the index ahead of the list and quota, and the
#    folder's next open (an ACL change, not an append) catches the usage up.
# Usage: uid_usage_e2e.sh BINDIR (the build directory).
set -uo pipefail
bin=$1
bindir=$bin/tools
. "$(dirname "$0")/e2e_lib.sh"
count_failures
command -v strace > /dev/null || die "strace is not installed"
# The leak checker cannot run under ptrace.
write_config
adm init > /dev/null || die "orvadm init"
start_stored
msg() { printf 'From: a@example.com\r\nSubject: %s\r\n\r\nbody of %s\r\n' "$1" "$1"; }
deliver() { timeout 60 "$bindir/orvdeliver" "$@"; }
# The index file of a folder, as orvadm check names it.
index_of() { adm check "$1" | sed -n 's/^index: *\(.*\) ([0-9]* bytes)$/\1/p'; }

# ---- A folder whose uids are used up --------------------------------------
for u in full src; do adm user create $u > /dev/null || die "user create $u"; done
msg one | deliver full || fail "first delivery to full"
msg s1 | deliver src || fail "delivery s1"
msg s2 | deliver src || fail "delivery s2"
timeout 60 "$bin/backup/orvbackup" -f "$tmp/vol" / > /dev/null 2> "$tmp/err" || fail "orvbackup: $(cat "$tmp/err")"
idx=$(index_of user/full)
[ -f "$idx" ] || die "no index file for user/full: '$idx'"
# last_uid (bytes 20..23 of the header, little-endian) becomes 4294967295.
printf '\377\377\377\377' | dd of="$idx" bs=1 seek=20 conv=notrunc status=none || die "patching last_uid"
cp "$idx" "$tmp/idx.before"
rc=0
msg two | deliver full 2> "$tmp/err" || rc=$?
[ $rc -eq 73 ] || fail "delivery to a full folder: status $rc, wanted 73"
grep -q 'full: Mailbox is full' "$tmp/err" || fail "no clear error for the full folder: $(cat "$tmp/err")"
cmp -s "$idx" "$tmp/idx.before" || fail "the refused delivery changed the index"
[ -z "$(find "$tmp/p1" "$tmp/p2" -name 0.msg 2> /dev/null)" ] || fail "a message file for uid 0 appeared"
adm check user/full > "$tmp/out" || fail "check of the full folder: $(cat "$tmp/out")"
# src's messages go into the full folder: refused, with the status that
# says why.
rc=0
timeout 60 "$bin/backup/orvrestore" -f "$tmp/vol" -n /primary/user/full/INBOX > /dev/null 2> "$tmp/err" || rc=$?
[ $rc -eq 73 ] || fail "restore into a full folder: status $rc, wanted 73: $(cat "$tmp/err")"
grep -q 'Cannot restore message .*: Mailbox is full' "$tmp/err" || fail "restore names no cause: $(cat "$tmp/err")"
cmp -s "$idx" "$tmp/idx.before" || fail "the refused restore changed the index"

# ---- A delivery killed between its index header write and its commit -------
adm user create lag --quota 1000 > /dev/null || die "user create lag"
adm user create cal > /dev/null || die "user create cal"
for u in lag cal; do msg first | deliver $u || fail "first delivery to $u"; done
# Which fdatasync follows the header write: traced once on cal, whose
# folder is in the same state as lag's.
msg second | ASAN_OPTIONS=detect_leaks=0 timeout 60 strace -f -qq -y -o "$tmp/trace" -e trace=pwrite64,fdatasync,fsync \
  "$bindir/orvdeliver" cal || fail "traced delivery"
n=$(awk '/pwrite64\(.*store\.idx>, .*, 80, 0\) = 80/ { armed = 1 }
         /fdatasync\(/ { count++; if (armed && /store\.idx>/) { print count; exit } }' "$tmp/trace")
[ -n "$n" ] || die "no fdatasync of the index header in the trace: $(grep -c . "$tmp/trace") lines"
lagidx=$(index_of user/lag)
rc=0
# (In a subshell, so the shell's own "Killed" notice stays quiet.)
(msg second | ASAN_OPTIONS=detect_leaks=0 timeout 60 strace -f -qq -o /dev/null -e trace=fdatasync \
  -e inject=fdatasync:signal=KILL:when="$n" "$bindir/orvdeliver" lag) 2> /dev/null || rc=$?
[ $rc -ne 0 ] || fail "the delivery was not killed (fdatasync $n)"
[ "$(od -An -tu4 -j4 -N4 "$lagidx" | tr -d ' ')" = 2 ] || fail "the index does not count the killed delivery"
# The dead deliverer's transaction is rolled back by the daemon's recovery.
kill -KILL "$pid" 2> /dev/null
pid=""
start_stored
quota_msgs() { adm quota show user/lag | sed -n 's/.* KB, \([0-9]*\) of .*/\1/p'; }
rc=0
adm check user/lag > "$tmp/out" 2>&1 || rc=$?
[ $rc -eq 65 ] || fail "check of the lagging folder: status $rc, wanted 65"
grep -q 'problem: *usage of user/lag: the index counts 2 messages (.*), the mailbox list 1 messages' "$tmp/out" \
  || fail "check does not report the lag: $(cat "$tmp/out")"
[ "$(quota_msgs)" = 1 ] || fail "quota before the open: $(adm quota show user/lag)"
# An open that is no append: an ACL change.
adm acl set user/lag cal lr > /dev/null || fail "acl set"
[ "$(quota_msgs)" = 2 ] || fail "quota after the open: $(adm quota show user/lag)"
adm check user/lag > "$tmp/out" || fail "check after the open: $(cat "$tmp/out")"

stop_stored || fail "orvstored did not stop"
finish "uid and usage e2e"
