#!/usr/bin/env bash
# A store with local.serveruser: the daemon started as root and then as the
# server user itself; with each, every program run as root and as that user
# (deliver, administer, back up, list and restore a volume).  Nothing in the
# store may end up belonging to root, and a daemon that finds a file of
# another owner refuses to start, naming it.  Needs root (to make a
# throw-away system user, removed at the end); skipped otherwise.
# Usage: serveruser_e2e.sh BINDIR (the build directory).
set -uo pipefail
bin=$1
bindir=$bin/tools
if [ "$(id -u)" != 0 ]; then
  echo "SKIP: needs root to create a throw-away server user"
  exit 77
fi
. "$(dirname "$0")/e2e_lib.sh"
count_failures

user=orvt$$
useradd -r -M -s /usr/sbin/nologin "$user" || die "useradd $user"
trap 'cleanup; userdel "$user" 2>/dev/null' EXIT
chmod 755 "$tmp"  # the server user must reach the store below it
write_config "local.serveruser = $user"
adm init > /dev/null || die "orvadm init"
mkdir "$tmp/out" && chown "$user" "$tmp/out"

# Every program is bounded, so a hang fails the test.
as_root() { timeout 60 "$@"; }
as_user() { timeout 60 setpriv --reuid="$user" --regid="$user" --init-groups "$@"; }
stored_pid() { sed -n 's/^ready \([0-9]*\)$/\1/p' "$tmp/store/session/stored.state" 2>/dev/null; }

# Everything a run of the programs as "who" must manage: the message
# arrives, the user's folders are saved, the volume lists, and the user
# comes back from it after being deleted.
clients_as() {
  local who=$1 run=as_$1 id=$2 st
  $run "$bin/tools/orvadm" user create "$id" > /dev/null || fail "$who: orvadm user create $id"
  printf 'Subject: from %s\n\nbody\n' "$who" | $run "$bin/tools/orvdeliver" "$id" ||
    fail "$who: orvdeliver $id ($?)"
  $run "$bin/backup/orvbackup" -f "$tmp/out/$id.bk" "/primary/user/$id" 2> "$tmp/err" ||
    fail "$who: orvbackup ($?): $(cat "$tmp/err")"
  $run "$bin/backup/orvrestore" -t -f "$tmp/out/$id.bk" > "$tmp/list" 2> "$tmp/err" ||
    fail "$who: orvrestore -t ($?): $(cat "$tmp/err")"
  grep -q "^/primary/user/$id/INBOX/1[[:space:]]" "$tmp/list" || fail "$who: message not in the volume"
  $run "$bin/tools/orvadm" user delete "$id" > /dev/null || fail "$who: orvadm user delete $id"
  st=0; $run "$bin/backup/orvrestore" -f "$tmp/out/$id.bk" "/primary/user/$id" > /dev/null 2> "$tmp/err" || st=$?
  [ $st = 0 ] || fail "$who: orvrestore ($st): $(cat "$tmp/err")"
  $run "$bin/tools/orvadm" folder show "user/$id" > "$tmp/show" || fail "$who: orvadm folder show"
  grep -q '^messages: *1$' "$tmp/show" || fail "$who: restored folder: $(cat "$tmp/show")"
}

for daemon in root user; do
  as_$daemon "$bin/tools/orvstored" 2> "$tmp/err" || die "orvstored as $daemon: $(cat "$tmp/err")"
  pid=$(stored_pid)
  [ -n "$pid" ] || die "no ready daemon after starting it as $daemon"
  [ "$(stat -c %U "$tmp/store/session/stored.state")" = "$user" ] || fail "state file of a daemon run as $daemon"
  for who in root user; do clients_as $who "$who$daemon"; done
  # Nothing may belong to root: the next run as the server user would fail.
  left=$(find "$tmp/store" "$tmp/p1" "$tmp/p2" ! -user "$user")
  [ -z "$left" ] || fail "daemon as $daemon: files not the server user's: $left"
  stop_stored || fail "orvstored (as $daemon) did not stop"
done

# A file left by an earlier run as root: the daemon names it and refuses.
touch "$tmp/store/session/stored.state"
chown root "$tmp/store/session/stored.state"
st=0; as_root "$bin/tools/orvstored" 2> "$tmp/err" || st=$?
[ $st = 77 ] || fail "root-owned state file: status $st, not 77"
grep -q "$tmp/store/session/stored.state belongs to root, not to $user" "$tmp/err" ||
  fail "root-owned state file not named: $(cat "$tmp/err")"
pid=$(stored_pid)
[ -z "$pid" ] || fail "a daemon started over a root-owned state file"

finish "server user e2e"
