# Shared by the benchmark scripts that run a peer server beside ours.
# Source it: . "$(dirname "$0")/peer_lib.sh"

# install_dovecot_package PKG: installs PKG from the distribution.  The
# package starts the system's Dovecot service; unless one was running
# before, it is stopped again, so the benchmark's own instances are alone.
install_dovecot_package() {
  local was_running=no
  if pgrep -x dovecot > /dev/null; then was_running=yes; fi
  echo "installing $1" >&2
  DEBIAN_FRONTEND=noninteractive apt-get install -y "$1" > /dev/null
  if [ "$was_running" = no ] && pgrep -x dovecot > /dev/null; then
    systemctl stop dovecot 2>/dev/null || service dovecot stop 2>/dev/null || true
  fi
}

# stop_pid PID: SIGTERM, up to 10 s, then SIGKILL.  Nothing for an empty PID.
# shellcheck disable=SC2317  # also run by the scripts' exit traps
stop_pid() {
  local pid=$1
  [ -n "$pid" ] || return 0
  kill -TERM "$pid" 2>/dev/null || return 0
  for _ in $(seq 1 100); do kill -0 "$pid" 2>/dev/null || return 0; sleep 0.1; done
  kill -KILL "$pid" 2>/dev/null || true
}
