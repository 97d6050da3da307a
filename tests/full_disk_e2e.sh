#!/usr/bin/env bash
# The file system under the mailbox list fills up: a delivery fails with
# the temporary-failure status an MTA retries (75), never dies of SIGBUS
# inside the database library (the region files are written out in full
# when the daemon creates them, so no page of them waits for disk space),
# and the store works again once space is freed.  The store directory is a
# small tmpfs mounted for the test (skipped where mounting is not allowed).
set -euo pipefail
bindir=$1
. "$(dirname "$0")/e2e_lib.sh"
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

mkdir -p "$tmp/store"
if ! mount -t tmpfs -o size=40m tmpfs "$tmp/store" 2> /dev/null; then
  echo "cannot mount a tmpfs here; skipped"
  exit 77
fi
unmount() { umount -l "$tmp/store" 2> /dev/null || true; }
trap 'stop_stored || true; unmount; rm -rf "$tmp"' EXIT

write_config
adm init > /dev/null
start_stored
for u in u1 u2; do adm user create $u > /dev/null; done
# No region file is sparse: every page of the shared regions has its disk
# block, so none can fault for want of space later (that fault is SIGBUS).
for f in "$tmp/store/mboxlist"/__db.*; do
  read -r blocks unit size < <(stat -c '%b %B %s' "$f")
  [ $((blocks * unit)) -ge $((size - 4096)) ] ||
    fail "region file $(basename "$f") is sparse: $((blocks * unit)) of $size bytes on disk"
done
printf 'Subject: a\n\nbody\n' > "$tmp/m.eml"
"$bindir/orvdeliver" u1 < "$tmp/m.eml" || die "delivery before the disk fills"

# Fill the file system to the last block.
dd if=/dev/zero of="$tmp/store/filler" bs=64k > /dev/null 2>&1 || true
[ "$(df --output=avail "$tmp/store" | tail -1)" -lt 64 ] || die "the file system did not fill up"

# Several deliveries, so one of them needs pages of the list's files and
# log that are not there yet.
for i in 1 2 3 4 5 6; do
  st=0
  timeout 60 "$bindir/orvdeliver" u1 u2 < "$tmp/m.eml" 2> "$tmp/err" || st=$?
  case $st in
    0 | 75) ;;
    *) fail "delivery $i on a full disk: status $st (expected 75 or 0): $(head -c 300 "$tmp/err")" ;;
  esac
done
[ "$st" = 75 ] || fail "the last delivery on a full disk: status $st, expected 75"

rm -f "$tmp/store/filler"
# Space is back: deliveries succeed again (after the daemon has rebuilt the
# environment, should the failed writes have required it).
ok=""
for _ in $(seq 1 20); do
  st=0
  timeout 60 "$bindir/orvdeliver" u2 < "$tmp/m.eml" 2> /dev/null || st=$?
  [ "$st" = 0 ] && { ok=1; break; }
  [ "$st" = 75 ] || { fail "delivery after space was freed: status $st"; break; }
  sleep 1
done
[ -n "$ok" ] || fail "no delivery succeeded after space was freed"
adm folder create user/u1/Later > /dev/null || fail "orvadm after space was freed"
stop_stored || fail "daemon did not stop"
[ "$failures" = 0 ] || exit 1
echo "full-disk cases passed"
