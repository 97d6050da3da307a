#!/usr/bin/env bash
# POP3 session rate and idle footprint: starts a scratch store and orvpopd
# (two processes, on 127.0.0.1 only), runs pop3_bench at 1, 8 and 64
# concurrent clients for greeting+QUIT and greeting+CAPA+QUIT, then holds
# IDLE idle sessions and reports the server's memory per session.
#
# Usage: bench/pop3_bench.sh BUILD_DIR [SECONDS [IDLE [CSV_FILE]]]
#   SECONDS  length of each point (default 10)
#   IDLE     idle sessions to open (default 10000)
#   CSV_FILE where the raw CSV lines go as well
# SERVER_CPUS=0-1 pins the server's processes with taskset.  Use a build
# without sanitizers: their allocators make CPU and memory figures
# meaningless.  The client runs on the same machine and its CPU is not
# counted; on two cores it competes with the server, so read the rates as
# a lower bound.
set -euo pipefail
build=$(cd "${1:?usage: pop3_bench.sh BUILD_DIR [SECONDS [IDLE [CSV_FILE]]]}" && pwd)
secs=${2:-10}
idle=${3:-10000}
csv=${4:-}
popd_bin=$build/pop/orvpopd
bench=$build/bench/pop3_bench
for p in "$build/tools/orvstored" "$build/tools/orvadm" "$popd_bin" "$bench"; do
  [ -x "$p" ] || { echo "pop3_bench.sh: no $p" >&2; exit 1; }
done
if ldd "$popd_bin" 2>/dev/null | grep -q 'lib[at]san'; then
  echo "warning: $popd_bin is built with a sanitizer; figures are not representative" >&2
fi

# Descriptors for the idle sessions on both sides (root may raise the hard
# limit; otherwise take what the hard limit allows).
want=$((idle + 1000))
ulimit -n "$((want > 65536 ? want : 65536))" 2>/dev/null || ulimit -n "$(ulimit -Hn)"

tmp=$(mktemp -d)
popd_pid=""
stored_pid=""
# shellcheck disable=SC2317  # run by the trap
cleanup() {
  if [ -n "$popd_pid" ] && kill -0 "$popd_pid" 2>/dev/null; then
    kill -TERM "$popd_pid" 2>/dev/null || true
    for _ in $(seq 1 100); do kill -0 "$popd_pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$popd_pid" 2>/dev/null || true
  fi
  if [ -n "$stored_pid" ]; then
    kill -TERM "$stored_pid" 2>/dev/null || true
    for _ in $(seq 1 100); do kill -0 "$stored_pid" 2>/dev/null || break; sleep 0.1; done
  fi
  rm -rf "$tmp"
}
trap cleanup EXIT

port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
export ORV_CONFIG=$tmp/c.conf
cat > "$ORV_CONFIG" <<CONF
local.store.dir = $tmp/store
store.partition.primary.path = $tmp/p1
local.store.synclevel = 0
local.log.target = stderr
local.hostname = bench.test
service.pop.numprocesses = 2
service.pop.maxsessions = $((idle > 1000 ? idle : 1000))
service.pop.sslusessl = off
service.pop.enablesslport = off
CONF

"$build/tools/orvstored" 2> "$tmp/stored.log" || { cat "$tmp/stored.log" >&2; exit 1; }
stored_pid=$("$build/tools/orvadm" status | sed -n 's/.*pid \([0-9]*\).*/\1/p')

pin=()
if [ -n "${SERVER_CPUS:-}" ]; then pin=(taskset -c "$SERVER_CPUS"); fi
"${pin[@]}" "$popd_bin" -a 127.0.0.1 -p "$port" 2> "$tmp/popd.log" &
popd_pid=$!
state=$tmp/store/session/popd.state
for _ in $(seq 1 600); do
  grep -q '^ready' "$state" 2>/dev/null && break
  kill -0 "$popd_pid" 2>/dev/null || { echo "orvpopd ended:" >&2; cat "$tmp/popd.log" >&2; exit 1; }
  sleep 0.1
done
grep -q '^ready' "$state" 2>/dev/null || { echo "orvpopd not ready in 60 s" >&2; exit 1; }

echo "orvpopd, 2 processes, $(nproc) CPUs ($(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')), $(uname -r), ${secs} s per point"
printf '%-20s %6s %9s %8s %8s %8s %10s %8s\n' work clients sessions "sess/s" "p50 ms" "p99 ms" "srv us/ses" failed
status=0
csv_args=()
if [ -n "$csv" ]; then csv_args=(--csv "$csv"); fi
for flags in "-n" ""; do
  for c in 1 8 64; do
    threads=$((c == 1 ? 1 : 2))
    # shellcheck disable=SC2086
    "$bench" -p "$port" -c "$c" -j "$threads" -t "$secs" -P "$popd_pid" $flags "${csv_args[@]}" || status=1
  done
done
"$bench" -p "$port" -i "$idle" -P "$popd_pid" "${csv_args[@]}" || status=1
exit $status
