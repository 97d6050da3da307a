#!/usr/bin/env bash
# The store daemon on a fresh instance: clients refuse to start before it is
# ready, it starts detached and reports ready, a second daemon is refused,
# it keeps the subscription files current, SIGTERM stops it cleanly and the
# databases it leaves pass db5.3_verify.
set -euo pipefail
bindir=$1
. "$(dirname "$0")/e2e_lib.sh"
write_config "local.store.filecheckpointinterval = 1"
adm init > /dev/null

status=0
adm checkpoint > /dev/null 2> "$tmp/err" || status=$?
[ "$status" = 75 ] || fail "client before the daemon: exit $status, expected 75"
grep -q "^Unable to verify start of store daemon (stored). The store daemon process must be running" "$tmp/err" \
  || fail "long not-ready text missing: $(cat "$tmp/err")"
status=0
adm status > /dev/null || status=$?
[ "$status" = 69 ] || fail "status without daemon: exit $status"

start_stored
[ -n "$pid" ] && kill -0 "$pid" || fail "no daemon pid in: $(cat "$tmp/out")"

status=0
timeout 20 "$bindir/orvstored" -f 2> "$tmp/err" || status=$?
[ "$status" = 75 ] || fail "second daemon: exit $status, expected 75"
grep -q "already running" "$tmp/err" || fail "second daemon message: $(cat "$tmp/err")"

adm checkpoint > /dev/null || fail "checkpoint with the daemon ready"

# Subscriptions reach the INBOX's store.sub within a few rounds, and
# orvadm checkpoint writes a missing one at once.
adm user create joe > /dev/null
adm folder create user/joe/x > /dev/null
adm subscribe joe user/joe/x > /dev/null
sub=""
for _ in $(seq 1 50); do
  sub=$(find "$tmp/p1" -name store.sub)
  [ -n "$sub" ] && grep -qx "user/joe/x" "$sub" && break
  sleep 0.2
done
[ -n "$sub" ] && grep -qx "user/joe/x" "$sub" || fail "the daemon did not write store.sub"
# The daemon's later rounds leave a file alone whose state did not change.
rm "$sub"
adm checkpoint > /dev/null || fail "checkpoint writing the files"
grep -qx "user/joe/x" "$sub" || fail "orvadm checkpoint did not write store.sub"

stop_stored || fail "daemon did not stop on SIGTERM"
[ -e "$tmp/store/session/stored.state" ] && fail "state file left behind"
status=0
adm status > /dev/null || status=$?
[ "$status" = 69 ] || fail "stopped daemon still looks ready"

for db in folder quota subscr peruser lright; do
  db5.3_verify -h "$tmp/store/mboxlist" "$tmp/store/mboxlist/$db.db" > /dev/null 2>&1 || fail "db5.3_verify $db.db"
done
grep -q "Store daemon ready" "$tmp/store/log/stored.log" || fail "no start-up line in the daemon's log"
echo "stored e2e: 1 passed, 0 failed"
