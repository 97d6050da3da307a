#!/usr/bin/env bash
# Backup and restore of a store run by the real store daemon: users and
# folders made with orvadm on two partitions, mail delivered with
# orvdeliver (one message to two users shares its file), an ACL entry; a
# full backup, the store wiped (databases and partitions), the daemon
# started on the empty store, orvrestore -f brings everything back: folder
# records, message files byte for byte and their sharing, and orvadm check
# finds nothing.  A second restore changes nothing; a backup that runs out
# of room fails, and so does restoring what it wrote; a cut stream fails.
# Usage: restore_e2e.sh BINDIR (the build directory).
set -uo pipefail
bin=$1
bindir=$bin/tools
. "$(dirname "$0")/e2e_lib.sh"
count_failures
mkdir -p "$tmp/root/config"
write_config "local.servername = e2ehost" "local.serverroot = $tmp/root"
folders="user/joe user/joe/Sent user/joe/Drafts user/ann user/bob"
# Folder records without the time of the last append, then every message
# file with its link count and checksum.
snapshot() {
  for f in $folders; do adm folder show "$f" | grep -v '^last append'; done
  (cd "$tmp" && find p1 p2 -name '*.msg' -type f -printf '%P %n\n' | sort | while read -r p n; do
    echo "$p $n $(md5sum < "$(ls -d p1/"$p" p2/"$p" 2>/dev/null | head -1)" | cut -c1-32)"
  done)
}
msg() { printf 'From: a@example.com\r\nTo: %s@example.com\r\nSubject: %s\r\n\r\n%s\r\n' "$1" "$2" "$3"; }

init_stored
for u in joe ann; do adm user create $u --partition primary > /dev/null || fail "user create $u"; done
adm user create bob --partition second > /dev/null || fail "user create bob"
for f in user/joe/Sent user/joe/Drafts; do adm folder create $f > /dev/null || fail "folder create $f"; done
msg joe one "first body" | "$bin/tools/orvdeliver" joe > /dev/null || fail "deliver one"
msg joe shared "to joe and ann" | "$bin/tools/orvdeliver" joe ann > /dev/null || fail "deliver shared"
msg joe sent "sent body" | "$bin/tools/orvdeliver" -m Sent joe > /dev/null || fail "deliver sent"
msg bob bob "bob's" | "$bin/tools/orvdeliver" bob > /dev/null || fail "deliver bob"
msg joe big "$(head -c 300000 /dev/urandom | base64 -w 76)" | "$bin/tools/orvdeliver" joe > /dev/null \
  || fail "deliver big"
adm acl set user/joe ann lr > /dev/null || fail "acl set"
snapshot > "$tmp/before"
grep -q ' 2 ' "$tmp/before" || fail "no shared message file before the backup: $(cat "$tmp/before")"

timeout 60 "$bin/backup/orvbackup" -f "$tmp/vol" / > /dev/null 2> "$tmp/err" || fail "orvbackup: $(cat "$tmp/err")"
# A file that cannot grow past 100 KB: only a tape continues on another
# volume, so the backup fails as a device error.
(trap '' XFSZ; ulimit -f 100; timeout 60 "$bin/backup/orvbackup" -f "$tmp/vol.short" / < /dev/null) \
  > /dev/null 2> "$tmp/err"
rc=$?
[ $rc -eq 74 ] || fail "a backup without room: status $rc, expected 74: $(cat "$tmp/err")"
grep -q "Device error" "$tmp/err" || fail "a backup without room says: $(cat "$tmp/err")"
stop_stored
rm -rf "$tmp/store" "$tmp/p1" "$tmp/p2"
init_stored
timeout 60 "$bin/backup/orvrestore" -f "$tmp/vol" > "$tmp/out" 2> "$tmp/err"
rc=$?
[ $rc -eq 0 ] || fail "orvrestore: status $rc: $(cat "$tmp/err")"
snapshot > "$tmp/after"
diff "$tmp/before" "$tmp/after" > "$tmp/diff" || fail "restored store differs: $(cat "$tmp/diff")"
for f in $folders; do
  adm check "$f" > "$tmp/check" 2>&1 || fail "orvadm check $f: $(cat "$tmp/check")"
done

# Again: nothing is added.
timeout 60 "$bin/backup/orvrestore" -f "$tmp/vol" > /dev/null 2> "$tmp/err" || fail "second orvrestore: $(cat "$tmp/err")"
grep -q '0 folders\|0 messages, 0 links restored' "$tmp/err" || fail "second restore restored something: $(cat "$tmp/err")"
snapshot > "$tmp/again"
diff "$tmp/before" "$tmp/again" > "$tmp/diff" || fail "second restore changed the store: $(cat "$tmp/diff")"

# What the failed backup wrote is not taken for a whole one.
timeout 60 "$bin/backup/orvrestore" -t -f "$tmp/vol.short" > /dev/null 2> "$tmp/err"
[ $? -ne 0 ] || fail "listing the volume of a failed backup succeeded"

# From standard input, cut short: an error, what came before stays sound.
stop_stored
rm -rf "$tmp/store" "$tmp/p1" "$tmp/p2"
init_stored
head -c 3000 "$tmp/vol" | timeout 60 "$bin/backup/orvrestore" -b 20 -f - > /dev/null 2> "$tmp/err"
rc=$?
[ $rc -ne 0 ] || fail "a cut stream restored with status 0"
[ -s "$tmp/err" ] || fail "a cut stream gave no message"
for f in $( (adm folder list 2>/dev/null || true) | grep '^user/'); do
  adm check "$f" > "$tmp/check" 2>&1 || fail "orvadm check $f after a cut stream: $(cat "$tmp/check")"
done
# Usage errors.
timeout 10 "$bin/backup/orvrestore" > /dev/null 2>&1
[ $? -eq 64 ] || fail "orvrestore without -f did not exit 64"
timeout 10 "$bin/backup/orvrestore" -f "$tmp/missing" > /dev/null 2>&1
[ $? -eq 66 ] || fail "orvrestore of a missing file did not exit 66"
for prog in orvbackup orvrestore; do
  "$bin/backup/$prog" --help | grep -q -- "-f device" || fail "$prog --help does not describe -f"
done

finish "restore e2e"
