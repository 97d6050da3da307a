#!/usr/bin/env bash
# LMTP delivery rate: starts a scratch store and orvlmtpd on a Unix socket,
# makes USERS users, and runs lmtp_bench (8 connections against 8 workers
# starting orvdeliver once per message, alternately, same store, same sync
# settings).
#
# Usage: bench/lmtp_bench.sh BUILD_DIR [MESSAGES [ROUNDS [SYNCLEVEL]]]
#   MESSAGES per round and method (default 2000), ROUNDS (default 3),
#   SYNCLEVEL local.store.synclevel of the store (default: the store's own
#   default; 0 = no syncing).
# DOVECOT=1 also runs Dovecot's LMTP server in each round (a throw-away
# instance under the same temporary directory: Maildir, users from a
# passwd-file, mail_fsync = never with SYNCLEVEL 0, else its default); it
# installs dovecot-lmtpd from the distribution when missing, so it is never
# run by CI.
# Use a build without sanitizers: their start-up cost inflates orvdeliver's
# times and their allocators slow the server.
set -euo pipefail
# shellcheck source=bench/peer_lib.sh
. "$(dirname "$0")/peer_lib.sh"
build=$(cd "${1:?usage: lmtp_bench.sh BUILD_DIR [MESSAGES [ROUNDS [SYNCLEVEL]]]}" && pwd)
messages=${2:-2000}
rounds=${3:-3}
sync=${4:-}
lmtpd=$build/lmtp/orvlmtpd
bench=$build/bench/lmtp_bench
for p in "$build/tools/orvstored" "$build/tools/orvadm" "$build/tools/orvdeliver" "$lmtpd" "$bench"; do
  [ -x "$p" ] || { echo "lmtp_bench.sh: no $p" >&2; exit 1; }
done
if ldd "$lmtpd" 2>/dev/null | grep -q 'lib[at]san'; then
  echo "warning: $lmtpd is built with a sanitizer; figures are not representative" >&2
fi

tmp=$(mktemp -d)
lmtpd_pid=""
stored_pid=""
dc_pid=""
# shellcheck disable=SC2317  # run by the trap
cleanup() {
  for pid in "$dc_pid" "$lmtpd_pid" "$stored_pid"; do
    [ -n "$pid" ] || continue
    kill -TERM "$pid" 2>/dev/null || true
    for _ in $(seq 1 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$pid" 2>/dev/null || true
  done
  rm -rf "$tmp"
}
trap cleanup EXIT

export ORV_CONFIG=$tmp/c.conf
{
  echo "local.store.dir = $tmp/store"
  echo "store.partition.primary.path = $tmp/p1"
  echo "local.log.target = stderr"
  echo "local.hostname = bench.test"
  [ -z "$sync" ] || echo "local.store.synclevel = $sync"
} > "$ORV_CONFIG"

"$build/tools/orvstored" 2> "$tmp/stored.log" || { cat "$tmp/stored.log" >&2; exit 1; }
stored_pid=$("$build/tools/orvadm" status | sed -n 's/.*pid \([0-9]*\).*/\1/p')
users=()
for i in $(seq 1 16); do
  "$build/tools/orvadm" user create "b$i" > /dev/null
  users+=("b$i")
done

"$lmtpd" -s "$tmp/lmtp" 2> "$tmp/lmtpd.log" &
lmtpd_pid=$!
for _ in $(seq 1 600); do
  grep -q '^ready' "$tmp/store/session/lmtpd.state" 2>/dev/null && break
  kill -0 "$lmtpd_pid" 2>/dev/null || { echo "orvlmtpd ended:" >&2; cat "$tmp/lmtpd.log" >&2; exit 1; }
  sleep 0.1
done

peer=()
if [ -n "${DOVECOT:-}" ]; then
  if ! [ -x /usr/lib/dovecot/lmtp ]; then
    install_dovecot_package dovecot-lmtpd
  fi
  chmod 755 "$tmp"  # Dovecot's unprivileged processes walk into it
  dc=$tmp/dc
  mkdir -p "$dc/mail" "$dc/home"
  if [ "$(id -u)" = 0 ]; then
    mail_uid=$(id -u nobody); mail_gid=$(id -g nobody); run_users=""
    chown "$mail_uid:$mail_gid" "$dc/mail" "$dc/home"
  else
    mail_uid=$(id -u); mail_gid=$(id -g)
    run_users="default_internal_user = $(id -un)
default_login_user = $(id -un)
default_internal_group = $(id -gn)"
  fi
  for u in "${users[@]}"; do echo "$u::$mail_uid:$mail_gid::$dc/home/$u::"; done > "$dc/passwd"
  fsync=optimized
  [ "$sync" != 0 ] || fsync=never
  cat > "$dc/dovecot.conf" <<CONF
base_dir = $dc/run
state_dir = $dc/state
instance_name = dovecot-lmtp-bench
log_path = $dc/dovecot.log
protocols = lmtp
listen = 127.0.0.1
ssl = no
mail_location = maildir:$dc/mail/%u
mail_fsync = $fsync
first_valid_uid = $mail_uid
auth_username_format = %Ln
$run_users
passdb {
  driver = passwd-file
  args = $dc/passwd
}
userdb {
  driver = passwd-file
  args = $dc/passwd
}
service lmtp {
  unix_listener lmtp {
    mode = 0666
  }
  process_min_avail = 2
}
CONF
  dovecot -c "$dc/dovecot.conf" -F 2> "$dc/dovecot.err" &
  dc_pid=$!
  for _ in $(seq 1 300); do [ -S "$dc/run/lmtp" ] && break; sleep 0.1; done
  [ -S "$dc/run/lmtp" ] || { echo "Dovecot did not start" >&2; cat "$dc/dovecot.err" "$dc/dovecot.log" >&2; exit 1; }
  peer=(-S "$dc/run/lmtp")
  echo "peer: Dovecot $(dovecot --version) LMTP, mail_fsync = $fsync"
fi

echo "orvlmtpd vs orvdeliver, $(nproc) CPUs, $(uname -r), synclevel ${sync:-default}"
IFS=,
"$bench" -s "$tmp/lmtp" -D "$build/tools/orvdeliver" -u "${users[*]}" -n "$messages" -r "$rounds" "${peer[@]}"
