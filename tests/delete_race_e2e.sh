#!/usr/bin/env bash
# A folder deleted while a delivery into it is under way stays deleted: the
# delivery is held (strace) right after writing its message file, the folder
# is deleted, and when the delivery goes on it must fail instead of writing
# the folder's record back (a folder without files).
set -uo pipefail
bindir=$1
. "$(dirname "$0")/e2e_lib.sh"
command -v strace > /dev/null || { echo "strace is not installed; skipped"; exit 77; }
count_failures
write_config
start_stored
adm user create u > /dev/null || die "user create"
adm folder create user/u/Sub > /dev/null || die "folder create"

printf 'Subject: x\r\n\r\nhello\r\n' > "$tmp/m.eml"
# The first fdatasync of the delivery is its message file's.
ASAN_OPTIONS=detect_leaks=0 timeout 60 strace -f -qq -o "$tmp/trace" -e trace=fdatasync \
  -e inject=fdatasync:delay_enter=3000000:when=1 "$bindir/orvdeliver" -m Sub u < "$tmp/m.eml" \
  > "$tmp/dout" 2>&1 &
held=$!
for _ in $(seq 1 100); do grep -q 'fdatasync(' "$tmp/trace" 2> /dev/null && break; sleep 0.05; done
grep -q 'fdatasync(' "$tmp/trace" || die "the delivery never reached its message file"
adm folder delete user/u/Sub > /dev/null || fail "folder delete during the delivery"
st=0
wait $held || st=$?
[ "$st" -ne 0 ] || fail "the delivery into a deleted folder was acknowledged"
[ "$st" -ne 124 ] && [ "$st" -lt 128 ] || fail "the delivery hung or crashed (status $st)"
adm folder list user/u > "$tmp/list" || fail "folder list"
! grep -q "^user/u/Sub" "$tmp/list" || fail "the deleted folder came back: $(cat "$tmp/list")"
adm check user/u > /dev/null 2>&1 || fail "check user/u"
# The user's INBOX still takes mail.
"$bindir/orvdeliver" u < "$tmp/m.eml" > /dev/null || fail "delivery to the INBOX afterwards"
finish delete_race
