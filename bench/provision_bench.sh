#!/usr/bin/env bash
# First deliveries of new directory users against deliveries to existing
# users, in one run: starts a throw-away slapd (scripts/test-slapd) holding
# N new users and BATCH existing ones, a scratch store and its daemon, then
# runs provision_bench, which alternates batches of the two kinds and
# prints both rates and their ratio.  Everything listens on 127.0.0.1 only
# and is stopped at the end.
#
# Usage: bench/provision_bench.sh BUILD_DIR [N [BATCH]]   (default 1000 100)
# Use a build without sanitizers for figures worth comparing with others;
# the ratio holds either way.
set -euo pipefail
build=$(cd "${1:?usage: provision_bench.sh BUILD_DIR [N [BATCH]]}" && pwd)
n=${2:-1000}
batch=${3:-100}
top=$(cd "$(dirname "$0")/.." && pwd)
slapd=$top/scripts/test-slapd
bench=$build/bench/provision_bench
for p in "$build/tools/orvstored" "$build/tools/orvadm" "$bench"; do
  [ -x "$p" ] || { echo "provision_bench.sh: no $p" >&2; exit 1; }
done
[ -x /usr/sbin/slapd ] || { echo "provision_bench.sh: slapd is not installed" >&2; exit 1; }
if ldd "$bench" 2>/dev/null | grep -q 'lib[at]san'; then
  echo "warning: $bench is built with a sanitizer; the rates are low, the ratio still tells" >&2
fi

tmp=$(mktemp -d)
stored_pid=""
# shellcheck disable=SC2317  # run by the trap
cleanup() {
  if [ -n "$stored_pid" ]; then
    kill -TERM "$stored_pid" 2>/dev/null || true
    for _ in $(seq 1 100); do kill -0 "$stored_pid" 2>/dev/null || break; sleep 0.1; done
  fi
  timeout 30 "$slapd" stop "$tmp/ldap" > /dev/null 2>&1 || true
  rm -rf "$tmp"
}
trap cleanup EXIT

mkdir "$tmp/ldap"
timeout 30 "$slapd" start "$tmp/ldap" o=internet o=isp > /dev/null
user() {
  printf 'dn: uid=%s,o=example,o=isp\nobjectClass: inetOrgPerson\nobjectClass: corvaneMailUser\n' "$1"
  printf 'uid: %s\ncn: %s\nsn: %s\nmail: %s@example.com\nmailhost: bench.test\nmailquota: 10M\nmailmsgquota: 10000\n\n' \
    "$1" "$1" "$1" "$1"
}
{
  printf 'dn: o=internet\nobjectClass: organization\no: internet\n\n'
  printf 'dn: dc=com,o=internet\nobjectClass: domain\ndc: com\n\n'
  printf 'dn: dc=example,dc=com,o=internet\nobjectClass: domain\nobjectClass: inetDomain\ndc: example\n'
  printf 'inetDomainBaseDN: o=example,o=isp\n\n'
  printf 'dn: o=isp\nobjectClass: organization\no: isp\n\n'
  printf 'dn: o=example,o=isp\nobjectClass: organization\no: example\n\n'
  for i in $(seq 0 $((n - 1))); do user "new$i"; done
  for i in $(seq 0 $((batch - 1))); do user "old$i"; done
} > "$tmp/dir.ldif"
timeout 300 "$slapd" load "$tmp/ldap" "$tmp/dir.ldif" > /dev/null

export ORV_CONFIG=$tmp/c.conf
cat > "$ORV_CONFIG" <<CONF
local.store.dir = $tmp/store
store.partition.primary.path = $tmp/p1
local.store.synclevel = 0
local.log.target = stderr
local.log.level = 4
local.hostname = bench.test
local.ugldaphost = 127.0.0.1
local.ugldapport = $(cat "$tmp/ldap/port")
local.ugldapbinddn = $(cat "$tmp/ldap/rootdn")
local.ugldapbindcred = $(cat "$tmp/ldap/rootpw")
service.dcroot = o=internet
service.defaultdomain = example.com
gen.newuserforms = Subject: Welcome\$\$Your mailbox is ready.\$
CONF
"$build/tools/orvadm" init > /dev/null
"$build/tools/orvstored" 2> "$tmp/stored.log" || { cat "$tmp/stored.log" >&2; exit 1; }
stored_pid=$("$build/tools/orvadm" status | sed -n 's/.*pid \([0-9]*\).*/\1/p')

echo "provision_bench: $n first deliveries against $n to existing users, batches of $batch," \
  "$(nproc) CPUs, $(uname -r)"
timeout 1800 "$bench" "$n" "$batch"
