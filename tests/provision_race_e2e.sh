#!/usr/bin/env bash
# The first use of an account from several processes at once: eight
# `orvadm user provision` of one directory user started together all exit 0
# and leave one INBOX on the partition the entry names, the directory's
# quotas and exactly one welcome message.  Three users, one after the other.
set -euo pipefail
bindir=$1
[ -x /usr/sbin/slapd ] && command -v ldapmodify > /dev/null || { echo "slapd or ldap-utils missing: skipped"; exit 77; }
. "$(dirname "$0")/e2e_lib.sh"
adm() { timeout 30 "$bindir/orvadm" "$@"; }
users="joe ann kim"
processes=8

{
  for u in $users; do
    printf 'dn: uid=%s,o=example,o=isp\nobjectClass: inetOrgPerson\nobjectClass: corvaneMailUser\n' "$u"
    printf 'uid: %s\ncn: %s\nsn: %s\nmail: %s@example.com\nmailhost: mail.example.com\n' "$u" "$u" "$u" "$u"
    printf 'mailmessagestore: /var/store/second/\nmailquota: 3M\nmailmsgquota: 70\n\n'
  done
} > "$tmp/dir.ldif"
start_directory "$tmp/dir.ldif"

write_config "${directory_config[@]}" \
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
