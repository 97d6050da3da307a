#!/usr/bin/env bash
# orvconnutil against a real store: the usage texts, the last-access report
# over records set with orvadm, the connection report over login lists
# published by a stand-in IMAP server and over a generated web-mail session
# database, and an interrupted report.  Shared-memory segments made here
# are removed at exit whatever happened, and the set of segments must be
# the same afterwards.
set -euo pipefail
builddir=$1
bindir=$builddir/tools
connutil=$builddir/connutil/orvconnutil
. "$(dirname "$0")/e2e_lib.sh"
export TZ=UTC
count_failures
expect() {  # expect STATUS COMMAND...: output in $tmp/out, errors in $tmp/err
  local want=$1 got=0
  shift
  "$@" > "$tmp/out" 2> "$tmp/err" || got=$?
  [ "$got" = "$want" ] || fail "$* exited $got, expected $want: $(cat "$tmp/out" "$tmp/err")"
}
eq99=$(printf '=%.0s' $(seq 1 99))

# ---- usage -------------------------------------------------------------------------
expect 64 timeout 20 "$connutil"
[ "$(cat "$tmp/out")" = "" ] || fail "a usage error prints only the empty line on stdout"
head -3 "$tmp/err" > "$tmp/got"
printf 'USAGE ERROR: Must pass at least one of -c or -a. \nUsage: orvconnutil -c | -a [-s <service>] [-u <uid>] [-f <filename>]\n\n' \
  | diff - "$tmp/got" || fail "usage text"
[ "$(wc -l < "$tmp/err")" = 15 ] || fail "usage text has 15 lines: $(cat "$tmp/err")"
expect 64 timeout 20 "$connutil" -c -s ftp
expect 64 timeout 20 "$connutil" -c -u "$(printf 'u%.0s' $(seq 1 129))"
grep -qx 'USAGE ERROR: uid length is too long.' "$tmp/err" || fail "overlong uid: $(cat "$tmp/err")"
expect 0 timeout 20 "$connutil" --version
grep -q '^orvconnutil: Version is .' "$tmp/out" || fail "version: $(cat "$tmp/out")"
expect 0 timeout 20 "$connutil" --help
grep -q '^     --help        Gives usage information.$' "$tmp/err" || fail "help: $(cat "$tmp/err")"
ORV_CONFIG=$tmp/missing.conf expect 78 timeout 20 "$connutil" -a
grep -qx 'ERROR: Could not initialize config system.' "$tmp/err" || fail "config failure: $(cat "$tmp/err")"

# ---- last access -------------------------------------------------------------------
write_config "local.tmpdir = $tmp/shm" "store.dbtmpdir = $tmp/dbtmp"
mkdir -p "$tmp/shm" "$tmp/dbtmp"
adm init > /dev/null
start_stored
for u in ann joe lea; do adm user create $u > /dev/null; done
adm access set joe imap 1700000000 > /dev/null
adm access set joe pop 1700000100 > /dev/null
adm access set lea http 1700000200 > /dev/null
expect 0 timeout 20 "$connutil" -a
cat > "$tmp/want" <<OUT

UID                   IMAP last access                 HTTP  last access              POP last access
$eq99
ann               ----NOT-RECORDED----              ----NOT-RECORDED----               ----NOT-RECORDED----
joe               14/Nov/2023:22:13:20              ----NOT-RECORDED----               14/Nov/2023:22:15:00
lea               ----NOT-RECORDED----              14/Nov/2023:22:16:40               ----NOT-RECORDED----
OUT
diff "$tmp/want" "$tmp/out" || fail "all users' access times"

expect 0 timeout 20 "$connutil" -a -u joe -s http
cat > "$tmp/want" <<OUT

UID                   IMAP last access                HTTP last access              POP last access
$eq99
joe               14/Nov/2023:22:13:20              ----NOT-RECORDED----               14/Nov/2023:22:15:00
OUT
diff "$tmp/want" "$tmp/out" || fail "one user's access times"
expect 79 timeout 20 "$connutil" -a -u nobody
grep -qx '"nobody" is either an invalid uid or has never logged in.' "$tmp/out" || fail "unknown user: $(cat "$tmp/out")"

# A file of users: blank and overlong lines are skipped; one missing user
# makes the status 79 even though users after it were found.
{ echo joe; echo; printf 'x%.0s' $(seq 1 200); echo; echo nobody; echo lea; } > "$tmp/users"
expect 79 timeout 20 "$connutil" -a -f "$tmp/users" -u ann
grep -v '^$' "$tmp/out" | tail -n +3 | cut -c1-20 > "$tmp/got"
printf 'joe               14\n"nobody" is either a\nlea               --\nann               --\n' | diff - "$tmp/got" \
  || fail "users of a file: $(cat "$tmp/out")"
grep -q 'skipping a line of more than 128 characters' "$tmp/err" || fail "no warning for the overlong line"
finish connutil_e2e
