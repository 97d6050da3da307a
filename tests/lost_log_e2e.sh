#!/usr/bin/env bash
# A mailbox list whose databases' pages carry log positions past the end of
# its log, so every write fails.  The store daemon repairs a lost log at
# start (recovery_e2e.sh); here the databases are put back by hand over a
# fresh environment, whose short log start-up recovery cannot tell from
# theirs.  Each program must end with a clean error status and message (no
# crash, no sanitizer report from the failed writes), and the mail already
# stored must stay readable.
# Usage: lost_log_e2e.sh BINDIR (the folder holding orvadm and friends).
set -uo pipefail
bindir=$1
. "$(dirname "$0")/e2e_lib.sh"
# Memory the library hands back on a failed write must be freed: leaks are
# checked here whatever the caller's settings.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=1"
count_failures
msg() { printf 'From: a@example.com\r\nSubject: %s\r\n\r\nbody\r\n' "$1"; }

write_config
start_stored
for u in ann bob; do adm user create $u > /dev/null || die "user create $u"; done
adm folder create user/bob/Old > /dev/null || die "folder create user/bob/Old"
for i in $(seq 1 20); do msg "m$i" | "$bindir/orvdeliver" ann bob > /dev/null || die "deliver $i"; done
# Every database written late, so all their pages are ahead of the new log.
adm subscribe bob user/bob/Old > /dev/null || die "subscribe bob"
stop_stored || die "orvstored did not stop"
mkdir "$tmp/saved"
mv "$tmp"/store/mboxlist/*.db "$tmp/saved/"
rm -rf "$tmp"/store/mboxlist
start_stored
stop_stored || die "orvstored did not stop"
cp "$tmp"/saved/*.db "$tmp"/store/mboxlist/
start_stored

# status: a clean failure (not a signal, not 0) and nothing from a sanitizer.
expect_clean_failure() {
  local what=$1 rc=$2
  [ "$rc" -ne 0 ] || fail "$what succeeded on a database it cannot write"
  [ "$rc" -lt 128 ] || fail "$what died with status $rc"
  ! grep -q Sanitizer "$tmp/err" || fail "$what: sanitizer report: $(grep -m1 Sanitizer "$tmp/err")"
  grep -q "I/O error" "$tmp/err" || fail "$what: no clear message: $(head -c 300 "$tmp/err")"
}
adm user create carl > /dev/null 2> "$tmp/err"
expect_clean_failure "user create" $?
msg late | "$bindir/orvdeliver" ann > /dev/null 2> "$tmp/err"
expect_clean_failure "delivery" $?
adm folder create user/bob/Sub > /dev/null 2> "$tmp/err"
expect_clean_failure "folder create" $?
# Every kind of write: deletions, renames, records of other databases.
while read -r what; do
  adm $what > /dev/null 2> "$tmp/err"
  expect_clean_failure "$what" $?
done <<'CMDS'
folder delete user/bob/Old
folder rename user/bob/Old user/bob/New
user delete bob
quota set user/ann 100
acl set user/ann bob lr
subscribe ann user/ann
CMDS

adm folder list user/ann > "$tmp/out" 2> "$tmp/err" || fail "list after the failed writes: $(cat "$tmp/err")"
grep -q "^user/ann	primary	20$" "$tmp/out" || fail "ann's INBOX should still hold 20 messages: $(cat "$tmp/out")"
adm check user/bob > /dev/null 2> "$tmp/err" || fail "check user/bob: $(cat "$tmp/err")"
# The failed deletion and rename left the folder whole.
adm folder list user/bob | grep -q "^user/bob/Old	" || fail "user/bob/Old is gone after its failed deletion"
adm check user/bob/Old > /dev/null 2> "$tmp/err" || fail "check user/bob/Old: $(cat "$tmp/err")"
finish lost_log
