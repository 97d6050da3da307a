#!/usr/bin/env bash
# Accounts that come to life from the directory: a first delivery makes the
# INBOX on the partition the entry names, with its quotas and one welcome
# message; later deliveries and `orvadm user provision` add nothing; a user
# of another mail host, an unknown or wildcard id and a directory that is
# down create nothing, with the exit statuses an MTA acts on.
set -euo pipefail
bindir=$1
[ -x /usr/sbin/slapd ] && command -v ldapmodify > /dev/null || { echo "slapd or ldap-utils missing: skipped"; exit 77; }
. "$(dirname "$0")/e2e_lib.sh"
adm() { timeout 30 "$bindir/orvadm" "$@"; }
dlv() { timeout 30 "$bindir/orvdeliver" "$@"; }

cat > "$tmp/dir.ldif" <<'LDIF'
dn: uid=joe,o=example,o=isp
objectClass: inetOrgPerson
objectClass: corvaneMailUser
uid: joe
cn: Joe
sn: Joe
mail: joe@example.com
mailhost: mail.example.com
mailmessagestore: /var/store/Second/
mailquota: 2M
mailmsgquota: 50
preferredLanguage: en

dn: uid=ann,o=example,o=isp
objectClass: inetOrgPerson
objectClass: corvaneMailUser
uid: ann
cn: Ann
sn: Ann
mailhost: mail.example.com
mailquota: 100k

dn: uid=kim,o=example,o=isp
objectClass: inetOrgPerson
objectClass: corvaneMailUser
uid: kim
cn: Kim
sn: Kim
mailhost: mail.example.com

dn: uid=far,o=example,o=isp
objectClass: inetOrgPerson
objectClass: corvaneMailUser
uid: far
cn: Far
sn: Far
mailhost: mail.elsewhere.net
LDIF
start_directory "$tmp/dir.ldif"

write_config "${directory_config[@]}" \
  "local.hostname = mail.example.com" \
  'gen.newuserforms = Subject: Welcome$$Your mailbox is ready.$'
adm init > /dev/null || die "orvadm init"
start_stored
count_failures

msg() { printf 'From: a@example.org\nSubject: %s\n\nbody\n' "$1"; }
messages() { adm folder show "$1" | sed -n 's/^messages: *//p'; }
welcomes() { grep -l '^Subject: Welcome' $(find "$tmp/p1" "$tmp/p2" -path "*$1*" -name '*.msg') 2>/dev/null | wc -l; }

# First delivery: the INBOX on the entry's partition, its quotas, the
# welcome message and the delivered one.
msg first | dlv joe || fail "first delivery to joe: exit $?"
adm folder show user/joe > "$tmp/show" 2>&1 || fail "no user/joe after the first delivery"
grep -q '^partition: *second$' "$tmp/show" || fail "user/joe not on second: $(cat "$tmp/show")"
[ "$(messages user/joe)" = 2 ] || fail "user/joe after the first delivery: $(messages user/joe) messages, expected 2"
adm quota show user/joe | grep -q 'of 2048 KB, .* of 50 messages' || fail "joe's quota: $(adm quota show user/joe)"
[ "$(welcomes joe)" = 1 ] || fail "welcome messages of joe: $(welcomes joe)"
w=$(grep -l '^Subject: Welcome' $(find "$tmp/p2" -name '*.msg'))
grep -q $'^To: .*joe@example.com.*\r$' "$w" || fail "welcome not addressed to joe's mail: $(head -5 "$w")"
[ -z "$(find "$tmp/p1" -path '*joe*')" ] || fail "joe has files on the primary partition"

# A second delivery adds only its own message; provisioning again changes nothing.
msg second | dlv joe || fail "second delivery to joe: exit $?"
[ "$(messages user/joe)" = 3 ] || fail "user/joe after the second delivery: $(messages user/joe), expected 3"
out=$(adm user provision joe) || fail "provision of existing joe: exit $?"
[ "$out" = "user/joe exists; unchanged" ] || fail "provision of existing joe said: $out"
[ "$(messages user/joe)" = 3 ] || fail "provision of existing joe changed its messages"
[ "$(welcomes joe)" = 1 ] || fail "a second welcome for joe"

# orvadm provisions a new user; a changed directory quota comes with the next call.
out=$(adm user provision ann) || fail "provision ann: exit $?"
[ "$out" = "provisioned user/ann on primary" ] || fail "provision ann said: $out"
[ "$(messages user/ann)" = 1 ] || fail "ann's INBOX holds $(messages user/ann) messages, expected the welcome"
adm quota show user/ann | grep -q 'of 100 KB' || fail "ann's quota: $(adm quota show user/ann)"
printf 'dn: uid=ann,o=example,o=isp\nchangetype: modify\nreplace: mailquota\nmailquota: 300k\n' > "$tmp/mod.ldif"
timeout 30 ldapmodify -x -H "$(cat "$ldir/url")" -D "$(cat "$ldir/rootdn")" -y "$ldir/rootpw" -f "$tmp/mod.ldif" \
  > /dev/null || fail "ldapmodify"
out=$(adm user provision ann) || fail "provision ann again: exit $?"
[ "$out" = "user/ann exists; quotas updated" ] || fail "provision after a quota change said: $out"
adm quota show user/ann | grep -q 'of 300 KB' || fail "ann's changed quota: $(adm quota show user/ann)"

# Another mail host, an unknown and a wildcard id: nothing made.
st=0; msg x | dlv far 2> "$tmp/err" || st=$?
[ "$st" = 67 ] || fail "delivery to a user of another mail host: exit $st, expected 67"
grep -q 'different server' "$tmp/err" || fail "no clear message for another mail host: $(cat "$tmp/err")"
st=0; adm user provision far > /dev/null 2> "$tmp/err" || st=$?
[ "$st" = 67 ] || fail "provision of a user of another mail host: exit $st, expected 67"
grep -q 'another mail host' "$tmp/err" || fail "orvadm's message for another mail host: $(cat "$tmp/err")"
st=0; msg x | dlv nobody 2> /dev/null || st=$?
[ "$st" = 67 ] || fail "delivery to a user missing from the directory: exit $st, expected 67"
st=0; adm user provision nobody > /dev/null 2>&1 || st=$?
[ "$st" = 79 ] || fail "provision of a user missing from the directory: exit $st, expected 79"
st=0; msg x | dlv 'jo*' 2> /dev/null || st=$?
[ "$st" = 67 ] || fail "delivery to jo*: exit $st, expected 67"
st=0; adm user provision 'jo*' > /dev/null 2>&1 || st=$?
[ "$st" = 65 ] || fail "provision of jo*: exit $st, expected 65 (not a user id)"
# Ids the folder names accept but a search filter must not take as syntax:
# searched as literal values, they match no entry.
for u in 'joe)(uid=joe' 'jo\2a'; do
  st=0; adm user provision "$u" > /dev/null 2>&1 || st=$?
  [ "$st" = 79 ] || fail "provision of $u: exit $st, expected 79"
  st=0; msg x | dlv "$u" 2> /dev/null || st=$?
  [ "$st" = 67 ] || fail "delivery to $u: exit $st, expected 67"
done
st=0; adm user provision 'a/b' > /dev/null 2>&1 || st=$?
[ "$st" = 65 ] || fail "provision of a/b: exit $st, expected 65"
for u in far nobody 'jo*' 'joe)(uid=joe' 'jo\2a' a; do
  st=0; adm folder show "user/$u" > /dev/null 2>&1 || st=$?
  [ "$st" = 79 ] || fail "user/$u exists (show exit $st)"
done

# The directory down: try again later, nothing made.
stop_directory
st=0; msg x | dlv kim 2> /dev/null || st=$?
[ "$st" = 75 ] || fail "delivery with the directory down: exit $st, expected 75"
st=0; adm user provision kim > /dev/null 2>&1 || st=$?
[ "$st" = 75 ] || fail "provision with the directory down: exit $st, expected 75"
st=0; adm folder show user/kim > /dev/null 2>&1 || st=$?
[ "$st" = 79 ] || fail "user/kim made with the directory down"
# Existing INBOXes take mail without asking the directory.
msg third | dlv joe || fail "delivery to joe with the directory down: exit $?"

for f in user/joe user/ann; do
  adm check "$f" > "$tmp/check" 2>&1 || fail "check $f: $(cat "$tmp/check")"
done
finish "provision e2e"
