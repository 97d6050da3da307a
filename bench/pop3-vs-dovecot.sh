#!/usr/bin/env bash
# orvpopd against Dovecot 2.3 on the same machine, in one run: logins/s,
# RETR throughput, DELE-all+QUIT of 10,000 messages and a 100,000-message
# maildrop, each with the server's CPU per operation.  Never run by CI: it
# installs Dovecot from the distribution when missing (apt-get install -y
# dovecot-pop3d) and stops a system instance that the installation started.
#
# Everything runs under one temporary directory and listens on 127.0.0.1
# only: a scratch store with orvstored and orvpopd (2 processes), and two
# throw-away Dovecot instances with private configurations (base_dir there,
# Maildir there, passdb/userdb passwd-file with PLAIN passwords, ssl=no):
#   dc-tuned    login processes kept and reused (service_count=0,
#               process_min_avail=2, one per core), pop3 processes reused,
#               authentication cache on
#   dc-default  the built-in service defaults (a new login process per
#               connection and a new pop3 process per login)
# Both stores hold the same users (sasldb and passwd-file, same passwords)
# and the same messages (bench/pop3_fill: our delivery call in one process,
# and Maildir files as a delivery agent writes them, indexed by doveadm
# before use).  No sync on either side (local.store.synclevel = 0,
# mail_fsync = never).  Every point runs PAIRS times, alternating
# orvpopd / dc-tuned / dc-default, and the table gives the medians and
# the ratio ours/peer.  Server CPU is that of every server process (for
# Dovecot the master and all its children, with those that ended; for ours
# orvpopd's processes and orvstored) from /proc.
#
# Usage: bench/pop3-vs-dovecot.sh BUILD_DIR [SECONDS [PAIRS [BIG]]]
#   SECONDS  length of each rate point (default 5)
#   PAIRS    alternations per point (default 3)
#   BIG      messages in the big maildrop (default 100000; 0 skips it)
# MODES="login retr dele big" (the default) picks the parts to run; add
# "retr-tls" and "login-tls" for the same RETR and USER/PASS login points
# over implicit TLS (TLS 1.3, a full handshake per session, NSS in the
# client; the negotiated parameters are printed once per server).  For
# them orvpopd also listens on a TLS port (service.pop.enablesslport, an
# NSS database with an EC P-256 certificate made by
# tests/pop3/make_nssdb.sh), and two more Dovecot instances, dc-tuned-tls
# and dc-default-tls (the same settings, reported as dc-tuned and
# dc-default), have ssl = required, only a pop3s listener, and that
# certificate and key exported to PEM (pk12util, openssl).  The plain
# instances keep ssl = no, so the plain points are the same as without TLS.
# SERVER_CPUS=0-1 pins every server process with taskset (the client then
# belongs elsewhere); CSV=FILE keeps the raw lines.  Use a Release build
# without sanitizers.  The client shares the machine; on 2 cores the rates
# are lower bounds for both servers alike.
set -euo pipefail
# shellcheck source=bench/peer_lib.sh
. "$(dirname "$0")/peer_lib.sh"
build=$(cd "${1:?usage: pop3-vs-dovecot.sh BUILD_DIR [SECONDS [PAIRS [BIG]]]}" && pwd)
secs=${2:-5}
pairs=${3:-3}
big=${4:-100000}
modes=" ${MODES:-login retr dele big} "
popd_bin=$build/pop/orvpopd
bench=$build/bench/pop3_bench
fill=$build/bench/pop3_fill
for p in "$build/tools/orvstored" "$build/tools/orvadm" "$popd_bin" "$bench" "$fill"; do
  [ -x "$p" ] || { echo "pop3-vs-dovecot.sh: no $p" >&2; exit 1; }
done
command -v saslpasswd2 > /dev/null || { echo "pop3-vs-dovecot.sh: saslpasswd2 (sasl2-bin) is missing" >&2; exit 1; }
tls=no
if [[ $modes == *-tls\ * ]]; then
  tls=yes
  for p in certutil pk12util openssl; do
    command -v "$p" > /dev/null || { echo "pop3-vs-dovecot.sh: $p is missing (libnss3-tools, openssl)" >&2; exit 1; }
  done
fi
if ldd "$popd_bin" 2>/dev/null | grep -q 'lib[at]san'; then
  echo "warning: $popd_bin is built with a sanitizer; figures are not representative" >&2
fi

# -- Dovecot from the distribution --
if ! command -v dovecot > /dev/null || ! [ -x /usr/lib/dovecot/pop3 ]; then
  install_dovecot_package dovecot-pop3d
fi
dc_version=$(dovecot --version)

realm=example.com
password="bench-secret"
login_users=64
retr_users=8
retr_msgs=100
retr_size=102400
login_msgs=20
dele_msgs=10000

tmp=$(mktemp -d)
chmod 755 "$tmp"  # Dovecot's unprivileged processes walk into it
popd_pid=""
stored_pid=""
declare -A dc_pid=()
# shellcheck disable=SC2317
cleanup() {
  stop_pid "$popd_pid"
  for n in "${!dc_pid[@]}"; do stop_pid "${dc_pid[$n]}"; done
  stop_pid "$stored_pid"
  rm -rf "$tmp"
}
trap cleanup EXIT

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
wait_port() {  # PORT PID: until the port accepts, while PID lives (60 s)
  for _ in $(seq 1 600); do
    if python3 -c "import socket,sys; socket.create_connection(('127.0.0.1', $1), 1).close()" 2>/dev/null; then
      return 0
    fi
    kill -0 "$2" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}
pin=()
if [ -n "${SERVER_CPUS:-}" ]; then pin=(taskset -c "$SERVER_CPUS"); fi

users=()
for i in $(seq 0 $((login_users - 1))); do users+=("bench$i"); done
for i in $(seq 0 $((retr_users - 1))); do users+=("retr$i"); done
users+=(dele0 big0)

# -- our store and server --
export ORV_CONFIG=$tmp/c.conf
cat > "$ORV_CONFIG" <<CONF
local.store.dir = $tmp/store
store.partition.primary.path = $tmp/p1
local.store.synclevel = 0
local.log.target = stderr
local.hostname = bench.test
service.defaultdomain = $realm
sasl.pop.sasldb_path = $tmp/sasldb2
service.pop.numprocesses = 2
service.pop.maxsessions = 1000
CONF
orv_tls_args=()
if [ "$tls" = yes ]; then
  # One certificate for both servers: made in an NSS database, exported to
  # PEM for the peer.
  bash "$(dirname "$0")/../tests/pop3/make_nssdb.sh" "$tmp/tls"
  pk12util -o "$tmp/tls/server.p12" -n Server-Cert -d "sql:$tmp/tls/nssdb" -W bench -K "" > /dev/null
  openssl pkcs12 -in "$tmp/tls/server.p12" -passin pass:bench -nodes -nocerts -out "$tmp/tls/key.pem"
  openssl pkcs12 -in "$tmp/tls/server.p12" -passin pass:bench -clcerts -nokeys -out "$tmp/tls/cert.pem"
  chmod 644 "$tmp/tls/key.pem" "$tmp/tls/cert.pem"
  cat >> "$ORV_CONFIG" <<CONF
service.pop.sslusessl = on
service.pop.enablesslport = on
local.ssl.nssdb = $tmp/tls/nssdb
local.ssl.certnickname = Server-Cert
CONF
  orv_tls_port=$(free_port)
  orv_tls_args=(-P "$orv_tls_port")
else
  cat >> "$ORV_CONFIG" <<CONF
service.pop.sslusessl = off
service.pop.enablesslport = off
CONF
fi
for u in "${users[@]}"; do
  printf '%s' "$password" | saslpasswd2 -p -c -f "$tmp/sasldb2" -u "$realm" "$u"
done
"$build/tools/orvstored" 2> "$tmp/stored.log" || { cat "$tmp/stored.log" >&2; exit 1; }
stored_pid=$("$build/tools/orvadm" status | sed -n 's/.*pid \([0-9]*\).*/\1/p')
for u in "${users[@]}"; do "$build/tools/orvadm" user create "$u" > /dev/null; done
orv_port=$(free_port)
"${pin[@]}" "$popd_bin" -a 127.0.0.1 -p "$orv_port" "${orv_tls_args[@]}" 2> "$tmp/popd.log" &
popd_pid=$!
for _ in $(seq 1 600); do
  grep -q '^ready' "$tmp/store/session/popd.state" 2>/dev/null && break
  kill -0 "$popd_pid" 2>/dev/null || { echo "orvpopd ended:" >&2; cat "$tmp/popd.log" >&2; exit 1; }
  sleep 0.1
done
wait_port "$orv_port" "$popd_pid" || { echo "orvpopd not ready" >&2; cat "$tmp/popd.log" >&2; exit 1; }
if [ "$tls" = yes ]; then
  wait_port "$orv_tls_port" "$popd_pid" || { echo "orvpopd: no TLS port" >&2; cat "$tmp/popd.log" >&2; exit 1; }
fi

# -- the Dovecot instances --
dc=$tmp/dc
mkdir -p "$dc/mail"
if [ "$(id -u)" = 0 ]; then
  # Mail processes never run as root: the mail belongs to nobody.
  mail_uid=$(id -u nobody)
  mail_gid=$(id -g nobody)
  run_users=""
else
  mail_uid=$(id -u)
  mail_gid=$(id -g)
  run_users="default_internal_user = $(id -un)
default_login_user = $(id -un)
default_internal_group = $(id -gn)"
fi
for u in "${users[@]}"; do
  echo "$u:{PLAIN}$password:$mail_uid:$mail_gid::$dc/home/$u::"
done > "$dc/passwd"
declare -A dc_port=()
dc_conf() {  # NAME SERVICE-POP3-LOGIN-SETTINGS OTHER-SETTINGS: a plain pop3 listener, or
  # for a NAME ending in -tls only an implicit-TLS one and ssl = required
  local name=$1 ssl="ssl = no" plain_port pop3s_port=0
  dc_port[$name]=$(free_port)
  plain_port=${dc_port[$name]}
  if [[ $name == *-tls ]]; then
    pop3s_port=$plain_port
    plain_port=0
    ssl="ssl = required
ssl_cert = <$tmp/tls/cert.pem
ssl_key = <$tmp/tls/key.pem"
  fi
  cat > "$dc/$name.conf" <<CONF
base_dir = $dc/run-$name
state_dir = $dc/state-$name
instance_name = dovecot-bench-$name
log_path = $dc/$name.log
protocols = pop3
listen = 127.0.0.1
$ssl
disable_plaintext_auth = no
auth_mechanisms = plain
mail_location = maildir:$dc/mail/%u
mail_fsync = never
first_valid_uid = $mail_uid
mail_max_userip_connections = 10000
pop3_uidl_format = %08Xu%08Xv
$run_users
passdb {
  driver = passwd-file
  args = scheme=PLAIN $dc/passwd
}
userdb {
  driver = passwd-file
  args = $dc/passwd
}
service auth {
  client_limit = 4096
}
service pop3-login {
  inet_listener pop3 {
    address = 127.0.0.1
    port = $plain_port
  }
  inet_listener pop3s {
    address = 127.0.0.1
    port = $pop3s_port
    ssl = yes
  }
$2
}
$3
CONF
  doveconf -c "$dc/$name.conf" -n > /dev/null
}
tuned_login="  service_count = 0
  process_min_avail = 2
  vsz_limit = 1G"
tuned_other="service pop3 {
  service_count = 0
  process_min_avail = 2
}
auth_cache_size = 10M"
dc_conf dc-tuned "$tuned_login" "$tuned_other"
dc_conf dc-default "" ""
dc_names=(dc-tuned dc-default)
if [ "$tls" = yes ]; then
  dc_conf dc-tuned-tls "$tuned_login" "$tuned_other"
  dc_conf dc-default-tls "" ""
  dc_names+=(dc-tuned-tls dc-default-tls)
fi
for name in "${dc_names[@]}"; do
  "${pin[@]}" dovecot -c "$dc/$name.conf" -F 2> "$dc/$name.err" &
  dc_pid[$name]=$!
  wait_port "${dc_port[$name]}" "${dc_pid[$name]}" || { echo "$name did not start" >&2; cat "$dc/$name.err" "$dc/$name.log" >&2; exit 1; }
done
dc_chown() { if [ "$(id -u)" = 0 ]; then chown -R "$mail_uid:$mail_gid" "$dc/mail"; mkdir -p "$dc/home"; chown "$mail_uid:$mail_gid" "$dc/home"; fi; }
dc_index() {  # USER...: Dovecot syncs the new Maildir files into its index
  for u in "$@"; do
    doveadm -c "$dc/dc-tuned.conf" mailbox status -u "$u" messages INBOX > /dev/null
  done
}

# fill_orv / fill_dc COUNT SIZE USER...: the same messages into one store
# (pop3_fill prints its time; Dovecot's indexing is timed here).
fill_orv() {
  "$fill" --store "$@"
}
fill_dc() {
  "$fill" --maildir "$dc/mail" "$@"
  dc_chown
  local t0 t1
  t0=$(date +%s.%N)
  dc_index "${@:3}"
  t1=$(date +%s.%N)
  python3 -c "print(f'dovecot index of the new files: {$t1 - $t0:.2f} s')"
}
fill() {  # the one matching LABEL
  local label=$1
  shift
  if [ "$label" = orvpopd ]; then fill_orv "$@"; else fill_dc "$@"; fi
}

labels=(orvpopd dc-tuned dc-default)
port_of() { if [ "$1" = orvpopd ]; then echo "$orv_port"; else echo "${dc_port[$1]}"; fi; }
pids_of() { if [ "$1" = orvpopd ]; then echo "-P $popd_pid -P $stored_pid"; else echo "-P ${dc_pid[$1]}"; fi; }
csv=${CSV:-$tmp/raw.csv}
: > "$csv"
run() {  # LABEL ARGS...: one point against one server
  local label=$1
  shift
  # shellcheck disable=SC2046
  "$bench" -p "$(port_of "$label")" $(pids_of "$label") -L "$label" -w "$password" --csv "$csv" "$@" ||
    echo "($label: the point had failures)" >&2
}
# The TLS ports: orvpopd's second listener, the peer's -tls instances.
tls_port_of() { if [ "$1" = orvpopd ]; then echo "$orv_tls_port"; else echo "${dc_port[$1-tls]}"; fi; }
tls_pids_of() { if [ "$1" = orvpopd ]; then pids_of orvpopd; else echo "-P ${dc_pid[$1-tls]}"; fi; }
run_tls() {  # LABEL ARGS...: one TLS point against one server
  local label=$1
  shift
  # shellcheck disable=SC2046
  "$bench" --tls -p "$(tls_port_of "$label")" $(tls_pids_of "$label") -L "$label" -w "$password" --csv "$csv" "$@" ||
    echo "($label over TLS: the point had failures)" >&2
}

echo "orvpopd (2 processes) against Dovecot $dc_version, $(nproc) CPUs" \
  "($(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')), $(uname -r)," \
  "${secs} s per point, $pairs alternations"
echo "== filling: $login_msgs x 4 KB for $login_users login users, $retr_msgs x 100 KB for $retr_users RETR users"
for f in fill_orv fill_dc; do
  "$f" "$login_msgs" 4096 "${users[@]:0:$login_users}"
  "$f" "$retr_msgs" "$retr_size" "${users[@]:$login_users:$retr_users}"
done

# Warm-up: one short unmeasured point on each server.
for l in "${labels[@]}"; do
  "$bench" -p "$(port_of "$l")" -w "$password" -m login -u 'bench%d' -U "$login_users" -c 8 -j 2 -t 1 > /dev/null
done
if [ "$tls" = yes ]; then
  echo "== TLS negotiated (first handshake of a warm-up on each server)"
  for l in "${labels[@]}"; do
    "$bench" --tls --tls-info -L "$l" -p "$(tls_port_of "$l")" -w "$password" -m login -u 'bench%d' \
      -U "$login_users" -c 8 -j 2 -t 1 2>&1 > /dev/null | sed 's/^/   /'
  done
fi

# Our QUIT rewrites the index; the files of the expunged messages go at the
# store's clean-up, timed here after each of our DELE sessions (the peer
# unlinks them within its QUIT).
cleanup_time() {  # USER
  local t0 t1
  t0=$(date +%s.%N)
  "$build/tools/orvadm" cleanup "user/$1" > /dev/null
  t1=$(date +%s.%N)
  python3 -c "print(f'cleanup,orvpopd,{$t1 - $t0:.3f}')" >> "$csv"
  python3 -c "print(f'   clean-up of the expunged files: {($t1 - $t0) * 1e3:.1f} ms')"
}

if [[ $modes == *" login "* ]]; then
echo "== logins: greeting, login, STAT, QUIT"
printf '%-10s %-10s %6s %9s %8s %8s %8s %12s %8s\n' server mech clients sessions "logins/s" "p50 ms" "p99 ms" \
  "srv us/login" failed
for mech in user plain; do
  for c in 1 8 64; do
    [ "$mech" = plain ] && [ "$c" = 1 ] && continue
    flags=(-m login -u 'bench%d' -U "$login_users" -c "$c" -j "$((c == 1 ? 1 : 2))" -t "$secs")
    [ "$mech" = plain ] && flags+=(-A)
    for _ in $(seq 1 "$pairs"); do for l in "${labels[@]}"; do run "$l" "${flags[@]}"; done; done
  done
done

fi

if [[ $modes == *" retr "* ]]; then
echo "== RETR: login, LIST, RETR all $retr_msgs messages (75-125 KB), QUIT; unstuffed lengths checked"
printf '%-10s %6s %9s %10s %9s %8s %12s %8s\n' server clients sessions messages "msgs/s" "MB/s" "srv ms/MB" failed
for c in 1 8; do
  for _ in $(seq 1 "$pairs"); do
    for l in "${labels[@]}"; do run "$l" -m retr -u 'retr%d' -U "$retr_users" -c "$c" -j "$((c == 1 ? 1 : 2))" -t "$secs"; done
  done
done

fi

if [[ $modes == *" retr-tls "* ]]; then
echo "== RETR over TLS: the same sessions on the implicit-TLS ports, one full handshake each"
printf '%-10s %6s %9s %10s %9s %8s %12s %8s\n' server clients sessions messages "msgs/s" "MB/s" "srv ms/MB" failed
for c in 1 8; do
  for _ in $(seq 1 "$pairs"); do
    for l in "${labels[@]}"; do
      run_tls "$l" -m retr -u 'retr%d' -U "$retr_users" -c "$c" -j "$((c == 1 ? 1 : 2))" -t "$secs"
    done
  done
done

fi

if [[ $modes == *" login-tls "* ]]; then
echo "== logins over TLS: handshake, greeting, USER/PASS, STAT, QUIT"
printf '%-10s %-10s %6s %9s %8s %8s %8s %12s %8s\n' server mech clients sessions "logins/s" "p50 ms" "p99 ms" \
  "srv us/login" failed
for c in 1 8; do
  for _ in $(seq 1 "$pairs"); do
    for l in "${labels[@]}"; do
      run_tls "$l" -m login -u 'bench%d' -U "$login_users" -c "$c" -j "$((c == 1 ? 1 : 2))" -t "$secs"
    done
  done
done

fi

dele_header() {
  printf '%-10s %6s %9s %9s %9s %9s %9s %9s %9s %9s %10s %6s\n' server clients messages "1st login" "login ms" \
    "LIST ms" "UIDL ms" "DELE ms" "QUIT ms" "expunge/s" "srv us/msg" failed
}
if [[ $modes == *" dele "* ]]; then
echo "== DELE: a first login+STAT+QUIT, then login+STAT, LIST, UIDL, DELE all $dele_msgs, QUIT; then STAT must be 0"
dele_header
for _ in $(seq 1 "$pairs"); do
  for l in "${labels[@]}"; do
    fill "$l" "$dele_msgs" 4096 dele0 | sed "s/^/   fill for $l: /"
    run "$l" -m dele -u dele0 -c 1
    if [ "$l" = orvpopd ]; then cleanup_time dele0; fi
  done
done

fi

if [ "$big" -gt 0 ] && [[ $modes == *" big "* ]]; then
  echo "== big maildrop: $big messages of 2 KB in one INBOX, one session each (orvpopd, dc-tuned)"
  for l in orvpopd dc-tuned; do
    fill "$l" "$big" 2048 big0 | sed "s/^/   fill for $l: /"
    dele_header
    run "$l" -m dele -u big0 -c 1
    if [ "$l" = orvpopd ]; then cleanup_time big0; fi
  done
fi

echo "== medians (ratio: orvpopd / peer; for times and CPU lower is better)"
python3 - "$csv" <<'PY'
import csv, statistics, sys
rows = list(csv.reader(open(sys.argv[1])))
def med(xs):
    return statistics.median(xs) if xs else float("nan")
def table(kind, key, cols):
    groups = {}
    for r in rows:
        if r[0] != kind:
            continue
        groups.setdefault(key(r), {}).setdefault(r[1], []).append(r)
    for k, by in groups.items():
        for name, idx in cols:
            vals = {l: med([float(r[idx]) for r in rs]) for l, rs in by.items()}
            ours = vals.get("orvpopd")
            line = f"{kind:9} {k:22} {name:14} orvpopd {ours:10.2f}"
            for peer in ("dc-tuned", "dc-default"):
                if peer in vals and ours is not None and vals[peer]:
                    line += f"   {peer} {vals[peer]:10.2f} ({ours / vals[peer]:.2f}x)"
            print(line)
table("login", lambda r: f"{r[2]} c={r[3]}", [("logins/s", 6), ("srv us/login", 9)])
table("login-tls", lambda r: f"{r[2]} c={r[3]}", [("logins/s", 6), ("srv us/login", 9)])
table("retr", lambda r: f"c={r[2]}", [("MB/s", 8), ("msgs/s", 7), ("srv ms/MB", 9)])
table("retr-tls", lambda r: f"c={r[2]}", [("MB/s", 8), ("msgs/s", 7), ("srv ms/MB", 9)])
cleanups = [float(r[2]) * 1e3 for r in rows if r[0] == "cleanup"]
if cleanups:
    print(f"our clean-up after QUIT (files of expunged messages): {', '.join(f'{c:.1f}' for c in cleanups)} ms")
table("dele", lambda r: f"{r[3]} messages", [("1st login ms", 4), ("login ms", 5), ("LIST ms", 6), ("UIDL ms", 7),
                                             ("DELE ms", 8), ("QUIT ms", 9), ("expunge/s", 10), ("srv us/msg", 11)])
PY
