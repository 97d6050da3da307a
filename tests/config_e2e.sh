#!/usr/bin/env bash
# Configuration faults as the programs meet them: binary junk, a directory
# named as the configuration, a file the store cannot run with (the daemon
# and "orvadm config" must agree), a program started with standard error
# closed, and the target file of a backup that fails.
# Usage: config_e2e.sh BINDIR (the build directory).
set -uo pipefail
bin=$1
bindir=$bin/tools
. "$(dirname "$0")/e2e_lib.sh"
count_failures
stored() { timeout 60 "$bin/tools/orvstored" "$@"; }
backup() { timeout 60 "$bin/backup/orvbackup" "$@"; }

# Both must refuse the configuration with status 78 and say why ($1).
both_refuse() {
  local why=$1 st
  st=0; adm config > /dev/null 2> "$tmp/err" || st=$?
  [ $st = 78 ] || fail "$why: orvadm config status $st"
  grep -qF "$why" "$tmp/err" || fail "orvadm config does not say \"$why\": $(cat "$tmp/err")"
  st=0; stored 2> "$tmp/err" || st=$?
  [ $st = 78 ] || fail "$why: orvstored status $st"
  grep -qF "$why" "$tmp/err" || fail "orvstored does not say \"$why\": $(cat "$tmp/err")"
  if [ -e "$tmp/store/session/stored.state" ]; then
    fail "$why: orvstored started"
    pid=$(sed -n 's/.* //p' "$tmp/store/session/stored.state")
    stop_stored
  fi
}

write_config
printf 'local.log.level = 6\n\001\177\377junk = \002\n' >> "$ORV_CONFIG"
both_refuse "c.conf:5: binary data (byte 0x01 at column 1)"

ORV_CONFIG=$tmp both_refuse "$tmp: cannot read configuration: it is a directory"

cat > "$ORV_CONFIG" <<CONF
local.store.dir = $tmp/store
CONF
both_refuse "The configuration names no partition (store.partition.NAME.path)"

write_config "local.serveruser = no-such-user-e2e"
both_refuse "The server user no-such-user-e2e does not exist (local.serveruser)"

# A failed backup (no daemon yet) removes the file it made, and only that.
write_config
adm init > /dev/null || die "orvadm init"
st=0; backup -f "$tmp/new.bk" / 2> "$tmp/err" || st=$?
[ $st = 75 ] || fail "backup without a daemon: status $st, not 75"
[ ! -e "$tmp/new.bk" ] || fail "the failed backup left $tmp/new.bk"
grep -qF "Removed the incomplete backup file $tmp/new.bk" "$tmp/err" || fail "no word of the removal: $(cat "$tmp/err")"
echo "an earlier volume" > "$tmp/old.bk"
st=0; backup -f "$tmp/old.bk" / 2> "$tmp/err" || st=$?
[ $st = 75 ] || fail "backup over a file without a daemon: status $st"
[ -f "$tmp/old.bk" ] || fail "a file the backup did not make was removed"
grep -qF "The backup in $tmp/old.bk is incomplete" "$tmp/err" || fail "old.bk not said incomplete: $(cat "$tmp/err")"
mkfifo "$tmp/fifo"
st=0; backup -f "$tmp/fifo" / 2> "$tmp/err" || st=$?
[ -p "$tmp/fifo" ] || fail "a failed backup removed the special file it wrote to"
start_stored
st=0; backup -f "$tmp/bad.bk" /nopartition 2> "$tmp/err" || st=$?
[ $st = 79 ] || fail "backup of a missing name: status $st, not 79"
[ ! -e "$tmp/bad.bk" ] || fail "the backup of a missing name left its file"
backup -f "$tmp/good.bk" / 2> "$tmp/err" || fail "backup of the store: $(cat "$tmp/err")"
[ -s "$tmp/good.bk" ] || fail "a successful backup lost its file"

# Standard error closed: the log file opened next must not take its place,
# or the command's messages end up in the log as lines of their own.
adm folder show user/nobody > /dev/null 2>&-
bad=$(grep -v '^[0-9-]*T[0-9:]*Z orvadm\[' "$tmp/store/log/admin.log")
[ -z "$bad" ] || fail "orvadm wrote to its log file as standard error: $bad"

finish "config e2e"
