#!/usr/bin/env bash
# scripts/package on the built tree: the .deb lists the programs, man pages,
# units, configuration and logrotate file where Debian expects them, marks
# the configuration files as conffiles, depends on the libraries' packages,
# and its programs run from a throw-away root (with the host's libraries).
# Usage: package_e2e.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
src=$(cd "$2" && pwd)
command -v dpkg-deb > /dev/null || { echo "SKIP: dpkg-deb missing"; exit 77; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fails=0
fail() { echo "FAIL: $*" >&2; fails=$((fails + 1)); }

deb=$(timeout 500 "$src/scripts/package" --build-dir "$build" --out "$tmp/out" --compression none) || { echo "scripts/package failed"; exit 1; }
[ -f "$deb" ] || { echo "FAIL: no package at '$deb'"; exit 1; }
dpkg-deb -c "$deb" | awk '{print $6}' | sed 's#^\./#/#' > "$tmp/list"
for f in /usr/sbin/orvstored /usr/sbin/orvadm /usr/sbin/orvdeliver /usr/sbin/orvbackup /usr/sbin/orvrestore \
  /usr/sbin/orvpopd /usr/sbin/orvconnutil /usr/sbin/orvdaaci \
  /usr/share/man/man8/orvstored.8.gz /usr/share/man/man5/corvane.conf.5.gz \
  /lib/systemd/system/orvstored.service /lib/systemd/system/orvpopd.service \
  /etc/corvane/corvane.conf /etc/logrotate.d/corvane /usr/share/doc/corvane/corvane.conf.example \
  /usr/share/corvane/corvane.schema; do
  grep -qx "$f" "$tmp/list" || fail "$f is not in the package"
done
# Nothing of the build or source tree, and no store data, in the package.
if grep -E "^/(var|home|tmp|work)/" "$tmp/list"; then fail "files outside the system paths"; fi
dpkg-deb -f "$deb" Package | grep -qx corvane || fail "package name"
dpkg-deb -f "$deb" Depends | grep -q "libdb5.3" || fail "no dependency on libdb5.3: $(dpkg-deb -f "$deb" Depends)"
# The directory client library is opened at run time by the store's
# programs; orvdaaci links it, which keeps it among the dependencies.
dpkg-deb -f "$deb" Depends | grep -q "libldap" || fail "no dependency on libldap: $(dpkg-deb -f "$deb" Depends)"
dpkg-deb -e "$deb" "$tmp/control"
for f in /etc/corvane/corvane.conf /etc/logrotate.d/corvane; do
  grep -qx "$f" "$tmp/control/conffiles" || fail "$f is not a conffile"
done
for s in postinst prerm postrm; do
  [ -x "$tmp/control/$s" ] || fail "no executable $s"
  sh -n "$tmp/control/$s" || fail "$s does not parse"
done
# The units in the package start the programs where the package puts them.
dpkg-deb -x "$deb" "$tmp/root"
grep -q "^ExecStart=/usr/sbin/orvstored -f" "$tmp/root/lib/systemd/system/orvstored.service" ||
  fail "orvstored.service: $(grep ExecStart "$tmp/root/lib/systemd/system/orvstored.service")"
# Programs run from the throw-away root.
out=$(timeout 30 "$tmp/root/usr/sbin/orvadm" --help) || fail "orvadm --help from the package exited $?"
echo "$out" | grep -q "^Usage: orvadm" || fail "orvadm --help printed: $out"
# The packaged configuration is one the programs accept.
ORV_CONFIG=$tmp/root/etc/corvane/corvane.conf timeout 30 "$tmp/root/usr/sbin/orvadm" config > "$tmp/config" 2>&1 || true
if grep -qi "line [0-9]" "$tmp/config" || grep -q ":[0-9]*: " "$tmp/config"; then
  fail "the packaged configuration does not parse: $(cat "$tmp/config")"
fi
if [ "$fails" -gt 0 ]; then echo "package_e2e: $fails failed" >&2; exit 1; fi
echo "package_e2e: all passed"
