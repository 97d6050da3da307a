#!/usr/bin/env bash
# Listing, subscriptions, seen state, access times and the rebuild of a
# user's records: with the store daemon running, a user gets folders and
# ACLs through orvadm; the listings, subscriptions, seen state and access
# times are checked; then the user's folder records are removed while the
# folder files stay, and `orvadm reconstruct` must bring every folder back
# with its ACL so that the listings match what they were before.
set -euo pipefail
bindir=$1
drop_records=$2
. "$(dirname "$0")/e2e_lib.sh"
write_config
expect_status() {  # expect_status STATUS COMMAND...
  local want=$1 got=0
  shift
  "$@" > "$tmp/err" 2>&1 || got=$?
  [ "$got" = "$want" ] || fail "$* exited $got, expected $want: $(cat "$tmp/err")"
}
adm init > /dev/null
start_stored

# joe lives on the second partition so the rebuild has to find him there.
adm user create joe --partition second --quota 1000 > /dev/null
adm user create ann > /dev/null
for f in Sent Sent/2024 Trash Projects Projects/a Projects/a/b; do
  adm folder create "user/joe/$f" > /dev/null
done
adm folder create user/ann/Lists > /dev/null
adm acl set user/joe/Sent ann lr > /dev/null
adm acl set user/joe/Projects/a ann lrs > /dev/null
adm acl set user/ann/Lists joe lr > /dev/null

# ---- listing -----------------------------------------------------------------
adm list joe > "$tmp/joe.before"
cat > "$tmp/want" <<'LIST'
INBOX	noinferiors
Projects	haschildren
Projects/a	haschildren
Projects/a/b	hasnochildren
Sent	haschildren
Sent/2024	hasnochildren
Trash	hasnochildren
Shared Folders/User/ann/Lists	noinferiors
LIST
diff "$tmp/want" "$tmp/joe.before" || fail "joe's listing"
adm list joe % > "$tmp/out"
printf 'INBOX\tnoinferiors\nProjects\thaschildren\nSent\thaschildren\nTrash\thasnochildren\nShared Folders\thaschildren\tnoselect\n' \
  > "$tmp/want"
diff "$tmp/want" "$tmp/out" || fail "joe's listing of %"
adm list joe 'Sent*' | cut -f1 > "$tmp/out"
printf 'Sent\nSent/2024\n' | diff - "$tmp/out" || fail "pattern Sent*"
adm list ann > "$tmp/ann.before"
cut -f1 "$tmp/ann.before" > "$tmp/out"
printf 'INBOX\nLists\nShared Folders/User/joe/Projects/a\nShared Folders/User/joe/Sent\n' | diff - "$tmp/out" \
  || fail "ann sees the folders shared with her, and only those"
adm list --store 'user/joe/P*' | cut -f1 > "$tmp/out"
printf 'user/joe/Projects\nuser/joe/Projects/a\nuser/joe/Projects/a/b\n' | diff - "$tmp/out" || fail "store listing"
adm list --regex joe 'Pro.*/b' | cut -f1 > "$tmp/out"
[ "$(cat "$tmp/out")" = "Projects/a/b" ] || fail "regex listing: $(cat "$tmp/out")"
expect_status 79 adm list nobody
expect_status 65 adm list group:staff
expect_status 64 adm list

# ---- subscriptions -------------------------------------------------------------
adm subscribe joe user/joe/Sent > /dev/null
adm subscribe joe user/joe/Sent > /dev/null || fail "subscribing twice"
adm subscribe joe user/joe/Trash > /dev/null
adm subscribe joe user/ann/Lists > /dev/null
adm unsubscribe joe user/joe/Trash > /dev/null
adm unsubscribe joe user/joe/Never > /dev/null || fail "unsubscribing a folder never subscribed"
expect_status 79 adm subscribe joe user/joe/Missing
adm list --subscribed joe | cut -f1 > "$tmp/out"
printf 'Shared Folders/User/ann/Lists\nSent\n' | diff - "$tmp/out" || fail "joe's subscriptions"
adm list --subscribed ann > "$tmp/out"
[ ! -s "$tmp/out" ] || fail "ann has no subscriptions: $(cat "$tmp/out")"

# ---- seen state --------------------------------------------------------------------
# The folders are empty (last UID 0): no UID can be marked seen, the empty
# set can.
adm seen show user/joe/Sent ann > "$tmp/out"
grep -q '^last read:    never$' "$tmp/out" || fail "fresh seen state: $(cat "$tmp/out")"
grep -q '^seen:         $' "$tmp/out" || fail "fresh seen set: $(cat "$tmp/out")"
expect_status 65 adm seen set user/joe/Sent ann 1:3
expect_status 65 adm seen set user/joe/Sent ann 'x'
adm seen set user/joe/Sent ann '' > /dev/null || fail "setting the empty set"
adm seen show user/joe/Sent ann > "$tmp/out"
grep -q '^last read:    [0-9]* (' "$tmp/out" || fail "seen set left no read time: $(cat "$tmp/out")"
expect_status 79 adm seen show user/joe/Missing ann
expect_status 64 adm seen show user/joe/Sent

# ---- access times ------------------------------------------------------------------
adm access set joe imap 1700000000 > /dev/null
adm access set joe pop 1700000100 > /dev/null
adm access joe > "$tmp/out"
grep -q '^user/joe	pop 1700000100 (2023-11-14 22:15:00 UTC)	imap 1700000000 (2023-11-14 22:13:20 UTC)	http never$' \
  "$tmp/out" || fail "joe's access times: $(cat "$tmp/out")"
adm access | cut -f1 > "$tmp/out"
printf 'user/ann\nuser/joe\n' | diff - "$tmp/out" || fail "all access times"
expect_status 79 adm access nobody
expect_status 64 adm access set joe ftp

# ---- rebuild after losing the records ------------------------------------------------
adm folder show user/joe/Projects/a > "$tmp/acl.before"
adm folder list user/joe > "$tmp/records.before"
"$drop_records" user/joe user/joe/Sent user/joe/Sent/2024 user/joe/Trash user/joe/Projects \
  user/joe/Projects/a user/joe/Projects/a/b || fail "drop_records"
adm folder list user/joe > "$tmp/out"
[ ! -s "$tmp/out" ] || fail "records left after dropping them: $(cat "$tmp/out")"
find "$tmp/p2" -name store.idx | grep -q . || fail "folder files must stay"

adm reconstruct joe > "$tmp/rec" || fail "reconstruct: $(cat "$tmp/rec")"
[ "$(grep -c '	restored$' "$tmp/rec")" = 7 ] || fail "reconstruct report: $(cat "$tmp/rec")"
grep -q '^quota user/joe: 0 bytes, 0 messages$' "$tmp/rec" || fail "quota recount: $(cat "$tmp/rec")"
adm list joe > "$tmp/out"
diff "$tmp/joe.before" "$tmp/out" || fail "joe's listing after reconstruct"
adm list ann > "$tmp/out"
diff "$tmp/ann.before" "$tmp/out" || fail "ann's listing after reconstruct"
adm folder list user/joe | diff "$tmp/records.before" - || fail "records after reconstruct"
adm folder show user/joe/Projects/a | grep '^acl:' > "$tmp/out"
grep '^acl:' "$tmp/acl.before" | diff - "$tmp/out" || fail "ACL after reconstruct"
adm reconstruct joe > "$tmp/rec"
[ "$(grep -c '	kept$' "$tmp/rec")" = 7 ] || fail "second reconstruct changed something: $(cat "$tmp/rec")"
expect_status 79 adm reconstruct nobody

# A shared folder lost with its files: reconstruct takes it out of the
# shared-folder list of the user it was shared with.
adm folder create user/joe/Gone > /dev/null || fail "create user/joe/Gone"
adm acl set user/joe/Gone ann lr > /dev/null || fail "share user/joe/Gone"
gone=$(find "$tmp/p2" -path '*=joe/=+Gone' -type d)
[ -n "$gone" ] || fail "no directory of user/joe/Gone"
"$drop_records" user/joe/Gone || fail "drop_records user/joe/Gone"
rm -rf "$gone"
adm reconstruct joe > "$tmp/rec" 2>&1 || fail "reconstruct after a lost folder: $(cat "$tmp/rec")"

kill -TERM "$pid"
for _ in $(seq 1 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
pid=""
(cd "$tmp/store/mboxlist" && db5.3_dump -p lright.db) > "$tmp/lright" 2>&1 || fail "dump of lright.db: $(cat "$tmp/lright")"
grep -q 'user/joe/Sent' "$tmp/lright" || fail "ann's list lost user/joe/Sent: $(cat "$tmp/lright")"
! grep -q 'user/joe/Gone' "$tmp/lright" || fail "ann's list still names the lost user/joe/Gone"
echo ok
