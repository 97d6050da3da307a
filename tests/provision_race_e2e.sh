#!/usr/bin/env bash
# The first use of an account from several processes at once: eight
# `orvadm user provision` of one directory user started together all exit 0
# and leave one INBOX on the partition the entry names, the directory's
# quotas and exactly one welcome message.  Three users, one after the other.
set -euo pipefail
bindir=$1
[ -x /usr/sbin/slapd ] && command -v ldapmodify > /dev/null || { echo "slapd or ldap-utils missing: skipped"; exit 77; }
. "$(dirname "$0")/e2e_lib.sh"
slapd=$(cd "$(dirname "$0")/.." && pwd)/scripts/test-slapd
ldir=$tmp/ldap
mkdir "$ldir"
trap 'timeout 30 "$slapd" stop "$ldir" > /dev/null 2>&1 || true; cleanup' EXIT
adm() { timeout 30 "$bindir/orvadm" "$@"; }
users="joe ann kim"
processes=8

timeout 30 "$slapd" start "$ldir" o=internet o=isp > /dev/null || die "slapd did not start"
{
  printf 'dn: o=internet\nobjectClass: organization\no: internet\n\n'
  printf 'dn: dc=com,o=internet\nobjectClass: domain\ndc: com\n\n'
  printf 'dn: dc=example,dc=com,o=internet\nobjectClass: domain\nobjectClass: inetDomain\ndc: example\n'
  printf 'inetDomainBaseDN: o=example,o=isp\n\n'
  printf 'dn: o=isp\nobjectClass: organization\no: isp\n\n'
  printf 'dn: o=example,o=isp\nobjectClass: organization\no: example\n\n'
  for u in $users; do
    printf 'dn: uid=%s,o=example,o=isp\nobjectClass: inetOrgPerson\nobjectClass: corvaneMailUser\n' "$u"
    printf 'uid: %s\ncn: %s\nsn: %s\nmail: %s@example.com\nmailhost: mail.example.com\n' "$u" "$u" "$u" "$u"
    printf 'mailmessagestore: /var/store/second/\nmailquota: 3M\nmailmsgquota: 70\n\n'
  done
} > "$tmp/dir.ldif"
timeout 30 "$slapd" load "$ldir" "$tmp/dir.ldif" > /dev/null || die "loading the directory"

write_config "local.ugldaphost = 127.0.0.1" "local.ugldapport = $(cat "$ldir/port")" \
  "local.ugldapbinddn = $(cat "$ldir/rootdn")" "local.ugldapbindcred = $(cat "$ldir/rootpw")" \
  "local.ugldapconnecttimeout = 5" "local.ugldaptimeout = 5" \
  "service.dcroot = o=internet" "service.defaultdomain = example.com" \
  "local.hostname = mail.example.com" \
  'gen.newuserforms = Subject: Welcome$$Your mailbox is ready.$'
adm init > /dev/null || die "orvadm init"
start_stored
count_failures

for u in $users; do
  pids=()
  for i in $(seq 1 $processes); do
    adm user provision "$u" > "$tmp/out.$u.$i" 2>&1 &
    pids+=($!)
  done
  for i in $(seq 1 $processes); do
    st=0; wait "${pids[$((i - 1))]}" || st=$?
    [ $st = 0 ] || fail "provision $u, process $i: exit $st: $(cat "$tmp/out.$u.$i")"
  done
  indexes=$(find "$tmp/p1" "$tmp/p2" -name store.idx -path "*$u*" | wc -l)
  [ "$indexes" = 1 ] || fail "$u has $indexes folders on disk: $(find "$tmp/p1" "$tmp/p2" -path "*$u*" -name store.idx)"
  adm folder show "user/$u" > "$tmp/show" || { fail "no user/$u"; continue; }
  grep -q '^partition: *second$' "$tmp/show" || fail "user/$u not on second: $(cat "$tmp/show")"
  grep -q '^messages: *1$' "$tmp/show" || fail "user/$u should hold the one welcome message: $(cat "$tmp/show")"
  adm quota show "user/$u" | grep -q 'of 3072 KB, .* of 70 messages' || fail "$u's quota: $(adm quota show "user/$u")"
  adm check "user/$u" > "$tmp/check" 2>&1 || fail "check user/$u: $(cat "$tmp/check")"
done
finish "provision race e2e"
