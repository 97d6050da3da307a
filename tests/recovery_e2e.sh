#!/usr/bin/env bash
# Start-up recovery of the mailbox list by the store daemon: a new store, a
# lost log (all of them, or one in the middle with a snapshot to go back
# to, after which reconstruct -m brings back what was made since),
# ".catrecov", a repair sequence file, a client still holding its session,
# and a permission error while opening (injected with strace).
# After every repair the databases pass db5.3_verify and writes work.
# Usage: recovery_e2e.sh BINDIR (the folder holding orvadm and friends).
set -uo pipefail
bindir=$1
. "$(dirname "$0")/e2e_lib.sh"
count_failures
md=$tmp/store/mboxlist
log=$tmp/store/log/stored.log

exists() { adm folder show "$1" > /dev/null 2>&1; }
verify_all() {
  # -o: the trees are sorted by the store's own key order.
  for db in folder quota subscr peruser lright; do
    db5.3_verify -o -h "$md" "$md/$db.db" > /dev/null 2>&1 || fail "$1: db5.3_verify $db.db"
  done
}
# A fresh instance; small logs (a test-only DB_CONFIG) when asked.
fresh() {
  stop_stored || true
  rm -rf "$tmp/store" "$tmp/p1" "$tmp/p2"
  write_config "$@"
  mkdir -p "$md"
  [ -z "${small:-}" ] || printf 'set_lg_bsize 16384\nset_lg_max 65536\n' > "$md/DB_CONFIG"
}
# The log lines written since the mark.
mark() { mark=$(wc -l 2> /dev/null < "$log" || echo 0); }
# What the daemon logged since the mark.  Under pipefail, "since | grep -q"
# would fail when grep stops reading at its match while tail still writes
# (SIGPIPE): a long start-up log made a found line look missing.
since() { tail -n +"$((mark + 1))" "$log" || true; }

# ---- A new store: empty, no event recorded.
fresh
mark
start_stored
since | grep -q "DB initial state = 2" || fail "new store: state 2 not logged"
[ ! -e "$tmp/store/stored/eve" ] || fail "new store: an event was recorded"
adm user create ann > /dev/null || fail "new store: user create"
stop_stored || fail "daemon did not stop"

# ---- All logs removed after a clean stop: the logs are discarded, the
# databases' log positions reset, and writes work again.
rm -f "$md"/log.*
mark
start_stored
since | grep -q "Removing extra database logs.  Run reconstruct -m soon after startup" \
  || fail "lost logs: repair not logged: $(since | tail -5)"
adm user create bob > /dev/null 2> "$tmp/err" || fail "lost logs: user create after the repair: $(cat "$tmp/err")"
exists user/ann || fail "lost logs: user/ann is gone"
[ -e "$tmp/store/stored/eve" ] || fail "lost logs: no event recorded"
[ -e "$md/removed/folder.db" ] || fail "lost logs: the previous files were not kept"
stop_stored || fail "daemon did not stop"
verify_all "lost logs"

# ---- .catrecov forces catastrophic recovery and stays.
touch "$md/.catrecov"
mark
start_stored
since | grep -q "catastrophic recovery" || fail ".catrecov: no catastrophic recovery"
exists user/bob || fail ".catrecov: user/bob is gone"
stop_stored || fail "daemon did not stop"
[ -e "$md/.catrecov" ] || fail ".catrecov was removed"
rm -f "$md/.catrecov"

# ---- A sequence file naming only function 4: lost logs mean an empty start.
mkdir -p "$tmp/store/dbdata"
printf 'functi\0\1\0\4' > "$tmp/store/dbdata/stored.ph2"
rm -f "$md"/log.*
mark
start_stored
since | grep -q "Removing database and initializing." || fail "ph2: function 4 did not run"
! since | grep -q "Removing extra database logs" || fail "ph2: function 1 ran"
# The emptied list is then checked against the partitions: the users whose
# folders are on disk are rebuilt before the daemon says ready.
since | grep -q "User ann rebuilt from disk" || fail "ph2: user ann was not rebuilt from disk"
exists user/ann || fail "ph2: user/ann is not back"
adm user create carl > /dev/null || fail "ph2: user create on the empty store"
stop_stored || fail "daemon did not stop"
rm -f "$tmp/store/dbdata/stored.ph2"

# ---- A middle log lost, one snapshot: the snapshot comes back.
small=1 fresh "local.store.snapshotpath = snaps"
start_stored
adm user create early > /dev/null || fail "gap: user create early"
stop_stored || fail "daemon did not stop"
mkdir -p "$tmp/store/snaps/snap1"
cp "$md"/*.db "$md"/log.* "$tmp/store/snaps/snap1/"
touch "$tmp/store/snaps/snap1/.snaptime"
start_stored
for i in $(seq 1 60); do adm user create "u$i" > /dev/null || fail "gap: user create u$i"; done
# A folder of a user the snapshot knows, made after it on the second
# partition: the snapshot does not have it, the partitions do.
adm folder create user/early/Later > /dev/null || fail "gap: folder create user/early/Later"
adm folder rename user/early/Later user/early/Later --partition second > /dev/null || fail "gap: moving Later"
stop_stored || fail "daemon did not stop"
mapfile -t logs < <(cd "$md" && ls log.*)
[ "${#logs[@]}" -ge 3 ] || fail "gap: only ${#logs[@]} logs; the test needs three"
rm -f "$md/${logs[1]}"
mark
start_stored
since | grep -q "DB initial state = 4" || fail "gap: state 4 not logged"
since | grep -q "Recovering database from snapshot." || fail "gap: no snapshot restore logged"
since | grep -q "catastrophic recovery" || fail "gap: no catastrophic recovery logged"
exists user/early || fail "gap: the snapshot's user/early is missing"
since | grep -q "User u30 rebuilt from disk" || fail "gap: user/u30 (after the snapshot) was not rebuilt from disk"
exists user/u30 || fail "gap: user/u30 is not back"
[ -e "$md/removed/${logs[2]}" ] || fail "gap: the old files were not kept aside"
[ -e "$tmp/store/stored/eve" ] || fail "gap: no event recorded"
# early is in the list again but his later folder is not: he needs a
# rebuild until reconstruct -m, which finds it on the second partition.
! exists user/early/Later || fail "gap: user/early/Later came back with the snapshot"
adm reconstruct -m > "$tmp/rec" 2>&1 || fail "gap: reconstruct -m: $(cat "$tmp/rec")"
grep -q '^user early$' "$tmp/rec" || fail "gap: early did not need a rebuild: $(cat "$tmp/rec")"
grep -q '^user/early/Later	restored$' "$tmp/rec" || fail "gap: Later not restored: $(cat "$tmp/rec")"
adm folder show user/early/Later | grep -q '^partition: *second' || fail "gap: Later is not on the second partition"
adm reconstruct -m > "$tmp/rec" 2>&1 || fail "gap: second reconstruct -m"
grep -q '^reconstructed 0 users$' "$tmp/rec" || fail "gap: users still need a rebuild: $(cat "$tmp/rec")"
adm user create late > /dev/null || fail "gap: user create after the restore"
stop_stored || fail "daemon did not stop"
verify_all "gap"

# ---- A client holding its session: recovery refuses (75) and names it.
python3 -c '
import fcntl, os, sys, time
path = sys.argv[1] + "/session/orvdeliver.%d" % os.getpid()
f = open(path, "w")
fcntl.lockf(f, fcntl.LOCK_EX | fcntl.LOCK_NB)
print(os.getpid(), flush=True)
time.sleep(60)
' "$tmp/store" > "$tmp/holder" &
holder=$!
for _ in $(seq 1 50); do [ -s "$tmp/holder" ] && break; sleep 0.1; done
status=0
timeout 60 "$bindir/orvstored" -f 2> "$tmp/err" || status=$?
kill "$holder" 2>/dev/null; wait "$holder" 2>/dev/null
[ "$status" = 75 ] || fail "session held: exit $status, expected 75"
grep -q "orvdeliver.$(cat "$tmp/holder")" "$tmp/err" || fail "session held: process not named: $(cat "$tmp/err")"

# ---- A permission error while opening (recovery reading quota.db): exit 1,
# every file as it was; a damaged store would have been repaired instead.
snapshot_files() {
  (cd "$md" && for f in $(ls | grep -v -e '^__db\.' -e '^failchk.lock$'); do
    if [ -f "$f" ]; then echo "$f $(md5sum < "$f")"; else echo "$f/"; fi
  done)
}
before=$(snapshot_files)
eve_before=$(cat "$tmp/store/stored/eve")
mark
status=0
# (The leak checker cannot run under ptrace.)
ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0" timeout 60 strace -f -qq -o /dev/null -P "$md/quota.db" -e trace=openat -e inject=openat:error=EACCES \
  "$bindir/orvstored" -f 2> "$tmp/err" || status=$?
[ "$status" = 1 ] || fail "permission error: exit $status, expected 1: $(cat "$tmp/err")"
since | grep -q "no repair attempted" || fail "permission error: not logged as such: $(since | tail -5)"
[ "$(snapshot_files)" = "$before" ] || fail "permission error: files changed: $(diff <(echo "$before") <(snapshot_files))"
[ "$(cat "$tmp/store/stored/eve")" = "$eve_before" ] || fail "permission error: an event was recorded"

finish recovery
