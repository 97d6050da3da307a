#!/usr/bin/env bash
# Snapshots of the mailbox list.  The store daemon takes them on its timer
# and skips a round in which nothing changed.  Then `orvadm snapshot` is
# killed (SIGKILL, injected by strace at a random system call of a random
# kind: a write, sync, rename, removal or open of the take) again and
# again.  After every kill: no slot that looks complete (has .snaptime)
# lacks a file or holds a short one, the newest slot from before is
# byte-for-byte as it was, catastrophic recovery of a copy of the newest
# slot gives databases db5.3_verify accepts, and the live store takes a new
# user.
# Usage: snapshot_e2e.sh BINDIR [KILLS] (default 50, about a minute; the stress
# label runs 200).
set -uo pipefail
bindir=$1
kills=${2:-50}
. "$(dirname "$0")/e2e_lib.sh"
command -v strace > /dev/null || { echo "strace is not installed; skipped"; exit 77; }
count_failures
started=$SECONDS

# Small log files, so that each take copies little.
mkdir -p "$tmp/store/mboxlist"
printf 'set_lg_bsize 16384\nset_lg_max 65536\n' > "$tmp/store/mboxlist/DB_CONFIG"
snaps=$tmp/store/snaps
write_config "local.store.snapshotpath = snaps" "local.store.snapshotinterval = 1" "local.store.snapshotcount = 3"
start_stored
for u in ann bob; do adm user create $u > /dev/null || die "user create $u"; done

# Up to 20 s for the daemon's own snapshot holding user/bob.
wait_for_slot() {
  for _ in $(seq 1 100); do
    adm snapshot list 2> /dev/null | grep -q "^$1 .* complete$" && return 0
    sleep 0.2
  done
  return 1
}
wait_for_slot snap1 || die "the daemon took no snapshot: $(adm snapshot list 2>&1)"
db5.3_dump -p -h "$snaps/snap1" folder.db 2> /dev/null | grep -q 'user/bob' || fail "snap1 lacks user/bob"
# Nothing changes: later rounds are skipped, no new slot appears.
for _ in $(seq 1 50); do
  grep -q "snapshot skipped: nothing changed" "$tmp/store/log/stored.log" && break
  sleep 0.2
done
grep -q "snapshot skipped: nothing changed" "$tmp/store/log/stored.log" || fail "an unchanged round was not skipped"
[ ! -e "$snaps/snap2" ] || fail "a snapshot was taken with nothing changed"
adm user create carl > /dev/null || die "user create carl"
wait_for_slot snap2 || fail "no snapshot after a change"
stop_stored || fail "orvstored did not stop"

# The kills: the daemon takes no snapshots of its own meanwhile.
write_config "local.store.snapshotpath = snaps" "local.store.snapshotinterval = 0" "local.store.snapshotcount = 3"
start_stored
adm snapshot > /dev/null || die "orvadm snapshot"

# How often one take makes each call, to aim the kills inside it.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0"  # LeakSanitizer cannot run under ptrace
calls=(fsync pwrite64 rename unlink rmdir write mkdir openat flock)
adm user create counted > /dev/null || die "user create counted"
timeout 60 strace -f -c -o "$tmp/count" -e trace="$(IFS=,; echo "${calls[*]}")" "$bindir/orvadm" snapshot > /dev/null ||
  die "orvadm snapshot under strace"
declare -A ncalls
for c in "${calls[@]}"; do
  n=$(awk -v c="$c" '$NF == c { print $4 }' "$tmp/count")
  ncalls[$c]=${n:-0}
done

# The newest complete slot's name and a digest of its files.
newest() { adm snapshot list | awk '$NF == "complete" { print $1; exit }'; }
digest() { (cd "$snaps/$1" && find . -type f | sort | xargs md5sum | md5sum); }
wait_ready() {
  for _ in $(seq 1 150); do adm status > /dev/null 2>&1 && return 0; sleep 0.2; done
  return 1
}

seed=${SNAPSHOT_E2E_SEED:-$$}
RANDOM=$seed
echo "seed $seed (SNAPSHOT_E2E_SEED=N repeats the choices)"
killed=0
i=0
before=$(newest)
while [ "$killed" -lt "$kills" ] && [ "$i" -lt $((3 * kills)) ]; do
  i=$((i + 1))
  [ -n "$before" ] || die "no complete slot before take $i"
  before_sum=$(digest "$before")
  # A random call and occurrence; most opens are the program's start, so
  # those aim at the last ones.  An occurrence the take does not reach lets
  # it complete.
  c=${calls[$((RANDOM % ${#calls[@]}))]}
  m=${ncalls[$c]}
  if [ "$m" -eq 0 ]; then
    n=1
  elif [ "$c" = openat ]; then
    n=$((m - RANDOM % (m < 25 ? m : 25)))
  else
    n=$((1 + RANDOM % m))
  fi
  # (Two commands in the subshell, so that its shell, whose report of the
  # kill goes to /dev/null, stays between.)
  (timeout 60 strace -f -o /dev/null -e trace="$c" -e inject="$c":signal=KILL:when="$n" \
    "$bindir/orvadm" snapshot > /dev/null 2>&1; echo $? > "$tmp/rc") 2> /dev/null
  rc=$(cat "$tmp/rc")
  [ "$rc" -ne 0 ] && killed=$((killed + 1))
  what="take $i ($c #$n, status $rc)"

  adm snapshot list > "$tmp/list" || fail "$what: orvadm snapshot list"
  bad=$(grep -E ' (missing|has [0-9]+ bytes|unreadable)' "$tmp/list")
  [ -z "$bad" ] || fail "$what: a complete-looking slot is broken: $bad"
  [ -d "$snaps/$before" ] || fail "$what: the previous newest slot $before is gone"
  [ "$(digest "$before")" = "$before_sum" ] || fail "$what: the previous newest slot $before changed"
  top=$(awk '$NF == "complete" { print $1; exit }' "$tmp/list")
  ls -A "$snaps/$top" | grep -qE '^(__db|DB_CONFIG)' && fail "$what: $top holds region files or DB_CONFIG"
  rm -rf "$tmp/chk"
  cp -r "$snaps/$top" "$tmp/chk"
  rm -f "$tmp/chk/.snaptime"
  db5.3_recover -c -h "$tmp/chk" > "$tmp/err" 2>&1 || fail "$what: catastrophic recovery of $top: $(head -c 300 "$tmp/err")"
  for db in folder quota peruser subscr; do
    db5.3_verify -o -h "$tmp/chk" "$db.db" > "$tmp/err" 2>&1 || fail "$what: $top $db.db: $(head -c 300 "$tmp/err")"
  done
  before=$top
  # The live store: a killed client may leave the daemon recovering first.
  wait_ready || die "$what: the store daemon did not become ready again"
  adm user create "k$i" > /dev/null 2> "$tmp/err" || fail "$what: user create: $(head -c 300 "$tmp/err")"
done
echo "$killed of $i takes killed"
[ "$killed" -ge "$kills" ] || fail "only $killed of $i takes were killed"

# A take without a kill cleans up and holds the last user.
adm snapshot > /dev/null || fail "orvadm snapshot after the kills"
top=$(newest)
db5.3_dump -p -h "$snaps/$top" folder.db 2> /dev/null | grep -q "user/k$i" || fail "$top lacks user/k$i"
n=$(adm snapshot list | grep -c ' complete$')
[ "$n" -le 3 ] || fail "$n complete slots kept, not 3"
[ ! -e "$snaps/.snaptmp" ] && [ ! -e "$snaps/.snapdel" ] || fail "leftovers after a whole take"
stop_stored || fail "orvstored did not stop"
for db in folder quota peruser subscr; do
  db5.3_verify -o -h "$tmp/store/mboxlist" "$tmp/store/mboxlist/$db.db" > /dev/null 2>&1 || fail "live $db.db"
done
echo "took $((SECONDS - started)) s"
finish snapshot_e2e
