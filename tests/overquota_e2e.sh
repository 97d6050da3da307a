#!/usr/bin/env bash
# Over-quota warnings and the directory's account status on delivery: an
# INBOX at 95 % of its directory quota gets one warning with the next
# delivery and none again within the interval; with the status option on,
# mailuserstatus goes active -> overquota -> active as the usage crosses the
# limit and falls back; with the directory down, deliveries still succeed
# and nothing hangs (every command runs under a time-out).
set -euo pipefail
bindir=$1
[ -x /usr/sbin/slapd ] && command -v ldapsearch > /dev/null || { echo "slapd or ldap-utils missing: skipped"; exit 77; }
. "$(dirname "$0")/e2e_lib.sh"
adm() { timeout 30 "$bindir/orvadm" "$@"; }
dlv() { timeout 30 "$bindir/orvdeliver" "$@"; }

user() {
  printf 'dn: uid=%s,o=example,o=isp\nobjectClass: inetOrgPerson\nobjectClass: corvaneMailUser\n' "$1"
  printf 'uid: %s\ncn: %s\nsn: %s\nmail: %s@example.com\nmailhost: mail.example.com\n' "$1" "$1" "$1" "$1"
  printf 'mailquota: %s\nmailuserstatus: active\n\n' "$2"
}
{
  user joe 100k
  user kim 100k
  user sam 20k
} > "$tmp/dir.ldif"
start_directory "$tmp/dir.ldif"

write_config "${directory_config[@]}" \
  "local.hostname = mail.example.com" \
  'store.quotaexceededmsg = Subject: Mailbox almost full$$Please delete some messages.$'
adm init > /dev/null || die "orvadm init"
start_stored
count_failures

# A message of about $2 KB with subject $1.
msg() { printf 'From: a@example.org\nSubject: %s\n\n' "$1"; head -c $(($2 * 1024)) /dev/zero | tr '\0' 'a'; echo; }
messages() { adm folder show "$1" | sed -n 's/^messages: *//p'; }
warnings() { grep -l '^Subject: Mailbox almost full' $(find "$tmp/p1" -path "*$1*" -name '*.msg') 2>/dev/null | wc -l; }
status() {
  timeout 30 ldapsearch -LLL -x -H "$(cat "$ldir/url")" -b "uid=$1,o=example,o=isp" -s base mailuserstatus |
    sed -n 's/^mailuserstatus: //p'
}

# joe: the first delivery provisions the INBOX (100 KB) and brings it to 95 %.
msg big 95 | dlv joe || fail "first delivery to joe: exit $?"
[ "$(messages user/joe)" = 1 ] || fail "user/joe after the first delivery: $(messages user/joe) messages"
# The next delivery finds the INBOX over 90 % and brings one warning with it.
msg small 1 | dlv joe || fail "second delivery to joe: exit $?"
[ "$(messages user/joe)" = 3 ] || fail "user/joe after the second delivery: $(messages user/joe), expected 3"
[ "$(warnings joe)" = 1 ] || fail "warnings of joe: $(warnings joe), expected 1"
w=$(grep -l '^Subject: Mailbox almost full' $(find "$tmp/p1" -path '*joe*' -name '*.msg') | head -1)
grep -q $'^To: joe@example.com\r$' "$w" || fail "warning not addressed to joe: $(head -5 "$w")"
# Within the interval: no second warning.
msg small 1 | dlv joe || fail "third delivery to joe: exit $?"
[ "$(messages user/joe)" = 4 ] || fail "user/joe after the third delivery: $(messages user/joe), expected 4"
[ "$(warnings joe)" = 1 ] || fail "a second warning for joe within the interval"

msg big 95 | dlv kim || fail "first delivery to kim: exit $?"

# The status option: sam's entry follows his usage.
cp "$ORV_CONFIG" "$tmp/plain.conf"
echo "local.store.overquotastatus = on" >> "$ORV_CONFIG"
cp "$ORV_CONFIG" "$tmp/status.conf"
msg a 12 | dlv sam || fail "first delivery to sam: exit $?"
[ "$(status sam)" = active ] || fail "sam at 60 %: status $(status sam)"
msg b 12 | dlv sam || fail "second delivery to sam: exit $?"
[ "$(status sam)" = overquota ] || fail "sam over his quota: status $(status sam), expected overquota"
adm expunge user/sam 1:100 > /dev/null || fail "expunge of user/sam"
[ "$(status sam)" = active ] || fail "sam after the expunge: status $(status sam), expected active"

# The directory down: deliveries go on, without warning or status change.
# kim is at 95 % (warnings from 90 % again), so a warning is due.
stop_directory
cp "$tmp/plain.conf" "$ORV_CONFIG"
msg small 1 | dlv kim || fail "delivery to kim at 95 % with the directory down: exit $?"
[ "$(messages user/kim)" = 2 ] || fail "user/kim: $(messages user/kim) messages, expected 2"
[ "$(warnings kim)" = 0 ] || fail "a warning for kim without a directory"
cp "$tmp/status.conf" "$ORV_CONFIG"
msg a 12 | dlv sam || fail "delivery to sam with the directory down: exit $?"
msg b 12 | dlv sam || fail "delivery to sam over quota with the directory down: exit $?"
adm quota show user/sam | grep -q '^user/sam: .* 2 of ' || fail "sam's usage: $(adm quota show user/sam)"

for f in user/joe user/kim user/sam; do
  adm check "$f" > "$tmp/check" 2>&1 || fail "check $f: $(cat "$tmp/check")"
done
finish "overquota e2e"
