#!/usr/bin/env bash
# orvdeliver as an MTA's pipe transport runs it, against a running store
# daemon: LF mail stored with CR LF, one file shared by the users of one
# partition, the exit statuses an MTA acts on, the event plug-in told, and
# the check tool happy afterwards.
set -euo pipefail
bindir=$1
plugin=${2:-}
. "$(dirname "$0")/e2e_lib.sh"
write_config
if [ -n "$plugin" ]; then echo "local.store.notifyplugin = $plugin\$$tmp/events" >> "$ORV_CONFIG"; fi
adm init > /dev/null

# Before the daemon runs, the MTA is told to try again.
status=0
printf 'Subject: early\n\nx\n' | "$bindir/orvdeliver" joe 2> /dev/null || status=$?
[ "$status" = 75 ] || fail "delivery without the store daemon: exit $status, expected 75"

start_stored

for u in a b c; do adm user create $u > /dev/null; done
adm user create d --partition second > /dev/null
adm user create small --quota 1 > /dev/null

msg='From sender@example.com Tue Jan  2 09:00:00 2024
From: Sender <sender@example.com>
To: a@example.org
Subject: hello

line one
line two
'
printf '%s' "$msg" | "$bindir/orvdeliver" a b c d || fail "delivery to a b c d"

# One file with three links on the first partition, one on the second.
files=$(find "$tmp/p1" -name '1.msg')
[ "$(echo "$files" | wc -l)" = 3 ] || fail "expected 3 message files on p1: $files"
[ "$(echo "$files" | xargs stat -c %i | sort -u | wc -l)" = 1 ] || fail "p1 files are not one inode"
[ "$(echo "$files" | head -1 | xargs stat -c %h)" = 3 ] || fail "p1 file does not have 3 links"
other=$(find "$tmp/p2" -name '1.msg')
[ "$(stat -c %h "$other")" = 1 ] || fail "p2 file links"
# Stored with CR LF and without the envelope line.
printf 'From: Sender <sender@example.com>\r\nTo: a@example.org\r\nSubject: hello\r\n\r\nline one\r\nline two\r\n' > "$tmp/want"
cmp -s "$other" "$tmp/want" || fail "stored bytes differ: $(od -c "$other" | head)"

status=0; printf 'Subject: x\n\ny\n' | "$bindir/orvdeliver" nosuchuser 2> "$tmp/err" || status=$?
[ "$status" = 67 ] || fail "unknown user: exit $status, expected 67"
grep -q "nosuchuser" "$tmp/err" || fail "no line naming the unknown user"
status=0; printf '' | "$bindir/orvdeliver" a 2> /dev/null || status=$?
[ "$status" = 65 ] || fail "empty message: exit $status, expected 65"
status=0; "$bindir/orvdeliver" 2> /dev/null < /dev/null || status=$?
[ "$status" = 64 ] || fail "no user: exit $status, expected 64"
"$bindir/orvdeliver" --help | grep -q "^Usage: orvdeliver" || fail "orvdeliver --help"

# Over quota within the grace period: try again later.
head -c 700 /dev/zero | tr '\0' 'x' | sed '1s/^/Subject: fill\n\n/' | "$bindir/orvdeliver" small || fail "first fill"
status=0
head -c 700 /dev/zero | tr '\0' 'x' | sed '1s/^/Subject: fill\n\n/' | "$bindir/orvdeliver" small 2> /dev/null || status=$?
[ "$status" = 75 ] || fail "over quota: exit $status, expected 75"

for f in user/a user/b user/c user/d user/small; do
  adm check "$f" > "$tmp/check" 2>&1 || fail "check $f: $(cat "$tmp/check")"
done
adm quota show user/a | grep -q "^" || fail "quota show"

if [ -n "$plugin" ]; then
  [ "$(grep -c '^append user/' "$tmp/events")" = 5 ] || fail "append events: $(cat "$tmp/events")"
  grep -q "proc=orvdeliver" "$tmp/events" || fail "process name in events"
fi

kill -TERM "$pid"
for _ in $(seq 1 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
pid=""
echo "deliver e2e: 1 passed, 0 failed"
