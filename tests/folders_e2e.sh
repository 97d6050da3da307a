#!/usr/bin/env bash
# Folder administration on a fresh instance with the store daemon running:
# users and folders are created, listed, renamed and deleted through orvadm;
# afterwards every database file passes db5.3_verify and the dumped folder
# and quota records have the documented byte layout.
set -euo pipefail
bindir=$1
. "$(dirname "$0")/e2e_lib.sh"
write_config
adm init > /dev/null
start_stored

adm user create joe --quota 1000 > /dev/null
adm user create ann --partition second > /dev/null
adm folder create user/joe/Sent > /dev/null
adm folder create user/joe/Sent/2024 > /dev/null
adm folder create user/joe/Trash > /dev/null
adm acl set user/joe/Sent ann lr > /dev/null
adm quota set user/joe 2000 100 > /dev/null

status=0
adm user create joe > /dev/null 2>&1 || status=$?
[ "$status" != 0 ] || fail "creating joe twice succeeded"
status=0
adm folder create user/nobody/x > /dev/null 2>&1 || status=$?
[ "$status" = 77 ] || fail "folder of a user without INBOX: exit $status, expected 77"
# An owner id too long to be an owner would make a "shared" folder.
long=$(printf 'a%.0s' $(seq 150))
status=0
adm folder create "user/$long/Sub" > /dev/null 2>&1 || status=$?
[ "$status" != 0 ] || fail "folder of a 150-byte user id was created"
[ -z "$(adm folder list "user/$long")" ] || fail "records of a 150-byte user id exist"
status=0
adm folder show user/joe/none > /dev/null 2>&1 || status=$?
[ "$status" = 79 ] || fail "show of a missing folder: exit $status, expected 79"

adm folder list > "$tmp/list"
printf 'user/ann\nuser/joe\nuser/joe/Sent\nuser/joe/Sent/2024\nuser/joe/Trash\n' > "$tmp/want"
cut -f1 "$tmp/list" | diff - "$tmp/want" || fail "folder list"
grep -q "^user/ann	second	0$" "$tmp/list" || fail "ann not on partition second: $(cat "$tmp/list")"
# A listing that stops at the end of its prefix is a success, with nothing
# on standard error.
status=0
adm folder list user/joe/ > "$tmp/list" 2> "$tmp/err" || status=$?
[ "$status" = 0 ] && [ ! -s "$tmp/err" ] || fail "folder list user/joe/: exit $status, $(cat "$tmp/err")"
printf 'user/joe/Sent\nuser/joe/Sent/2024\nuser/joe/Trash\n' | diff - <(cut -f1 "$tmp/list") || fail "list of user/joe/"
# The status shows each partition's users, folders, usage and quota.
adm status > "$tmp/status"
grep -q "^partition primary: $tmp/p1, 1 users, 4 folders, 0 bytes used, quota 2000 KB, [0-9]* of [0-9]* KB free$" \
  "$tmp/status" || fail "status of primary: $(cat "$tmp/status")"
grep -q "^partition second: $tmp/p2, 1 users, 1 folders, 0 bytes used, quota unlimited, " "$tmp/status" \
  || fail "status of second: $(cat "$tmp/status")"
grep -q "^database: 0 active transactions, " "$tmp/status" || fail "database status: $(cat "$tmp/status")"
adm folder show user/joe/Sent > "$tmp/show"
grep -q "^acl:          joe lrswipcda ann lr $" "$tmp/show" || fail "acl of Sent: $(cat "$tmp/show")"
grep -q "^quota root:   user/joe (0 bytes of 2000 KB, 0 of 100 messages)" "$tmp/show" || fail "quota: $(cat "$tmp/show")"

# Fourteen more entries make the ACL longer than a new folder's header
# holds: new sub-folders inherit it, and renames carry it along.
for i in $(seq 10 23); do adm acl set user/joe "reader$i" lrs > /dev/null || fail "acl set reader$i"; done
adm folder create user/joe/Long > "$tmp/out" 2>&1 || fail "create under a long ACL: $(cat "$tmp/out")"
adm folder show user/joe/Long | grep -q 'reader23 lrs' || fail "long ACL not inherited"
adm folder rename user/joe/Long user/joe/Longer > "$tmp/out" 2>&1 || fail "rename with a long ACL: $(cat "$tmp/out")"
adm check user/joe/Longer > "$tmp/out" 2>&1 || fail "check of the long-ACL folder: $(cat "$tmp/out")"
adm folder delete user/joe/Longer > /dev/null || fail "delete user/joe/Longer"
adm user rename joe jim > /dev/null
adm folder list user/ > "$tmp/list"
printf 'user/ann\nuser/jim\nuser/jim/Sent\nuser/jim/Sent/2024\nuser/jim/Trash\n' > "$tmp/want"
cut -f1 "$tmp/list" | diff - "$tmp/want" || fail "list after the user rename"
adm folder show user/jim/Sent | grep -q "^acl:          jim lrswipcda ann lr $" || fail "ACL not renamed"
adm quota show user/jim | grep -q "of 2000 KB" || fail "quota record did not follow the rename"
adm folder rename user/jim/Sent user/jim/Old > /dev/null
adm folder list user/jim/ | cut -f1 | grep -qx "user/jim/Old/2024" || fail "subfolder not renamed"
find "$tmp/p1" -path '*/=jim/=+Old/=2024/store.idx' | grep -q . || fail "renamed folder has no index: $(find "$tmp/p1")"
[ -z "$(find "$tmp/p1" -path '*/=+Sent*')" ] || fail "old folder directories are left"

adm user delete jim > /dev/null
adm folder list > "$tmp/list"
[ "$(cut -f1 "$tmp/list")" = "user/ann" ] || fail "after deleting jim: $(cat "$tmp/list")"
[ -z "$(find "$tmp/p1" -name '=jim' 2>/dev/null)" ] || fail "jim's directories are left"
[ -d "$tmp/p1" ] || fail "deleting the last user of a partition removed the partition directory"
[ -z "$(find "$tmp/p1" -mindepth 1 -type d -empty)" ] || fail "empty hash directories left: $(find "$tmp/p1")"

adm checkpoint > /dev/null
kill -TERM "$pid"
for _ in $(seq 1 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
pid=""

cd "$tmp/store/mboxlist"
for f in folder.db quota.db subscr.db peruser.db lright.db; do
  db5.3_verify -h "$tmp/store/mboxlist" -o "$f" > /dev/null 2>&1 || db5.3_verify -o "$f" || fail "db5.3_verify $f"
done
# user/ann: key with its NUL, data: version 0x102 little-endian, ...,
# partition "second" NUL, ACL "ann<TAB>lrswipcda<TAB>" NUL.
db5.3_dump -p folder.db > "$tmp/dump" 2>/dev/null || db5.3_dump -h . -p folder.db > "$tmp/dump"
grep -q '^ user/ann\\00$' "$tmp/dump" || fail "folder key not NUL-terminated: $(cat "$tmp/dump")"
grep -A1 '^ user/ann\\00$' "$tmp/dump" | tail -1 | grep -q '^ \\02\\01\\00\\00.*second\\00ann\\09lrswipcda\\09\\00$' \
  || fail "folder record layout: $(cat "$tmp/dump")"
db5.3_dump -p quota.db > "$tmp/qdump" 2>/dev/null || db5.3_dump -h . -p quota.db > "$tmp/qdump"
grep -A1 '^ user/ann\\00$' "$tmp/qdump" | tail -1 | grep -q '^ \\ff\\ff\\ff\\ff' || fail "quota record: $(cat "$tmp/qdump")"
echo ok
