#!/usr/bin/env bash
# cmake --install into a temporary prefix, then the README's first session
# run from that prefix alone: the installed example configuration (its paths
# moved into the test directory) makes the instance, orvstored starts, a
# user is made, a message delivered and fetched over POP3 with poplib, and
# the daemon stopped.  Also: every program has its man page, the units name
# the installed programs, and no installed program looks for anything in
# the build tree.
# Usage: install_e2e.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
bindir=/nonexistent
. "$(dirname "$0")/e2e_lib.sh"
prefix=$tmp/prefix
timeout 120 cmake --install "$build" --prefix "$prefix" > "$tmp/install.log" || die "cmake --install: $(tail "$tmp/install.log")"
bindir=$prefix/sbin

# What was installed, and where.
for p in orvstored orvadm orvdeliver orvbackup orvrestore orvpopd orvconnutil orvdaaci; do
  [ -x "$bindir/$p" ] || die "no $p in $bindir"
  [ -f "$prefix/share/man/man8/$p.8" ] || die "no man page for $p"
done
for f in share/man/man5/corvane.conf.5 share/doc/corvane/corvane.conf.example share/corvane/corvane.schema \
  share/doc/corvane/logrotate.corvane lib/systemd/system/orvstored.service lib/systemd/system/orvpopd.service; do
  [ -f "$prefix/$f" ] || die "not installed: $f"
done
for unit in "$prefix"/lib/systemd/system/*.service; do
  exe=$(sed -n 's/^ExecStart=\([^ ]*\).*/\1/p' "$unit")
  [ -x "$exe" ] && [ "${exe#"$prefix"/sbin/}" != "$exe" ] || die "$unit starts $exe, not a program of $prefix/sbin"
done
# A program must not find its libraries (or anything else) through the
# build tree: no run path may point there.
for p in "$bindir"/*; do
  if readelf -d "$p" | grep -E 'R(UN)?PATH' | grep -qF "$build"; then die "$p has a run path into $build"; fi
done

# The configuration: the installed example, with its directories moved
# under $tmp; no server user (the test may not be root), POP3 without TLS
# and with a sasldb password.
command -v saslpasswd2 > /dev/null || { echo "SKIP: saslpasswd2 (sasl2-bin) missing"; exit 77; }
sed -e "s#/var/lib/corvane#$tmp/var#g" -e "s#/var/log/corvane#$tmp/log#g" -e '/^local.serveruser/d' \
  "$prefix/share/doc/corvane/corvane.conf.example" > "$ORV_CONFIG"
grep -q "^local.store.dir = $tmp/var/store\$" "$ORV_CONFIG" || die "the example sets no store directory"
echo secret | saslpasswd2 -c -p -f "$tmp/sasldb" -u example.com joe
cat >> "$ORV_CONFIG" <<CONF
sasl.pop.sasldb_path = $tmp/sasldb
service.defaultdomain = example.com
service.pop.sslusessl = off
CONF
mkdir -p "$tmp/var/tmp"
count_failures

# The README's first session.
adm init > /dev/null || fail "orvadm init"
timeout 60 "$bindir/orvstored" || die "orvstored did not start"
adm status > "$tmp/out" || die "daemon not ready"
pid=$(sed -n 's/.*pid \([0-9]*\).*/\1/p' "$tmp/out")
adm user create joe --quota 102400 > /dev/null || fail "user create"
adm folder create user/joe/Drafts > /dev/null || fail "folder create"
adm acl set user/joe/Drafts anne lrs > /dev/null || fail "acl set"
adm list joe | grep -q "Drafts" || fail "list joe shows no Drafts"
printf 'From: ann@example.com\nTo: joe@example.com\nSubject: installed\n\nHello from the prefix.\n' |
  timeout 60 "$bindir/orvdeliver" joe || fail "orvdeliver"
adm check user/joe > "$tmp/check" || fail "check: $(cat "$tmp/check")"
timeout 60 "$bindir/orvbackup" -f "$tmp/store.bk" / > /dev/null 2>&1 || fail "orvbackup"
timeout 60 "$bindir/orvrestore" -t -f "$tmp/store.bk" | grep -q "joe" || fail "orvrestore -t lists no joe"

# POP3 from the installed orvpopd.
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
timeout 120 "$bindir/orvpopd" -a 127.0.0.1 -p "$port" > "$tmp/popd.out" 2>&1 &
popd_pid=$!
for _ in $(seq 1 100); do grep -q "^ready" "$tmp/var/store/session/popd.state" 2>/dev/null && break; sleep 0.1; done
grep -q "^ready" "$tmp/var/store/session/popd.state" || fail "orvpopd not ready: $(cat "$tmp/popd.out")"
timeout 30 python3 - "$port" <<'PY' || fail "POP3 fetch"
import poplib, sys
pop = poplib.POP3("127.0.0.1", int(sys.argv[1]), timeout=10)
pop.user("joe")
pop.pass_("secret")
count, size = pop.stat()
assert count == 1, f"{count} messages"
lines = pop.retr(1)[1]
assert b"Subject: installed" in lines, lines
assert b"Hello from the prefix." in lines, lines
pop.quit()
PY
kill -TERM "$popd_pid"
wait "$popd_pid" || fail "orvpopd ended with $?"

kill -TERM "$pid"
for _ in $(seq 1 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$pid" 2>/dev/null && fail "orvstored still runs after SIGTERM"
pid=""
finish install_e2e
