#!/usr/bin/env bash
# A user rename killed half-way (SIGKILL injected by strace at the exact
# link(2) that copies a message of the second folder, after the INBOX has
# moved) is finished by the store daemon's next start: every folder under
# the new name, none under the old one, no stray directory, every folder
# consistent, the quota record counting all the mail; and the user can be
# renamed back.
set -euo pipefail
bindir=$1
. "$(dirname "$0")/e2e_lib.sh"
command -v strace > /dev/null || { echo "strace is not installed: skipped"; exit 77; }
write_config 'local.store.synclevel = 0'
adm init > /dev/null
start_stored

adm user create ann --quota 1000 > /dev/null
for f in Sent Sent/2024 Trash; do adm folder create "user/ann/$f" > /dev/null; done
deliver() { printf 'From: x@example.org\nSubject: %s\n\nbody of %s\n' "$2" "$2" | "$bindir/orvdeliver" $1; }
deliver ann one
deliver ann two
deliver "-m Sent ann" three
deliver "-m Sent ann" four
deliver "-m Sent/2024 ann" five
deliver "-m Trash ann" six
folders="INBOX Sent Sent/2024 Trash"
name() { if [ "$2" = INBOX ]; then echo "user/$1"; else echo "user/$1/$2"; fi; }

# The INBOX's two messages are links 1 and 2; the third is Sent's first.
status=0
timeout 60 strace -f -qq -o /dev/null -e trace=link -e inject=link:signal=KILL:when=4 \
  "$bindir/orvadm" user rename ann bob > /dev/null 2>&1 || status=$?
[ "$status" != 0 ] || fail "the rename was not killed"
adm folder list user/ | cut -f1 | grep -qx user/bob || fail "the INBOX had not moved before the kill"
adm folder list user/ | cut -f1 | grep -qx user/ann/Sent || fail "Sent had moved before the kill"

stop_stored || fail "the daemon did not stop"
start_stored

adm folder list user/ | cut -f1 > "$tmp/list"
printf 'user/bob\nuser/bob/Sent\nuser/bob/Sent/2024\nuser/bob/Trash\n' | diff - "$tmp/list" || fail "folders after the restart"
[ -z "$(find "$tmp/p1" -name '=ann')" ] || fail "directories of ann are left: $(find "$tmp/p1" -path '*=ann*')"
for f in $folders; do
  adm check "$(name bob "$f")" > "$tmp/check" || fail "check $(name bob "$f"): $(cat "$tmp/check")"
done
[ "$(find "$tmp/p1" -name '*.msg' | wc -l)" = 6 ] || fail "message files: $(find "$tmp/p1" -name '*.msg')"
bytes=$(find "$tmp/p1" -name '*.msg' -printf '%s\n' | awk '{ s += $1 } END { print s }')
adm quota show user/bob | grep -q "^user/bob: $bytes bytes of 1000 KB, 6 of " || fail "quota: $(adm quota show user/bob)"
[ -z "$(ls -A "$tmp/store/rename" 2> /dev/null)" ] || fail "rename records left: $(ls -A "$tmp/store/rename")"

# Nothing left behind stands in the way of renaming the user back.
adm user rename bob ann > /dev/null || fail "renaming back"
adm folder list user/ | cut -f1 | grep -c '^user/ann' | grep -qx 4 || fail "after renaming back: $(adm folder list user/)"
printf 'Subject: seven\n\nx\n' | "$bindir/orvdeliver" ann || fail "delivery after renaming back"

# A folder rename killed while it removes the old files of its first folder
# (the move committed, the folder below not moved yet), then the user's
# folders rebuilt from disk: the rebuild finishes the rename instead of
# putting the half-removed old folder back (whose record would then make
# the rename's completion take the committed move for an uncommitted one
# and remove the new copy).
adm folder create user/ann/Work > /dev/null
adm folder create user/ann/Work/Old > /dev/null
deliver "-m Work ann" w1
deliver "-m Work ann" w2
deliver "-m Work/Old ann" w3
old_msg=$(find "$tmp/p1" -path '*=ann/=+Work/00/1.msg')
[ -n "$old_msg" ] || fail "no message file of user/ann/Work"
status=0
timeout 60 strace -f -qq -o /dev/null -P "$old_msg" -e trace=unlink -e inject=unlink:signal=KILL:when=1 \
  "$bindir/orvadm" folder rename user/ann/Work user/ann/Archive > /dev/null 2>&1 || status=$?
[ "$status" = 137 ] || fail "the folder rename was not killed at the old files (status $status)"
adm reconstruct ann > /dev/null 2>&1 || fail "reconstruct after the killed folder rename"
stop_stored || fail "the daemon did not stop"
start_stored
adm folder list user/ann | cut -f1 | grep -E '/(Work|Archive)' > "$tmp/list"
printf 'user/ann/Archive\nuser/ann/Archive/Old\n' | diff - "$tmp/list" || fail "folders after the killed folder rename"
for f in Archive Archive/Old; do
  adm check "user/ann/$f" > "$tmp/check" || fail "check user/ann/$f: $(cat "$tmp/check")"
done
adm folder list user/ann/Archive | grep -q "^user/ann/Archive	primary	2$" || fail "Archive: $(adm folder list user/ann/Archive)"
echo ok
