#!/usr/bin/env bash
# Folder names with "." and ".." components (older stores and backups hold
# them) are ordinary names: they are created, delivered to, renamed,
# backed up, restored and deleted like any other, and nothing is ever
# written outside the store directory and the partitions.
# Usage: dotnames_e2e.sh BINDIR (the build directory).
set -uo pipefail
bin=$1
bindir=$bin/tools
. "$(dirname "$0")/e2e_lib.sh"
count_failures
write_config
# Everything the instance writes stays in store/, p1/ and p2/ (and the
# files this script makes itself), and no directory of a partition is
# named "." or ".." or starts with a dot.
check_confined() {
  local extra
  extra=$(cd "$tmp" && ls -A | grep -v -x -E 'c\.conf|store|p1|p2|vol|out|err|check')
  [ -z "$extra" ] || fail "$1: written outside the store: $extra"
  extra=$(cd "$tmp" && find p1 p2 -name '.*' 2>/dev/null)
  [ -z "$extra" ] || fail "$1: dot names in a partition: $extra"
}
msg() { printf 'From: a@example.com\r\nSubject: %s\r\n\r\nbody of %s\r\n' "$1" "$1"; }

init_stored
adm user create joe --partition primary > /dev/null || die "user create joe"
subs=".. . ../.. ../../x a a/.. a/../../.."
for s in $subs; do
  adm folder create "user/joe/$s" > "$tmp/out" 2>&1 || fail "folder create user/joe/$s: $(cat "$tmp/out")"
  msg "$s" | timeout 30 "$bindir/orvdeliver" -m "$s" joe > "$tmp/out" 2>&1 \
    || fail "deliver into user/joe/$s: $(cat "$tmp/out")"
done
check_confined "after create and delivery"
adm folder rename user/joe/.. user/joe/up > "$tmp/out" 2>&1 || fail "rename ..: $(cat "$tmp/out")"
adm folder rename user/joe/up user/joe/.. > "$tmp/out" 2>&1 || fail "rename back to ..: $(cat "$tmp/out")"
check_confined "after renames"
adm folder list user/joe 2>&1 | cut -f1 > "$tmp/out"
for s in $subs; do
  grep -q -x -F "user/joe/$s" "$tmp/out" || fail "user/joe/$s not listed: $(cat "$tmp/out")"
done

timeout 60 "$bin/backup/orvbackup" -f "$tmp/vol" /primary/user/joe > /dev/null 2> "$tmp/err" \
  || fail "orvbackup: $(cat "$tmp/err")"
adm user delete joe > "$tmp/out" 2>&1 || fail "user delete: $(cat "$tmp/out")"
check_confined "after deleting the user"
[ -z "$(cd "$tmp" && find p1 p2 -name '*.msg')" ] || fail "message files left after deleting the user"
timeout 60 "$bin/backup/orvrestore" -f "$tmp/vol" > /dev/null 2> "$tmp/err" || fail "orvrestore: $(cat "$tmp/err")"
check_confined "after the restore"
for s in $subs; do
  adm check "user/joe/$s" > "$tmp/check" 2>&1 || fail "check user/joe/$s: $(cat "$tmp/check")"
done
# One message per folder came back: the INBOX has none, so 7 in all.
n=$(cd "$tmp" && find p1 p2 -name '*.msg' | wc -l)
[ "$n" -eq 7 ] || fail "$n message files after the restore, expected 7"

finish "dot names e2e"
