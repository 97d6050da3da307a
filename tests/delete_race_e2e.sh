#!/usr/bin/env bash
# A folder deleted while a delivery into it is under way: the deletion
# waits for the folder's index lock, so a delivery that holds it (held by
# strace right after writing its message file) commits first and its
# message goes with the folder; a delivery that opened the folder but takes
# the lock only after the deletion fails temporarily (75, the MTA tries
# again) instead of writing the folder's record back.  Either way the
# folder stays deleted and the user's quota counts nothing of it.
set -uo pipefail
bindir=$1
. "$(dirname "$0")/e2e_lib.sh"
command -v strace > /dev/null || { echo "strace is not installed; skipped"; exit 77; }
count_failures
# "BYTES MESSAGES" of a user's quota root.
quota_used() { adm quota show "user/$1" | sed -n 's/^[^:]*: \([0-9]*\) bytes of .*, \([0-9]*\) of .*/\1 \2/p'; }
write_config
start_stored
adm user create u > /dev/null || die "user create"
printf 'Subject: x\r\n\r\nhello\r\n' > "$tmp/m.eml"

# Runs orvdeliver -m Sub u in the background under strace, held for 3 s at
# the first call of SYSCALL (more strace options before it), and waits
# until it is held.
held_delivery() {
  local syscall=$1; shift
  : > "$tmp/trace"
  ASAN_OPTIONS=detect_leaks=0 timeout 60 strace -f -qq -o "$tmp/trace" "$@" -e trace="$syscall" \
    -e inject="$syscall":delay_enter=3000000:when=1 "$bindir/orvdeliver" -m Sub u < "$tmp/m.eml" \
    > "$tmp/dout" 2>&1 &
  held=$!
  for _ in $(seq 1 100); do grep -q "$syscall(" "$tmp/trace" 2> /dev/null && break; sleep 0.05; done
  grep -q "$syscall(" "$tmp/trace" || die "the delivery never reached $syscall"
}

# Deletes user/u/Sub while the held delivery runs; checks what is left.
delete_during() {
  local what=$1 want=$2
  adm folder delete user/u/Sub > "$tmp/del" 2>&1 || fail "$what: folder delete: $(cat "$tmp/del")"
  local st=0
  wait "$held" || st=$?
  [ "$st" -eq "$want" ] || fail "$what: delivery status $st, expected $want: $(cat "$tmp/dout")"
  adm folder list user/u > "$tmp/list" || fail "$what: folder list"
  ! grep -q "^user/u/Sub" "$tmp/list" || fail "$what: the deleted folder came back: $(cat "$tmp/list")"
  [ -z "$(cd "$tmp" && find p1 p2 -path '*Sub*' 2> /dev/null)" ] || fail "$what: files of the folder are left"
  [ "$(quota_used u)" = "0 0" ] || fail "$what: quota counts $(quota_used u) after the deletion"
  adm check user/u > "$tmp/out" 2>&1 || fail "$what: check user/u: $(cat "$tmp/out")"
}

# Held with the index lock, at its message file's sync (the first
# fdatasync): the deletion waits, the delivery is acknowledged.
adm folder create user/u/Sub > /dev/null || die "folder create"
held_delivery fdatasync
delete_during "delivery holding the lock" 0

# Held before it takes the lock (its first fcntl on the index): the
# deletion goes first and the delivery fails temporarily.
adm folder create user/u/Sub > /dev/null || die "folder create again"
sub=$(cd "$tmp" && find "$tmp/p1" -path '*Sub*' -name store.idx)
[ -n "$sub" ] || die "no index of user/u/Sub"
held_delivery fcntl -P "$sub"
delete_during "delivery waiting for the lock" 75

# The user's INBOX still takes mail.
"$bindir/orvdeliver" u < "$tmp/m.eml" > /dev/null || fail "delivery to the INBOX afterwards"
finish delete_race
