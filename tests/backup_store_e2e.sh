#!/usr/bin/env bash
# orvbackup of a store run by the real store daemon: users and folders made
# with orvadm on two partitions with a group file, a full backup of "/",
# the listing of the volume with orvrestore -t, a missing and an invalid
# name, and a group that does not exist.  Usage: backup_store_e2e.sh BINDIR
# (the build directory: tools/ and backup/ below it).
set -uo pipefail
bin=$1
bindir=$bin/tools
. "$(dirname "$0")/e2e_lib.sh"
count_failures
mkdir -p "$tmp/root/config"
write_config "local.servername = e2ehost" "local.serverroot = $tmp/root" "local.store.backup.exclude = Trash"
printf 'staff = s[0-9]+\nuser = .*\n' > "$tmp/root/config/backup-groups.conf"
adm init > /dev/null || die "orvadm init"
start_stored

for u in joe ann s12; do adm user create $u --partition primary > /dev/null || fail "user create $u"; done
adm user create bob --partition second > /dev/null || fail "user create bob"
for f in user/joe/Sent user/joe/Trash user/joe/Trash/old user/joe/Drafts user/joe/Drafts/old; do
  adm folder create $f > /dev/null || fail "folder create $f"
done

run() {  # WANT ARGS...
  local want=$1; shift
  timeout 60 "$bin/backup/orvbackup" "$@" > "$tmp/out" 2> "$tmp/err"
  local rc=$?
  [ "$rc" -eq "$want" ] || fail "orvbackup $*: status $rc, wanted $want; $(cat "$tmp/err")"
}
list() { timeout 60 "$bin/backup/orvrestore" -t -f "$1" | grep -v -- '----' | grep '^/' | cut -f1,2; }

run 0 -f "$tmp/vol" /
[ -s "$tmp/err" ] && fail "unexpected text: $(cat "$tmp/err")"
list "$tmp/vol" > "$tmp/ids" || fail "orvrestore -t failed"
# Users of one group come in directory order: compare sorted within it.
cat > "$tmp/want" <<W
/	store
/primary	partition
/primary/staff	group
/primary/staff/s12	user
/primary/staff/s12/INBOX	mailbox
/primary/user	group
/primary/user/ann	user
/primary/user/ann/INBOX	mailbox
/primary/user/joe	user
/primary/user/joe/Drafts	mailbox
/primary/user/joe/Drafts/old	mailbox
/primary/user/joe/INBOX	mailbox
/primary/user/joe/Sent	mailbox
/primary/user/joe/Trash/old	mailbox
/second	partition
/second/staff	group
/second/user	group
/second/user/bob	user
/second/user/bob/INBOX	mailbox
W
sort "$tmp/ids" | diff - <(sort "$tmp/want") > "$tmp/diff" || fail "records differ: $(cat "$tmp/diff")"
[ "$(head -1 "$tmp/ids")" = "/	store" ] || fail "the store record is not first"
grep -n . "$tmp/ids" | grep -q "^3:/primary/staff	group" || fail "the staff group does not follow /primary: $(cat "$tmp/ids")"
# joe's folders follow joe, INBOX first.
awk '/^\/primary\/user\/joe\t/{f=1;next} f&&/^\/primary\/user\/joe\//{print $1} f&&!/^\/primary\/user\/joe/{exit}' "$tmp/ids" \
  > "$tmp/joe"
[ "$(tr '\n' ' ' < "$tmp/joe")" = "/primary/user/joe/INBOX /primary/user/joe/Drafts /primary/user/joe/Drafts/old /primary/user/joe/Sent /primary/user/joe/Trash/old " ] \
  || fail "joe's folders: $(tr '\n' ' ' < "$tmp/joe")"
timeout 60 "$bin/backup/orvrestore" -t -v -f "$tmp/vol" > "$tmp/verbose" || fail "orvrestore -t -v"
grep -q "^pattern     : s\[0-9\]+" "$tmp/verbose" || fail "verbose listing lacks the group pattern"
grep -q "^UID Validity: " "$tmp/verbose" || fail "verbose listing lacks folder attributes"

# A missing user, then a name that is not attempted.
run 79 -f "$tmp/vol2" nobody joe
grep -q "^/primary/user/nobody does not exist$" "$tmp/err" || fail "missing user text: $(cat "$tmp/err")"
grep -q "Error occured, see default logfile" "$tmp/err" || fail "no closing error line"
[ -z "$(list "$tmp/vol2" 2>/dev/null)" ] || fail "records after a failed name"
run 79 -f "$tmp/vol3" /primary/nogroup
run 65 -f "$tmp/vol4" $'/primary/user/joe/bad\xff'  # not UTF-8: no valid folder name
grep -q "^Invalid path " "$tmp/err" || fail "invalid name text: $(cat "$tmp/err")"
# A -u file whose last line has no newline.
printf 'ann\n/second/user/bob' > "$tmp/names"
run 0 -f "$tmp/vol5" -u "$tmp/names"
[ "$(list "$tmp/vol5" | cut -f1 | tr '\n' ' ')" = "/primary/user/ann /primary/user/ann/INBOX /second/user/bob /second/user/bob/INBOX " ] \
  || fail "-u list: $(list "$tmp/vol5" | tr '\n' ' ')"

finish "backup store e2e"
