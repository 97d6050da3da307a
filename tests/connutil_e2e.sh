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
fake_imapd=$builddir/tests/fake_imapd
mksessiondb=$builddir/tests/mksessiondb
. "$(dirname "$0")/e2e_lib.sh"
# The stand-in servers delete their segments on SIGTERM; ipcrm removes any
# that one could not (it was killed), before the shared clean-up runs.
fakes=()
shmids=()
stop_fakes() {
  local p id
  for p in "${fakes[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
  for p in "${fakes[@]}"; do timeout 10 tail --pid="$p" -f /dev/null 2>/dev/null || kill -KILL "$p" 2>/dev/null || true; done
  fakes=()
  for id in "${shmids[@]}"; do ipcrm -m "$id" 2>/dev/null || true; done
}
trap 'stop_fakes; cleanup' EXIT
# start_fake ARGS...: a stand-in server; its pid in $fake once its segment
# is ready.
start_fake() {
  local out=$tmp/fake.$RANDOM
  "$fake_imapd" --limit 120 "$@" > "$out" &
  fake=$!
  fakes+=("$fake")
  for _ in $(seq 1 100); do grep -q '^ready' "$out" 2>/dev/null && break; sleep 0.1; done
  grep -q '^ready' "$out" || die "fake_imapd did not start"
  shmids+=("$(sed -n 's/^ready //p' "$out")")
}
# stop_fake PID: SIGTERM, and its end awaited (up to 10 s).
stop_fake() {
  kill -TERM "$1"
  timeout 10 tail --pid="$1" -f /dev/null || fail "fake_imapd $1 did not end"
}
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

# ---- IMAP sessions -----------------------------------------------------------------
expect 64 timeout 20 "$connutil" -c -s imap
grep -qx 'Feature is not enabled for imap ' "$tmp/out" || fail "imap off: $(cat "$tmp/out")"
expect 64 timeout 20 "$connutil" -c
printf '\nFeature is not enabled for imap.\nFeature is not enabled for http.\n' | diff - "$tmp/out" || fail "both off"
stop_stored || die "stopping the daemon"
write_config "local.tmpdir = $tmp/shm" "store.dbtmpdir = $tmp/dbtmp" "local.imap.enableuserlist = on" \
  "local.http.enableuserlist = yes" "service.imap.maxsessions = 10"
start_stored
expect 66 timeout 20 "$connutil" -c -s imap
grep -qx "No imap process running, can't list logged users." "$tmp/out" || fail "no process: $(cat "$tmp/out")"

ipcs -m > "$tmp/ipcs.before"
# Two processes.  The first claims a high-water mark far beyond its 10
# slots (read as 10) and has an invalid slot and one whose texts have no
# NUL; the second has a login by proxy.
start_fake --hiwater 100000 "$tmp/shm" 10 'joe,plaintext,,1700000000,192.0.2.7,40001,198.51.100.1,143' '-ann' garbage
fake1=$fake
start_fake "$tmp/shm" 10 'lea,proxyauth,admin,1700000100,192.0.2.8,40002,198.51.100.1,993'
expect 0 timeout 20 "$connutil" -c -s imap
g50=$(printf 'g%.0s' $(seq 1 50))
cat > "$tmp/want" <<OUT


IMAP      UID           TIME                 AUTH                 TO                                 FROM
$(printf '=%.0s' $(seq 1 126))
            joe 14/Nov/2023:22:13:20      plaintext          198.51.100.1:143                192.0.2.7:40001 

ggggggggggggggg 22/Dec/2024:01:12:07     gggggggggg          $g50:1734829927                $g50:1734829927 


IMAP      UID           TIME                 AUTH                 TO                                 FROM
$(printf '=%.0s' $(seq 1 126))
            lea 14/Nov/2023:22:15:00      proxyauth(admin)    198.51.100.1:993                  192.0.2.8:40002   


$(printf '=%.0s' $(seq 1 126))
3 user/s were logged in to imap.


OUT
diff "$tmp/want" "$tmp/out" || fail "imap listing"
expect 0 timeout 20 "$connutil" -c -s imap -u lea
tail -1 "$tmp/out" | grep -qx 'user lea is logged in to imap.' || fail "lea: $(cat "$tmp/out")"
[ "$(grep -c '^IMAP ' "$tmp/out")" = 1 ] || fail "with -u the header is printed once: $(cat "$tmp/out")"
expect 79 timeout 20 "$connutil" -c -s imap -u ann
grep -qx 'user ann is not logged in to imap.' "$tmp/out" || fail "ann: $(cat "$tmp/out")"
stop_fake "$fake1"

# A slot rewritten without pause is listed whole or not at all.
start_fake --churn "$tmp/shm" 10
for _ in $(seq 1 20); do
  timeout 20 "$connutil" -c -s imap > "$tmp/out" 2>&1 || fail "listing a churning slot: $(cat "$tmp/out")"
  grep '^ *churn' "$tmp/out" >> "$tmp/churned" || true
done
if grep -v -E '^ *churn(a{10}|b{10}) 14/Nov/2023:22:13:20      plaintext          ([ab])\2{14}:2                \2{15}:1 $' \
  "$tmp/churned"; then
  fail "a torn slot was listed"
fi
[ -s "$tmp/churned" ] || fail "the churning slot was never listed whole"
# Only the server user's processes are servers; local.serveruid names
# that user ahead of local.serveruser.
cp "$ORV_CONFIG" "$tmp/other.conf"
echo "local.serveruid = nobody" >> "$tmp/other.conf"
ORV_CONFIG=$tmp/other.conf expect 66 timeout 20 "$connutil" -c -s imap
# The name of the segment actually opened is what must fit.
cp "$ORV_CONFIG" "$tmp/long.conf"
echo "local.tmpdir = /$(printf 'd%.0s' $(seq 1 1020))" >> "$tmp/long.conf"
ORV_CONFIG=$tmp/long.conf expect 65 timeout 20 "$connutil" -c -s imap
stop_fakes
ls "$tmp/shm" | grep . && fail "segment files left: $(ls "$tmp/shm")"
ipcs -m > "$tmp/ipcs.after"
for id in "${shmids[@]}"; do
  awk -v id="$id" '$2 == id { found = 1 } END { exit !found }' "$tmp/ipcs.after" && fail "segment $id left behind"
done

# ---- web-mail sessions -------------------------------------------------------------
# The report joins the web-mail server's environment and creates nothing
# when it is missing, whole or in part.
expect 70 timeout 20 "$connutil" -c -s http
[ ! -e "$tmp/dbtmp/session" ] || fail "the session environment was created"
mkdir "$tmp/dbtmp/session"
expect 70 timeout 20 "$connutil" -c -s http
[ -z "$(ls -A "$tmp/dbtmp/session")" ] || fail "files created: $(ls -A "$tmp/dbtmp/session")"
grep -q 'Unable to init session database in orvconnutil' "$tmp/store/log/default.log" \
  || fail "no log line for the missing environment"

eq126=$(printf '=%.0s' $(seq 1 126))
http_header="HTTP      UID           TIME                         TO                                       FROM"
"$mksessiondb" "$tmp/dbtmp/session" || die "mksessiondb"
expect 0 timeout 20 "$connutil" -c -s http
printf '\n%s\n%s\n\n%s\n0 user/s were logged in to http.\n\n\n' "$http_header" "$eq126" "$eq126" | diff - "$tmp/out" \
  || fail "empty session database"
expect 79 timeout 20 "$connutil" -c -s http -u joe
tail -1 "$tmp/out" | grep -qx 'user joe is not logged in to http.' || fail "joe in an empty database: $(cat "$tmp/out")"

rm -rf "$tmp/dbtmp/session" && mkdir "$tmp/dbtmp/session"
"$mksessiondb" "$tmp/dbtmp/session" 'joe,1700000000,10.1.2.3,5555,mail.example.com' short nonul \
  'lea,1700000100,10.1.2.4,5556,abcdefghijklmnopqrstuvwxyz' || die "mksessiondb"
echo "local.service.http.proxy.port = 8080" >> "$ORV_CONFIG"
expect 0 timeout 20 "$connutil" -c -s http
cat > "$tmp/want" <<OUT

$http_header
$eq126
       joe   14/Nov/2023:22:13:20            mail.example.com:8080                      10.1.2.3:5555          
       lea   14/Nov/2023:22:15:00            [abcdefghijklmnopqrst]:8080                   [10.1.2.4]:5556         

$eq126
2 user/s were logged in to http.


OUT
diff "$tmp/want" "$tmp/out" || fail "http listing"
expect 0 timeout 20 "$connutil" -c -s http -u lea
tail -1 "$tmp/out" | grep -qx 'user lea is logged in to http.' || fail "lea over http: $(cat "$tmp/out")"

# ---- interruption ------------------------------------------------------------------
# SIGINT arrives while the access report writes its third piece of output
# (strace delivers it at that write): the report stops before its last
# user and the shell sees 777's low eight bits.
if command -v strace > /dev/null && strace -o /dev/null true 2> /dev/null; then
  # The leak checker cannot run under ptrace.
  export ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0
  expect 9 timeout 60 strace -f -qq -o /dev/null -e trace=write -e inject=write:signal=SIGINT:when=3 "$connutil" -a
  grep -qx 'interupt signal delayed while performing critical operations' "$tmp/err" \
    || fail "no deferral text: $(cat "$tmp/err")"
  grep -q '^lea ' "$tmp/out" && fail "the report went on after the interrupt: $(cat "$tmp/out")"
  # The same during the connection report.
  expect 9 timeout 60 strace -f -qq -o /dev/null -e trace=write -e inject=write:signal=SIGINT:when=3 \
    "$connutil" -c -s http
  grep -q '^ *lea ' "$tmp/out" && fail "the listing went on after the interrupt: $(cat "$tmp/out")"
else
  echo "strace cannot trace here: the interruption is not tested" >&2
fi
finish connutil_e2e
