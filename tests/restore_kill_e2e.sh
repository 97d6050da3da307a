#!/usr/bin/env bash
# A restore killed at chosen points and run again ends with the store one
# uninterrupted restore makes, compared record by record through a backup
# of each.
#
# A small store (three users on two partitions, a few folders, a message
# shared by two users, seen marks, an ACL, and uid gaps from an expunge) is
# backed up.  Store A is one whole restore of that volume.  Store B, for
# each of eight kill points drawn from a fixed seed, is wiped and restored
# with strace killing orvrestore (SIGKILL) at the Nth write, pwrite64,
# fdatasync, rename, link or syncfs; the run again is itself killed at a
# second point (which it may not reach), and then run until it exits 0.
# Three more kill points fall inside the flush of the last batch of folders
# (the restore flushes the folders it left four at a time here): after its
# first syncfs, before any header is written; between two header writes;
# and after the header writes, before the syncfs that makes them durable.  B
# and A are then backed up and the two volumes compared: every record's
# attributes as orvrestore -t -v shows them, without the times and uids a
# restore gives afresh (a message restored again after a kill may get a
# new uid), and the MD5 of each record's data (message bytes, folder ACL
# and expire rule).  orvadm check must find nothing in either store.
# Also counted on the whole restore: two syncfs per batch of folders (one
# for their files, one for their headers), and no flush of any message
# file, nor of the index of a folder the restore made when it is made or
# rewritten for want of room.
# Usage: restore_kill_e2e.sh BINDIR (the build directory).
set -uo pipefail
bin=$1
bindir=$bin/tools
here=$(cd "$(dirname "$0")" && pwd)
. "$here/e2e_lib.sh"
count_failures
command -v strace > /dev/null || die "strace is not installed"
command -v python3 > /dev/null || die "python3 is not installed"
mkdir -p "$tmp/root/config"
write_config "local.servername = e2ehost" "local.serverroot = $tmp/root" "local.restore.batchfolders = 4" \
  "local.restore.batchseconds = 600"
folders="user/joe user/joe/Sent user/joe/Lists user/ann user/bob user/bob/Bulk"
check_all() {
  for f in $folders; do
    adm check "$f" > "$tmp/check" 2>&1 || fail "$1: orvadm check $f: $(cat "$tmp/check")"
  done
}
msg() { printf 'From: a@example.com\r\nTo: %s@example.com\r\nSubject: %s\r\n\r\n%s\r\n' "$1" "$2" "$3"; }
deliver() { timeout 30 "$bindir/orvdeliver" "$@" > /dev/null; }
# The store as a user sees it, through a backup of it: one block per
# record, the attributes without times, uids or the folder's last uid, the
# message record's uid in its name replaced by its place in the folder,
# and the MD5 of the record's data (a link's data names the uid it links
# to, so only its kind is kept).
digest() {
  timeout 60 "$bin/backup/orvbackup" -f "$tmp/$1.vol" / > /dev/null 2> "$tmp/err" || {
    fail "orvbackup of $1: $(cat "$tmp/err")"
    return
  }
  timeout 60 "$bin/backup/orvrestore" -t -v -f "$tmp/$1.vol" > "$tmp/$1.list" 2> "$tmp/err" || {
    fail "orvrestore -t of $1: $(cat "$tmp/err")"
    return
  }
  python3 "$here/bkvol_digest.py" "$tmp/$1.vol" > "$tmp/$1.md5" || fail "bkvol_digest of $1"
  awk -v md5="$tmp/$1.md5" '
    BEGIN { FS = "\t" }
    NF == 4 && $1 ~ /^\// {
      getline d < md5
      split(d, t, " ")
      id = $1
      if ($2 == "message" || $2 == "link") {
        folder = id; sub(/\/[0-9]+$/, "", folder)
        id = folder "/#" (++n[folder])
      }
      print id "\t" $2 "\t" $4 "\t" ($2 == "link" ? "link" : t[2])
      next
    }
    /^ *(Object Id|UID|Last UID|Last Update|Timestamp|Sent Date|Backup Date) *:/ { next }
    { print }
  ' "$tmp/$1.list" > "$tmp/$1.digest"
}
restore() { timeout 60 "$bin/backup/orvrestore" -f "$tmp/vol" "$@"; }
# restore_killed CALL N: orvrestore killed by strace at the Nth CALL; its
# status (0 when it ended before).
restore_killed() {
  (ASAN_OPTIONS=detect_leaks=0 timeout 120 strace -f -qq -o /dev/null -e trace="$1" \
    -e inject="$1":signal=KILL:when="$2" "$bin/backup/orvrestore" -f "$tmp/vol" > /dev/null 2>&1
    echo $? > "$tmp/rc") 2> /dev/null
  cat "$tmp/rc"
}
# After a kill the daemon is restarted, as an operator would, so its
# recovery deals with the dead process's open transaction at once.
restart_after_kill() {
  kill -KILL "$pid" 2> /dev/null
  pid=""
  start_stored
}

init_stored
for u in joe ann; do adm user create $u --partition primary > /dev/null || die "user create $u"; done
adm user create bob --partition second > /dev/null || die "user create bob"
for f in user/joe/Sent user/joe/Lists user/bob/Bulk; do adm folder create $f > /dev/null || die "folder create $f"; done
for i in 1 2 3 4; do deliver joe < <(msg joe "joe $i" "body $i") || die "deliver joe $i"; done
deliver joe ann < <(msg joe shared "to joe and ann") || die "deliver shared"
deliver ann < <(msg ann ann "ann's own") || die "deliver ann"
for i in 1 2 3; do deliver -m Sent joe < <(msg joe "sent $i" "sent body $i") || die "deliver sent"; done
for i in $(seq 1 6); do deliver -m Lists joe < <(msg joe "list $i" "$(head -c $((i * 3000)) /dev/zero | tr '\0' x)") ||
  die "deliver list $i"; done
for i in 1 2 3 4 5; do deliver bob < <(msg bob "bob $i" "bob's $i") || die "deliver bob $i"; done
# More messages than a new index has room for: restoring them rewrites
# the index (a rename) inside the folder.
for i in $(seq 1 104); do deliver -m Bulk bob < <(msg bob "bulk $i" "bulk $i") || die "deliver bulk $i"; done
# Gaps in the uids: a run again gives new uids to what a kill lost, and
# the marks of the old ones must not stick to other messages.
adm expunge user/bob 1,3 > /dev/null || die "expunge bob"
adm expunge user/joe/Lists 2 > /dev/null || die "expunge Lists"
adm seen set user/joe joe 1:2,5 > /dev/null || die "seen joe"
adm seen set user/bob bob 4 > /dev/null || die "seen bob"
adm seen set user/joe/Lists joe 4:5 > /dev/null || die "seen Lists"
adm acl set user/joe/Sent ann lr > /dev/null || die "acl set"
timeout 60 "$bin/backup/orvbackup" -f "$tmp/vol" / > /dev/null 2> "$tmp/err" || die "orvbackup: $(cat "$tmp/err")"

# Store A: one whole restore, traced (the calls to kill at, and the flushes).
wipe_stored
ASAN_OPTIONS=detect_leaks=0 timeout 120 strace -f -qq -y -o "$tmp/trace" \
  -e trace=write,pwrite64,link,rename,fdatasync,fsync,syncfs "$bin/backup/orvrestore" -f "$tmp/vol" \
  > /dev/null 2> "$tmp/err" || fail "whole restore: $(cat "$tmp/err")"
check_all "whole restore"
digest A
grep -q $'\tlink\t' "$tmp/A.digest" || fail "the shared message is not a link in the backup of A"
grep -q 'Peruser Flag: [13]$' "$tmp/A.digest" || fail "no seen message in the backup of A"
# strace counts the calls to inject at in each thread: the calls of the
# thread that makes most of them (the restore's, or its flusher's for
# syncfs and the header writes that come between).
count() { grep -oE "^[0-9]+ +$1\(" "$tmp/trace" | awk '{ n[$1]++ } END { for (t in n) if (n[t] > m) m = n[t]; print m + 0 }'; }
flusher=$(awk '/ syncfs\(/ { print $1; exit }' "$tmp/trace")
nfolders=$(echo $folders | wc -w)
# Two flushes per batch of four folders (six folders: two batches), none
# for a rewrite of an index that ran out of room (the new index counts only
# what was flushed, as the old one did).  No index header is flushed on
# its own.
rewrites=$(grep -cE '^[0-9]+ +rename\(.*index\.new' "$tmp/trace")
[ "$rewrites" -gt 0 ] || fail "no index was rewritten"
[ "$(count syncfs)" -eq 4 ] || fail "syncfs calls: $(count syncfs), wanted two per batch (4)"
# The last batch: the pwrite64 calls (numbered among all of them) that
# write a fixed index header between its two syncfs.
mapfile -t headers < <(awk -v t="$flusher" '
  $1 != t { next }
  / pwrite64\(/ { n++; if (/store\.idx>, .*, 80, 0\) = 80$/) h[n] = 1 }
  / syncfs\(/ { cut[++s] = n }
  END { for (i = cut[s - 1] + 1; i <= cut[s]; i++) if (i in h) print i }' "$tmp/trace")
[ "${#headers[@]}" -ge 2 ] || fail "the last batch wrote ${#headers[@]} headers, wanted at least two"
msgsyncs=$(grep -cE '(fdatasync|fsync)\([0-9]+<[^>]*\.msg>' "$tmp/trace")
[ "$msgsyncs" -eq 0 ] || fail "$msgsyncs flushes of message files"
# Every folder is new: its index is flushed with its batch, not when it is
# made or rewritten (joe's Sent aside: its ACL is set, and flushed, on its
# own).
idxsyncs=$(grep -E '(fdatasync|fsync)\([0-9]+<[^>]*(store\.idx|index\.new)[^>]*>' "$tmp/trace" | grep -v '=+Sent/')
[ -z "$idxsyncs" ] || fail "flushes of a new folder's index on its own: $idxsyncs"
echo "flushes of a whole restore of $(grep -c $'\tmessage\t' "$tmp/A.digest") messages in $nfolders folders:" \
  "$(count syncfs) syncfs, $(count fdatasync) fdatasync, $(count fsync) fsync"

# Store B, eight times: killed, killed again (maybe), run until done.
RANDOM=20261207
calls=(syncfs write pwrite64 fdatasync rename link syncfs pwrite64)
for k in 0 1 2 3 4 5 6 7 8 9 10; do
  c1=${calls[$((k % 8))]}
  c2=${calls[$(((k + 3) % 8))]}
  t1=$(count "$c1")
  t2=$(count "$c2")
  [ "$t1" -gt 0 ] && [ "$t2" -gt 0 ] || { fail "no $c1 or $c2 in the trace of a whole restore"; continue; }
  n1=$((RANDOM % t1 + 1))
  n2=$((RANDOM % t2 + 1))
  # The first kill is at the first flush after joe's Lists was written
  # (its batch's), after all its messages and marks were written: the run
  # again gives new uids to what follows the gap.
  if [ $k -eq 0 ]; then
    c1=syncfs
    n1=$(awk '/ syncfs\(/ { s++; if (seen) { print s; exit }; next } /Lists/ { seen = 1 }' "$tmp/trace")
    [ -n "$n1" ] || { fail "no flush after joe's Lists in the trace"; continue; }
  fi
  # Inside the last batch's flush: at its first header write, at its
  # second, and at the syncfs after its headers (the last one).
  case $k in
    8) c1=pwrite64 n1=${headers[0]:-0} ;;
    9) c1=pwrite64 n1=${headers[1]:-0} ;;
    10) c1=syncfs n1=$(count syncfs) ;;
  esac
  t1=$(count "$c1")
  where="killed at $c1 $n1 of $t1, then at $c2 $n2"
  wipe_stored
  rc=$(restore_killed "$c1" "$n1")
  [ "$rc" -ne 0 ] || { fail "orvrestore was not killed at $c1 $n1 of $t1"; continue; }
  restart_after_kill
  rc=$(restore_killed "$c2" "$n2")
  [ "$rc" -eq 0 ] || restart_after_kill
  for _ in 1 2 3; do
    restore > /dev/null 2> "$tmp/err" && break
    fail "$where, run again: $(cat "$tmp/err")"
  done
  check_all "$where"
  digest B
  diff "$tmp/A.digest" "$tmp/B.digest" > "$tmp/diff" || fail "$where: differs from a whole restore: $(cat "$tmp/diff")"
done
stop_stored || fail "orvstored did not stop"
finish "restore kill e2e"
