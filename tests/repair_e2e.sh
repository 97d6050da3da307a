#!/usr/bin/env bash
# Users the mailbox list lost while their folders stay on disk:
#  - records of some folders dropped (one of them on the second partition,
#    one user entirely) and a catastrophic event recorded: those users need
#    a rebuild, `orvadm reconstruct -m` brings every folder and message
#    back, after which nobody needs one;
#  - folder.db removed while the daemon was stopped: no delivery to an
#    existing user is answered "no such user" (67), with the start-up check
#    off deliveries wait (75) until `reconstruct -m`, and with it on (the
#    default) the daemon rebuilds every user before it says ready; the
#    databases then pass db5.3_verify.
set -euo pipefail
bindir=$1
drop_records=$2
. "$(dirname "$0")/e2e_lib.sh"
write_config
count_failures
deliver() {  # deliver USER [FOLDER]: prints the exit status
  local st=0
  printf 'Subject: m\n\nbody\n' | timeout 30 "$bindir/orvdeliver" ${2:+-m "$2"} "$1" 2> /dev/null || st=$?
  echo "$st"
}
snapshot() {  # every folder record: name, partition, messages
  adm folder list user/ > "$1" || fail "folder list"
  for u in joe ann bob; do adm list "$u" >> "$1" 2>&1 || true; done
}
adm init > /dev/null
start_stored

adm user create joe > /dev/null
adm user create ann --partition second > /dev/null
adm user create bob > /dev/null
for f in Sent Projects Projects/a Far; do adm folder create "user/joe/$f" > /dev/null; done
adm folder rename user/joe/Far user/joe/Far --partition second > /dev/null || die "moving user/joe/Far"
adm folder create user/ann/Lists > /dev/null
for i in 1 2; do [ "$(deliver joe)" = 0 ] || die "delivery to joe"; done
[ "$(deliver joe Sent)" = 0 ] || die "delivery to joe's Sent"
[ "$(deliver joe Far)" = 0 ] || die "delivery to joe's Far"
[ "$(deliver ann Lists)" = 0 ] || die "delivery to ann's Lists"
snapshot "$tmp/before"
grep -q "^user/joe/Far	second	1$" "$tmp/before" || die "set-up: $(cat "$tmp/before")"

# ---- records dropped, event recorded, reconstruct -m ------------------------------
"$drop_records" user/joe/Far user/joe/Projects/a user/ann user/ann/Lists || die "drop_records"
echo $(($(date +%s) + 1)) > "$tmp/store/stored/eve"  # after every user's creation
adm folder list user/ > "$tmp/out"
! grep -q 'user/joe/Far\|user/ann' "$tmp/out" || fail "records still there: $(cat "$tmp/out")"
adm reconstruct -m > "$tmp/rec" 2> "$tmp/rec.err" || fail "reconstruct -m: $(cat "$tmp/rec" "$tmp/rec.err")"
grep '^user ' "$tmp/rec" > "$tmp/out" || true
printf 'user ann\nuser bob\nuser joe\n' | diff - "$tmp/out" || fail "users rebuilt: $(cat "$tmp/rec")"
grep -q '^user/joe/Far	restored$' "$tmp/rec" || fail "Far on the second partition: $(cat "$tmp/rec")"
grep -q '^user/ann	restored$' "$tmp/rec" || fail "ann's INBOX: $(cat "$tmp/rec")"
snapshot "$tmp/after"
diff "$tmp/before" "$tmp/after" || fail "folders and messages after reconstruct -m"
adm reconstruct -m > "$tmp/rec" || fail "second reconstruct -m"
grep -q '^reconstructed 0 users$' "$tmp/rec" || fail "users still need a rebuild: $(cat "$tmp/rec")"

# ---- folder.db lost while the daemon was stopped; start-up check off ----------------
stop_stored || fail "daemon stop"
rm -f "$tmp/store/stored/eve"
rm "$tmp/store/mboxlist/folder.db"
write_config "local.store.startupusercheck = off"
start_stored
for u in joe ann bob; do
  st=$(deliver "$u")
  [ "$st" = 75 ] || fail "delivery to $u, lost by the list, exited $st (75 expected)"
done
[ "$(deliver nobody)" = 67 ] || fail "delivery to an unknown user"
adm reconstruct -m > "$tmp/rec" 2>&1 || fail "reconstruct -m after folder.db was lost: $(cat "$tmp/rec")"
grep -q '^reconstructed 3 users$' "$tmp/rec" || fail "reconstruct -m report: $(cat "$tmp/rec")"
snapshot "$tmp/after"
diff "$tmp/before" "$tmp/after" || fail "folders and messages after folder.db was lost"

# ---- the same with the start-up check: repaired before ready ------------------------
stop_stored || fail "daemon stop"
rm "$tmp/store/mboxlist/folder.db"
write_config
start_stored
grep -q 'lacks 3 users whose folders are on disk' "$tmp/store/log/stored.log" || fail "the start-up repair was not logged"
[ -s "$tmp/store/stored/eve" ] || fail "no catastrophic event recorded"
snapshot "$tmp/after"
diff "$tmp/before" "$tmp/after" || fail "folders and messages after the start-up repair"
for u in joe ann bob; do [ "$(deliver "$u")" = 0 ] || fail "delivery to $u after the start-up repair"; done
stop_stored || fail "daemon stop"
for db in folder quota subscr peruser lright; do
  f="$tmp/store/mboxlist/$db.db"
  [ -f "$f" ] || continue
  db5.3_verify -o "$f" > "$tmp/out" 2>&1 || fail "db5.3_verify $db.db: $(cat "$tmp/out")"
done
finish repair
