# Shared set-up of the end-to-end scripts that run a store instance.
# Source it after setting bindir (the folder holding orvadm, orvstored...):
#   tmp            a fresh directory, removed at exit with the daemon stopped
#   fail TEXT      report and exit 1
#   adm ARGS...    orvadm on the instance
#   write_config   the instance's configuration (partitions primary, second)
#   start_stored   start the store daemon and remember its pid
tmp=$(mktemp -d)
pid=""
cleanup() {
  if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then kill -TERM "$pid"; sleep 1; kill -KILL "$pid" 2>/dev/null || true; fi
  rm -rf "$tmp"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
adm() { "$bindir/orvadm" "$@"; }
export ORV_CONFIG="$tmp/c.conf"
write_config() {
  cat > "$ORV_CONFIG" <<CONF
local.store.dir = $tmp/store
store.partition.primary.path = $tmp/p1
store.partition.second.path = $tmp/p2
CONF
}
start_stored() {
  "$bindir/orvstored" || fail "orvstored did not start"
  adm status > "$tmp/out" || fail "daemon not ready"
  pid=$(sed -n 's/.*pid \([0-9]*\).*/\1/p' "$tmp/out")
}
