#!/usr/bin/env bash
# Restoring the folders of directory users: a restored INBOX gets the
# quotas of the user's directory entry (a plain one would be unlimited), on
# the partition it was saved from, with its UID validity and its mail and
# no second welcome message; a sub-folder of a user whose INBOX is not in
# the backup brings an INBOX with the directory's quotas.  A user the
# directory does not know is restored as before (unlimited).  With the
# directory down, the restore says "try again later" (75) and makes none of
# the folders of directory users.
# Usage: restore_provision_e2e.sh BINDIR (the build directory).
set -euo pipefail
bin=$1
bindir=$bin/tools
[ -x /usr/sbin/slapd ] && command -v ldapmodify > /dev/null || { echo "slapd or ldap-utils missing: skipped"; exit 77; }
. "$(dirname "$0")/e2e_lib.sh"
adm() { timeout 30 "$bindir/orvadm" "$@"; }
dlv() { timeout 30 "$bindir/orvdeliver" "$@"; }
restore() { timeout 60 "$bin/backup/orvrestore" "$@"; }

cat > "$tmp/dir.ldif" <<'LDIF'
dn: uid=joe,o=example,o=isp
objectClass: inetOrgPerson
objectClass: corvaneMailUser
uid: joe
cn: Joe
sn: Joe
mail: joe@example.com
mailhost: mail.example.com
mailmessagestore: /var/store/second/
mailquota: 2M
mailmsgquota: 50

dn: uid=ann,o=example,o=isp
objectClass: inetOrgPerson
objectClass: corvaneMailUser
uid: ann
cn: Ann
sn: Ann
mailhost: mail.example.com
mailquota: 100k
LDIF
start_directory "$tmp/dir.ldif"

write_config "${directory_config[@]}" \
  "local.hostname = mail.example.com" "local.servername = e2ehost" "local.serverroot = $tmp/root" \
  'gen.newuserforms = Subject: Welcome$$Your mailbox is ready.$'
mkdir -p "$tmp/root/config"
count_failures
init_stored

msg() { printf 'From: a@example.org\r\nSubject: %s\r\n\r\nbody\r\n' "$1"; }
field() { adm folder show "$1" | sed -n "s/^$2: *//p"; }
welcomes() { grep -l '^Subject: Welcome' $(find "$tmp/p1" "$tmp/p2" -path "*$1*" -name '*.msg') 2>/dev/null | wc -l; }

# joe comes from the directory (quotas, partition second, welcome); of
# ann only a sub-folder is restored; bob is no directory user.
adm user provision joe > /dev/null || die "provision joe"
msg one | dlv joe || die "delivery to joe"
adm folder create user/joe/Sent > /dev/null || die "folder create user/joe/Sent"
msg sent | dlv -m Sent joe || die "delivery to joe's Sent"
adm user provision ann > /dev/null || die "provision ann"
adm folder create user/ann/Lists > /dev/null || die "folder create user/ann/Lists"
msg list | dlv -m Lists ann || die "delivery to ann's Lists"
adm user create bob --partition primary > /dev/null || die "user create bob"
msg bob | dlv bob || die "delivery to bob"
[ "$(welcomes joe)" = 1 ] || die "joe's welcome messages before the backup: $(welcomes joe)"
joe_uv=$(field user/joe uidvalidity)
[ -n "$joe_uv" ] || die "no uid validity shown: $(adm folder show user/joe)"
timeout 60 "$bin/backup/orvbackup" -f "$tmp/vol" / > /dev/null 2> "$tmp/err" || die "orvbackup: $(cat "$tmp/err")"

# Wiped and restored: the directory's quotas are back.  (A new second
# first, so a UID validity made at restore time would differ from the saved one.)
sleep 1
wipe_stored
st=0; restore -f "$tmp/vol" /second/user/joe /primary/user/ann/Lists /primary/user/bob > /dev/null 2> "$tmp/err" || st=$?
[ $st = 0 ] || fail "orvrestore: status $st: $(cat "$tmp/err")"
adm quota show user/joe | grep -q 'of 2048 KB, .* of 50 messages' || fail "joe's restored quota: $(adm quota show user/joe)"
[ "$(field user/joe partition)" = second ] || fail "user/joe restored on $(field user/joe partition)"
[ "$(field user/joe uidvalidity)" = "$joe_uv" ] || fail "joe's uid validity $(field user/joe uidvalidity), saved $joe_uv"
[ "$(field user/joe messages)" = 2 ] || fail "user/joe holds $(field user/joe messages) messages, saved 2"
[ "$(welcomes joe)" = 1 ] || fail "joe's welcome messages after the restore: $(welcomes joe), expected the saved one"
[ "$(field user/joe/Sent messages)" = 1 ] || fail "user/joe/Sent holds $(field user/joe/Sent messages) messages"
adm quota show user/ann | grep -q 'of 100 KB' || fail "ann's INBOX made for her sub-folder: $(adm quota show user/ann 2>&1)"
[ "$(field user/ann messages)" = 0 ] || fail "ann's INBOX made for her sub-folder holds $(field user/ann messages) messages"
[ "$(field user/ann/Lists messages)" = 1 ] || fail "user/ann/Lists holds $(field user/ann/Lists messages) messages"
adm quota show user/bob | grep -q 'of none KB, .* of none messages' \
  || fail "bob, no directory user, got a quota: $(adm quota show user/bob)"
for f in user/joe user/joe/Sent user/ann user/ann/Lists user/bob; do
  adm check "$f" > "$tmp/check" 2>&1 || fail "check $f: $(cat "$tmp/check")"
done

# The directory down: nothing of the directory users is made, and the
# restore asks to be run again later.
wipe_stored
stop_directory
st=0; restore -f "$tmp/vol" > /dev/null 2> "$tmp/err" || st=$?
[ $st = 75 ] || fail "orvrestore with the directory down: status $st, expected 75: $(cat "$tmp/err")"
grep -q 'Cannot restore folder .*joe' "$tmp/err" || fail "no clear error for joe's INBOX: $(cat "$tmp/err")"
for f in user/joe user/joe/Sent user/ann user/ann/Lists; do
  st=0; adm folder show "$f" > /dev/null 2>&1 || st=$?
  [ $st = 79 ] || fail "$f made with the directory down (show status $st)"
done
finish "restore provision e2e"
