# Shared set-up of the end-to-end scripts that run a store instance.
# Source it after setting bindir (the folder holding orvadm, orvstored...):
#   tmp            a fresh directory, removed at exit with the daemon stopped
#   die TEXT       report and exit 1
#   fail TEXT      the same, until count_failures: from then on fail
#                  counts and goes on (set-up failures still die)
#   finish NAME    after count_failures: "NAME: all passed" and status 0,
#                  or the count of failures and status 1
#   adm ARGS...    orvadm on the instance
#   write_config [LINE...]
#                  the instance's configuration (partitions primary, second)
#                  with the LINEs added
#   start_stored   start the store daemon and remember its pid
#   stop_stored    SIGTERM to the daemon and up to 10 s to end; if it does
#                  not, SIGKILL and status 1
#   start_directory [LDIF]
#                  a private slapd in $ldir holding the example.com domain
#                  tree (tests/directory_base.ldif: users under
#                  o=example,o=isp) and the entries of the LDIF file;
#                  stopped at exit.  $directory_config holds the lines that
#                  point the store at it: write_config "${directory_config[@]}"
#   stop_directory stops it (an outage)
tmp=$(mktemp -d)
pid=""
stop_stored() {
  local rc=0
  if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
    kill -TERM "$pid" 2>/dev/null || true
    for _ in $(seq 1 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    if kill -0 "$pid" 2>/dev/null; then
      kill -KILL "$pid" 2>/dev/null || true
      rc=1
    fi
  fi
  pid=""
  return $rc
}
ldir=""
test_slapd=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/scripts/test-slapd
stop_directory() {
  [ -z "$ldir" ] || timeout 30 "$test_slapd" stop "$ldir" > /dev/null 2>&1 || true
}
cleanup() {
  stop_stored || true
  stop_directory
  rm -rf "$tmp"
}
trap cleanup EXIT
die() { echo "FAIL: $*" >&2; exit 1; }
fail() { die "$@"; }
count_failures() {
  fails=0
  fail() { echo "FAIL: $*" >&2; fails=$((fails + 1)); }
}
finish() {
  if [ "$fails" -eq 0 ]; then
    echo "$1: all passed"
    exit 0
  fi
  echo "$1: $fails failed" >&2
  exit 1
}
adm() { "$bindir/orvadm" "$@"; }
export ORV_CONFIG="$tmp/c.conf"
write_config() {
  cat > "$ORV_CONFIG" <<CONF
local.store.dir = $tmp/store
store.partition.primary.path = $tmp/p1
store.partition.second.path = $tmp/p2
CONF
  if [ $# -gt 0 ]; then printf '%s\n' "$@" >> "$ORV_CONFIG"; fi
}
start_stored() {
  "$bindir/orvstored" || die "orvstored did not start"
  adm status > "$tmp/out" || die "daemon not ready"
  pid=$(sed -n 's/.*pid \([0-9]*\).*/\1/p' "$tmp/out")
}
# A new store (orvadm init) and its daemon.
init_stored() {
  adm init > /dev/null || die "orvadm init"
  start_stored
}
# The daemon stopped, the store and both partitions removed, then a new
# store started.
wipe_stored() {
  stop_stored || true
  rm -rf "$tmp/store" "$tmp/p1" "$tmp/p2"
  init_stored
}
start_directory() {
  ldir=$tmp/ldap
  mkdir -p "$ldir"
  timeout 30 "$test_slapd" start "$ldir" o=internet o=isp > /dev/null || die "slapd did not start"
  cat "$(dirname "${BASH_SOURCE[0]}")/directory_base.ldif" > "$ldir/all.ldif"
  if [ $# -gt 0 ]; then printf '\n' >> "$ldir/all.ldif"; cat "$1" >> "$ldir/all.ldif"; fi
  timeout 30 "$test_slapd" load "$ldir" "$ldir/all.ldif" > /dev/null || die "loading the directory"
  directory_config=("local.ugldaphost = 127.0.0.1" "local.ugldapport = $(cat "$ldir/port")"
    "local.ugldapbinddn = $(cat "$ldir/rootdn")" "local.ugldapbindcred = $(cat "$ldir/rootpw")"
    "local.ugldapconnecttimeout = 5" "local.ugldaptimeout = 5"
    "service.dcroot = o=internet" "service.defaultdomain = example.com")
}
