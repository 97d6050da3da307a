#!/usr/bin/env bash
# A client stops as soon as the store daemon dies, and a daemon started
# again waits for such clients before it recovers: a client that went on
# writing the mailbox list's log while the new daemon's recovery reads it
# could undo work recovery then redoes.  The client is held by strace in
# the middle of its work (at its first database open), the daemon is
# killed, and the client must end with 75 (its guard ends it while it is
# held) instead of finishing its work when released.
set -uo pipefail
bindir=$1
. "$(dirname "$0")/e2e_lib.sh"
command -v strace > /dev/null || { echo "strace is not installed; skipped"; exit 77; }
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0"
count_failures
write_config
start_stored
adm user create u > /dev/null || die "user create"

timeout 60 strace -f -qq -o "$tmp/held.out" -P "$tmp/store/mboxlist/folder.db" -e trace=openat \
  -e inject=openat:delay_enter=5000000:when=1 "$bindir/orvadm" folder create user/u/Held > /dev/null 2> "$tmp/held.err" &
held=$!
for _ in $(seq 1 100); do grep -q 'folder.db' "$tmp/held.out" 2> /dev/null && break; sleep 0.05; done
grep -q 'folder.db' "$tmp/held.out" || die "the client never reached the folder database"
kill -KILL "$pid"
pid=""
st=0
wait $held || st=$?
[ "$st" = 75 ] || fail "a client whose daemon died: status $st, not 75 ($(tail -c 300 "$tmp/held.err"))"

# The daemon started again finds no client left and recovers; the folder
# the stopped client was making does not exist, and the store works.
start_stored
adm folder list user/u | cut -f1 > "$tmp/list"
! grep -qx user/u/Held "$tmp/list" || fail "the stopped client's folder exists"
adm folder create user/u/After > /dev/null || fail "folder create after the restart"
adm check user/u > /dev/null || fail "check user/u"
finish daemon_death
