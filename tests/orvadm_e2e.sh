#!/usr/bin/env bash
# orvadm on a fresh instance: init creates the directories, config reports
# them; a broken configuration is refused naming file and line; stats tells
# when there are no counters to read.
set -euo pipefail
orvadm=$1
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cat > "$tmp/c.conf" <<CONF
local.store.dir = $tmp/store
local.serverroot = $tmp/server
store.partition.primary.path = $tmp/p1
store.partition.second.path = $tmp/p2
store.partition.second.messagepath = $tmp/m2
CONF
"$orvadm" -c "$tmp/c.conf" init > "$tmp/out"
for d in store store/session store/stored store/log server/config p1 p2 m2; do
  [ -d "$tmp/$d" ] || fail "init did not create $d"
done
[ "$(stat -c %a "$tmp/p1")" = 700 ] || fail "partition root is not private"
"$orvadm" -c "$tmp/c.conf" init > /dev/null || fail "a second init must succeed"
ORV_CONFIG="$tmp/c.conf" "$orvadm" config > "$tmp/out"
grep -q "partitions:      2" "$tmp/out" || fail "config does not list two partitions"
grep -q "messages in $tmp/m2" "$tmp/out" || fail "config does not show the message root"

printf 'local.store.dir = %s\nthis line is broken\n' "$tmp/store" > "$tmp/bad.conf"
status=0
"$orvadm" -c "$tmp/bad.conf" config > /dev/null 2> "$tmp/err" || status=$?
[ "$status" = 78 ] || fail "broken configuration: exit $status, expected 78"
grep -q "bad.conf:2: expected \"key = value\"" "$tmp/err" || fail "message does not name file and line: $(cat "$tmp/err")"

status=0
"$orvadm" -c "$tmp/absent.conf" config > /dev/null 2> "$tmp/err" || status=$?
[ "$status" = 78 ] || fail "missing configuration: exit $status"
grep -q "absent.conf" "$tmp/err" || fail "missing configuration not named"

status=0
"$orvadm" frobnicate > /dev/null 2>&1 || status=$?
[ "$status" = 64 ] || fail "unknown command: exit $status"
"$orvadm" --help | grep -q "Usage: orvadm" || fail "--help"
"$orvadm" --help | grep -q "stats  *pop \[--prometheus\]" || fail "--help does not list stats"

# POP3 counters: none before the server ever ran; a foreign file is refused
# without printing anything a collector would take for counters.
status=0
"$orvadm" -c "$tmp/c.conf" stats pop > "$tmp/out" 2> "$tmp/err" || status=$?
[ "$status" = 69 ] || fail "stats without a counter file: exit $status, expected 69"
grep -q "has not run" "$tmp/err" || fail "stats without a counter file: $(cat "$tmp/err")"
mkdir -p "$tmp/store/counters"
head -c 1000 /dev/zero > "$tmp/store/counters/popstat"
status=0
"$orvadm" -c "$tmp/c.conf" stats pop --prometheus > "$tmp/out" 2> "$tmp/err" || status=$?
[ "$status" = 65 ] || fail "stats on a foreign file: exit $status, expected 65"
grep -q "not a counter file" "$tmp/err" || fail "stats on a foreign file: $(cat "$tmp/err")"
[ ! -s "$tmp/out" ] || fail "stats on a foreign file printed: $(cat "$tmp/out")"
status=0
"$orvadm" -c "$tmp/c.conf" stats imap > /dev/null 2>&1 || status=$?
[ "$status" = 64 ] || fail "stats of an unknown service: exit $status"
echo "orvadm e2e: 1 passed, 0 failed"
