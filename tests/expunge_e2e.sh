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

finish "expunge e2e"
