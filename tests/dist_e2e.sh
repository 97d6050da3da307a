#!/usr/bin/env bash
# The checkers of what an installation ships: every man page formats
# without a warning (groff -ww), the systemd units as installed pass
# systemd-analyze verify, and logrotate accepts the rotation file.  A
# checker that is not installed is skipped with a message (status 77 when
# all are).
# Usage: dist_e2e.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
src=$(cd "$2" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fails=0
ran=0
fail() { echo "FAIL: $*" >&2; fails=$((fails + 1)); }

# Every page of the source tree (orvlmtpd's too, whether or not the program
# is built).
if command -v groff > /dev/null; then
  ran=$((ran + 1))
  n=0
  for page in "$src"/dist/man/*.[58]; do
    out=$(LC_ALL=C.UTF-8 groff -ww -man -Tutf8 -z "$page" 2>&1) || fail "groff failed on $page"
    [ -z "$out" ] || fail "$(basename "$page"): $out"
    # Each page has the sections admins look for.
    sects=(NAME SYNOPSIS DESCRIPTION EXAMPLES)
    case "$page" in *.8) sects+=("EXIT STATUS") ;; esac
    for sect in "${sects[@]}"; do
      grep -q "^\.SH $sect" "$page" || fail "$(basename "$page") has no $sect section"
    done
    n=$((n + 1))
  done
  [ "$n" -ge 10 ] || fail "only $n man pages"
else
  echo "SKIP: groff missing, man pages not checked"
fi

prefix=$tmp/prefix
timeout 120 cmake --install "$build" --prefix "$prefix" > "$tmp/install.log" || { cat "$tmp/install.log"; exit 1; }
if command -v systemd-analyze > /dev/null; then
  ran=$((ran + 1))
  units=("$prefix"/lib/systemd/system/*.service)
  [ "${#units[@]}" -ge 2 ] || fail "units installed: ${units[*]}"
  # The units name each other (Requires=orvstored.service): verify finds
  # them through the unit path.
  # Documentation= is checked with man(1): the installed pages must be found.
  out=$(MANPATH="$prefix/share/man" SYSTEMD_UNIT_PATH="$prefix/lib/systemd/system:" timeout 60 systemd-analyze verify "${units[@]}" 2>&1) ||
    fail "systemd-analyze verify: $out"
  # Warnings are printed but do not fail verify; our units have none.
  if [ -n "$out" ]; then fail "systemd-analyze verify warns: $out"; fi
  for u in "${units[@]}"; do
    grep -q "^ProtectSystem=strict" "$u" && grep -q "^NoNewPrivileges=yes" "$u" && grep -q "^PrivateTmp=yes" "$u" ||
      fail "$(basename "$u") is not sandboxed"
  done
  grep -q "^Type=notify" "$prefix/lib/systemd/system/orvstored.service" || fail "orvstored.service does not wait for readiness"
else
  echo "SKIP: systemd-analyze missing, units not checked"
fi

if command -v logrotate > /dev/null; then
  ran=$((ran + 1))
  # Debug mode reads and checks the file and changes nothing.  The file
  # names the package's user, which a test machine may not have.
  conf=$tmp/logrotate.conf
  cp "$prefix/share/doc/corvane/logrotate.corvane" "$conf"
  getent passwd corvane > /dev/null || sed -i "s/ corvane corvane\$/ $(id -un) $(id -gn)/" "$conf"
  out=$(timeout 30 logrotate -d -s "$tmp/state" "$conf" 2>&1) || fail "logrotate -d: $out"
  if echo "$out" | grep -qi "^error"; then fail "logrotate: $out"; fi
else
  echo "SKIP: logrotate missing, the rotation file not checked"
fi

[ "$ran" -gt 0 ] || exit 77
if [ "$fails" -gt 0 ]; then echo "dist_e2e: $fails failed" >&2; exit 1; fi
echo "dist_e2e: all passed"
