#!/usr/bin/env bash
# Administrative expunge and the clean-up of expunged files: orvadm expunge
# takes messages out of a folder (quota usage follows at once, the files
# stay for readers that still have them open), orvadm cleanup and the store
# daemon's own timer remove the files; orvadm check stays clean throughout.
# Usage: expunge_e2e.sh BINDIR (the build directory).
set -uo pipefail
bin=$1
bindir=$bin/tools
. "$(dirname "$0")/e2e_lib.sh"
count_failures
msgfiles() { (cd "$tmp" && find p1 -path "*=$1*" -name '*.msg' | wc -l); }
# "BYTES MESSAGES" of a user's quota root.
quota_used() { adm quota show "user/$1" | sed -n 's/^[^:]*: \([0-9]*\) bytes of .*, \([0-9]*\) of .*/\1 \2/p'; }
# The bytes of a user's message files.
file_bytes() { (cd "$tmp" && find p1 -path "*=$1*" -name '*.msg' -printf '%s\n' | awk '{s += $1} END {print s + 0}'); }
deliver() {
  local i
  for i in $(seq 1 "$2"); do
    printf 'From: a@example.com\r\nSubject: m%s\r\n\r\nbody %s\r\n' "$i" "$i" | "$bindir/orvdeliver" "$1" > /dev/null \
      || fail "deliver $i to $1"
  done
}

write_config "local.store.expungecleanupinterval = 1"
adm init > /dev/null || die "orvadm init"
start_stored
adm user create joe > /dev/null || die "user create joe"
deliver joe 12
[ "$(msgfiles joe)" -eq 12 ] || fail "12 message files expected, found $(msgfiles joe)"
[ "$(quota_used joe)" = "$(file_bytes joe) 12" ] || fail "quota before: $(quota_used joe), files $(file_bytes joe)"

# Bad uid sets are usage errors and change nothing.
for bad in "" 0 "1:" "a" "1,,2" "4294967296" "1:10x"; do
  adm expunge user/joe "$bad" > /dev/null 2>&1
  [ $? -eq 64 ] || fail "uid set '$bad' was not refused with 64"
done
adm expunge user/none 1 > /dev/null 2>&1
[ $? -eq 79 ] || fail "expunge of a missing folder did not exit 79"

adm expunge user/joe 1:10 > "$tmp/out" 2>&1 || fail "expunge 1:10: $(cat "$tmp/out")"
grep -q '^user/joe: 10 messages expunged$' "$tmp/out" || fail "expunge said: $(cat "$tmp/out")"
adm check user/joe > "$tmp/out" 2>&1 || fail "check after expunge: $(cat "$tmp/out")"
adm folder show user/joe | grep -q '^messages: *2$' || fail "the folder does not hold 2 messages"
# Usage counts the two messages left; their files are the two newest.
used=$(cd "$tmp" && find p1 -path '*=joe*' \( -name '11.msg' -o -name '12.msg' \) -printf '%s\n' | awk '{s += $1} END {print s}')
[ "$(quota_used joe)" = "$used 2" ] || fail "quota after expunge: $(quota_used joe), expected $used 2"

# The daemon's clean-up runs every second here: the files go by themselves.
for _ in $(seq 1 50); do [ "$(msgfiles joe)" -eq 2 ] && break; sleep 0.2; done
[ "$(msgfiles joe)" -eq 2 ] || fail "the daemon did not remove the expunged files: $(msgfiles joe) left"
adm check user/joe > "$tmp/out" 2>&1 || fail "check after the daemon's clean-up: $(cat "$tmp/out")"

# Without the timer, orvadm cleanup does it.
stop_stored
write_config "local.store.expungecleanupinterval = 0"
start_stored
adm expunge user/joe '12:11' > "$tmp/out" 2>&1 || fail "expunge 12:11: $(cat "$tmp/out")"
[ "$(msgfiles joe)" -eq 2 ] || fail "expunge removed files itself"
adm cleanup user/joe > "$tmp/out" 2>&1 || fail "cleanup: $(cat "$tmp/out")"
[ "$(msgfiles joe)" -eq 0 ] || fail "cleanup left $(msgfiles joe) files"
deliver joe 3
adm expunge user/joe '*' > /dev/null 2>&1 || fail "expunge *"
adm cleanup > "$tmp/out" 2>&1 || fail "cleanup of the whole store: $(cat "$tmp/out")"
[ "$(msgfiles joe)" -eq 2 ] || fail "expunge * removed $((3 - $(msgfiles joe))) messages, expected 1"
adm check user/joe > "$tmp/out" 2>&1 || fail "final check: $(cat "$tmp/out")"

# An expunge killed between its two steps (the new index put in place,
# then the list record and quota committed) never leaves the quota below
# what the index holds, and loses no message.  Killed at the rename, the
# folder is as before; killed just after it (at the write of the expunge
# log), the list still counts the messages until the folder's next open.
if command -v strace > /dev/null; then
  adm user create kim > /dev/null || die "user create kim"
  deliver kim 20
  idxdir=$(dirname "$(cd "$tmp" && find "$tmp/p1" -path '*=kim*' -name store.idx)")
  [ -d "$idxdir" ] || die "no index of user/kim"
  # Bytes of kim's messages with uids above $1.
  bytes_above() { (cd "$idxdir" && find . -name '*.msg' -printf '%f %s\n' | awk -v n="$1" '$1 + 0 > n {s += $2} END {print s + 0}'); }
  killed_expunge() {
    local st=0
    ASAN_OPTIONS=detect_leaks=0 timeout 60 strace -f -qq -o "$tmp/trace" "$@" "$bindir/orvadm" expunge user/kim 1:10 \
      > /dev/null 2>&1 || st=$?
    [ "$st" = 137 ] || die "the expunge was not killed (status $st): $(tail -3 "$tmp/trace")"
  }
  killed_expunge -P "$idxdir/index.new" -e trace=rename,renameat,renameat2 \
    -e inject=rename,renameat,renameat2:signal=KILL:when=1
  [ "$(quota_used kim)" = "$(bytes_above 0) 20" ] || fail "killed at the rename: quota $(quota_used kim), expected $(bytes_above 0) 20"
  adm check user/kim > "$tmp/out" 2>&1 || fail "killed at the rename: check: $(cat "$tmp/out")"
  adm folder show user/kim | grep -q '^messages: *20$' || fail "killed at the rename: messages lost"

  # The log is new, so its first write is its magic (before the rename)
  # and its second the expunged uids (after it).
  rm -f "$idxdir/store.exp"
  killed_expunge -P "$idxdir/store.exp" -e trace=pwrite64 -e inject=pwrite64:signal=KILL:when=2
  set -- $(quota_used kim)
  [ "${2:-0}" -ge 10 ] && [ "${1:-0}" -ge "$(bytes_above 10)" ] || fail "killed after the rename: quota $* under-counts"
  adm check user/kim > "$tmp/out" 2>&1 && fail "killed after the rename: check finds no lag"
  grep -q 'an expunge died before its commit' "$tmp/out" || fail "killed after the rename: check said $(cat "$tmp/out")"
  # The next open of the folder (here an expunge that finds nothing) catches up.
  adm expunge --deleted user/kim > "$tmp/out" 2>&1 || fail "open after the kill: $(cat "$tmp/out")"
  adm folder show user/kim | grep -q '^messages: *10$' || fail "killed after the rename: the list does not hold 10"
  [ "$(quota_used kim)" = "$(bytes_above 10) 10" ] || fail "the next open did not catch up: quota $(quota_used kim)"
  adm check user/kim > "$tmp/out" 2>&1 || fail "killed after the rename, then opened: check: $(cat "$tmp/out")"
else
  echo "strace is not installed; the killed expunges are skipped"
fi

finish "expunge e2e"
