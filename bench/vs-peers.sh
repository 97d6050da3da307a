#!/usr/bin/env bash
# Delivery, backup and restore of our store beside what an administrator
# would otherwise use, on the file system that holds DIR, in one table:
#   orvdeliver                against Dovecot's LDA (dovecot-lda), one
#                             process per message, DELIVERIES messages
#   orvbackup -f (full)       against tar -cf of the partition
#   orvrestore -f             against tar -xf of that tar file, then sync
#   orvbackup -d (incremental after 1 % new mail) against a full backup
# Each row runs the two sides alternately (A B A B, PAIRS pairs, through
# bench/abrun.sh) and gives wall time and CPU time per side and the ratios
# of the medians.  Never run by CI: it installs Dovecot's LDA from the
# distribution when missing (apt-get install -y dovecot-core) and stops a
# system instance that the installation started.
#
# Everything lives in a temporary directory under DIR, removed at the end:
# a store of about SIZE_MB megabytes (default 1024) made by bench/peer_fill
# (a fixed-seed mix of sizes from 2 KB to 500 KB, one message in ten
# delivered to 2 to 5 users at once and so shared by them; about 100
# messages per user), orvstored on it, and a private Dovecot instance
# (protocols = none: only its authentication service, which the LDA asks
# for the user; Maildir; passwd-file users) for the LDA.
#
# Sync settings: our store runs at its default sync level (every message
# file and index flushed) for everything timed; it is filled at level 0
# (not timed).  Dovecot runs with its default mail_fsync = optimized, under
# which its LDA flushes the new message file, the new/ directory and
# dovecot-uidlist on each delivery (its index files are not flushed).  tar
# never syncs; the restore row's tar side ends with sync, as a restore must
# leave the files on disk.  Backups and tar write to DIR's file system and
# do not sync; dirty pages are flushed before every run.  CPU time is that
# of the side's processes and of the daemons it uses: orvstored for ours,
# the whole Dovecot instance for the LDA.
#
# Usage: bench/vs-peers.sh DIR [BUILD_DIR]   (BUILD_DIR: build/release)
#   SIZE_MB=1024    size of the store (use e.g. 200 for a quick run)
#   DELIVERIES=2000 messages per delivery run
#   PAIRS=3         alternations per row
#   ROWS="delivery backup incremental restore"   the rows to run (the restore
#                   row alone still makes its volume and tar file, untimed)
# Use a Release build without sanitizers, and run it on a journaled ext4 or
# XFS, as production uses: on a file system without a journal, flushes cost
# much less and the delivery and restore rows do not show what they will.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
dir=$(cd "${1:?usage: vs-peers.sh DIR [BUILD_DIR]}" && pwd)
build=$(cd "${2:-$here/../build/release}" && pwd)
size_mb=${SIZE_MB:-1024}
deliveries=${DELIVERIES:-2000}
export AB_PAIRS=${PAIRS:-3}
rows=" ${ROWS:-delivery backup incremental restore} "
want() { [[ $rows == *" $1 "* ]]; }
# shellcheck source=bench/abrun.sh
. "$here/abrun.sh"
# shellcheck source=bench/peer_lib.sh
. "$here/peer_lib.sh"
for p in tools/orvstored tools/orvadm tools/orvdeliver backup/orvbackup backup/orvrestore bench/peer_fill; do
  [ -x "$build/$p" ] || { echo "vs-peers.sh: no $build/$p" >&2; exit 1; }
done
if ldd "$build/tools/orvdeliver" 2>/dev/null | grep -q 'lib[at]san'; then
  echo "warning: $build is built with a sanitizer; figures are not representative" >&2
fi

# -- the file system --
fstype=$(findmnt -no FSTYPE -T "$dir")
fsdev=$(findmnt -no SOURCE -T "$dir")
journal="?"
case $fstype in
  xfs) journal=yes ;;
  ext3|ext4)
    journal=no
    if compgen -G "/proc/fs/jbd2/$(basename "$fsdev")-*" > /dev/null; then journal=yes; fi ;;
esac
fsdesc="$fstype on $fsdev, journal: $journal"
echo "file system: $fsdesc ($(findmnt -no OPTIONS -T "$dir"))"
if [ "$journal" != yes ]; then
  echo "warning: not a journaled ext4 or XFS; flushes are cheaper here than in production" >&2
fi

# -- Dovecot's LDA from the distribution --
lda=/usr/lib/dovecot/dovecot-lda
dc_version="(not run)"
if want delivery && { ! [ -x "$lda" ] || ! command -v dovecot > /dev/null; }; then
  install_dovecot_package dovecot-core
fi
if want delivery; then dc_version=$(dovecot --version | cut -d' ' -f1); fi

tmp=$(mktemp -d "$dir/vs-peers.XXXXXX")
chmod 755 "$tmp"  # Dovecot's unprivileged processes walk into it
dc=$tmp/dc
stored_pid=""
dc_pid=""
# shellcheck disable=SC2317  # run by the trap
cleanup() {
  stop_pid "$stored_pid"
  stop_pid "$dc_pid"
  rm -rf "$tmp"
}
trap cleanup EXIT

# -- our store --
export ORV_CONFIG=$tmp/orv.conf
cat > "$ORV_CONFIG" <<CONF
local.store.dir = $tmp/store
store.partition.primary.path = $tmp/p1
local.log.target = stderr
local.hostname = bench.test
CONF
# The same store at sync level 0, for filling it (not timed).
fill_conf=$tmp/orv-fill.conf
{ cat "$ORV_CONFIG"; echo "local.store.synclevel = 0"; } > "$fill_conf"
adm() { "$build/tools/orvadm" "$@"; }
start_stored() {
  "$build/tools/orvstored" 2>> "$tmp/stored.log" || { cat "$tmp/stored.log" >&2; return 1; }
  stored_pid=$(adm status | sed -n 's/.*pid \([0-9]*\).*/\1/p')
  [ -n "$stored_pid" ]
}
adm init > /dev/null
start_stored

# About 100 messages per user (the mean message is about 38 KB).
users=$((size_mb * 1000 / 3800))
[ "$users" -ge 2 ] || users=2
dusers=20  # the delivery rows' users, fresh ones for every run
echo "creating $users users and $((dusers * AB_PAIRS)) delivery users"
for i in $(seq 0 $((users - 1))); do adm user create "u$i" > /dev/null; done
for r in $(seq 1 "$AB_PAIRS"); do
  for k in $(seq 0 $((dusers - 1))); do adm user create "do${r}_$k" > /dev/null; done
done
ORV_CONFIG=$fill_conf "$build/bench/peer_fill" store --seed 1 --mb "$size_mb" --users "$users" | tee "$tmp/fill.out"
messages=$(sed -n 's/^store: \([0-9]*\) messages.*/\1/p' "$tmp/fill.out")
"$build/bench/peer_fill" files --seed 2 --count "$deliveries" "$tmp/msgs" > /dev/null
chmod -R a+rX "$tmp/msgs"
sync
store_mb=$(du -sm "$tmp/p1" | cut -f1)
echo "partition: $store_mb MB on disk, $(find "$tmp/p1" -name '*.msg' -links +1 | wc -l) files shared"

table=$tmp/table.tsv
: > "$table"
export AB_TABLE=$table

dc_fsync="(not run)"
if want delivery; then
# -- delivery: orvdeliver against dovecot-lda --
mkdir -p "$dc/mail"
if [ "$(id -u)" = 0 ]; then
  # The LDA never delivers as root: the mail belongs to nobody.
  mail_uid=$(id -u nobody) mail_gid=$(id -g nobody)
  chown "$mail_uid:$mail_gid" "$dc/mail"
else
  mail_uid=$(id -u) mail_gid=$(id -g)
fi
for r in $(seq 1 "$AB_PAIRS"); do
  for k in $(seq 0 $((dusers - 1))); do echo "dd${r}_$k:{PLAIN}x:$mail_uid:$mail_gid::$dc/home/dd${r}_$k::"; done
done > "$dc/passwd"
cat > "$dc/dc.conf" <<CONF
base_dir = $dc/run
state_dir = $dc/state
instance_name = dovecot-vs-peers
log_path = $dc/dc.log
protocols = none
mail_location = maildir:$dc/mail/%u
first_valid_uid = $mail_uid
passdb {
  driver = passwd-file
  args = scheme=PLAIN $dc/passwd
}
userdb {
  driver = passwd-file
  args = $dc/passwd
}
CONF
dc_fsync=$(doveconf -c "$dc/dc.conf" -h mail_fsync)
dovecot -c "$dc/dc.conf" -F 2> "$dc/dc.err" &
dc_pid=$!
for _ in $(seq 1 100); do [ -S "$dc/run/auth-userdb" ] && break; sleep 0.1; done
[ -S "$dc/run/auth-userdb" ] || { echo "Dovecot did not start" >&2; cat "$dc/dc.err" >&2; exit 1; }

run=0
deliver_ours_prep() { run=$((run + 1)); sync; }
deliver_ours_pids() { echo "$stored_pid"; }
deliver_ours() {
  local i
  for i in $(seq 0 $((deliveries - 1))); do
    "$build/tools/orvdeliver" "do${run}_$((i % dusers))" < "$tmp/msgs/$i.eml" || return 1
  done
}
deliver_dc_prep() { sync; }
deliver_dc_pids() { echo "$dc_pid"; }
deliver_dc() {
  local i
  for i in $(seq 0 $((deliveries - 1))); do
    "$lda" -c "$dc/dc.conf" -d "dd${run}_$((i % dusers))" -f sender@example.com < "$tmp/msgs/$i.eml" || return 1
  done
}
ab_compare "delivery of $deliveries messages, one process each" orvdeliver deliver_ours "dovecot-lda" deliver_dc \
  "$deliveries"
stop_pid "$dc_pid"
dc_pid=""

fi

# -- full backup against tar --
full_prep() { rm -f "$tmp/vol"; sync; }
full_pids() { echo "$stored_pid"; }
full() { "$build/backup/orvbackup" -f "$tmp/vol" / > /dev/null 2>> "$tmp/backup.log"; }
tarc_prep() { rm -f "$tmp/vol.tar"; sync; }
tarc() { tar -cf "$tmp/vol.tar" -C "$tmp/p1" .; }
if want backup; then
  ab_compare "full backup of $messages messages" "orvbackup -f" full "tar -cf" tarc
elif want restore; then
  full_prep && full && tarc_prep && tarc
fi

if want incremental; then
# -- incremental after 1 % new mail against full --
sleep 1
since=$(date +%Y%m%d:%H%M%S)
sleep 1
new=$((messages / 100))
[ "$new" -ge 1 ] || new=1
ORV_CONFIG=$fill_conf "$build/bench/peer_fill" store --seed 3 --count "$new" --users "$users" > /dev/null
sync
incr_prep() { rm -f "$tmp/vol.inc"; sync; }
incr_pids() { echo "$stored_pid"; }
incr() { "$build/backup/orvbackup" -d "$since" -f "$tmp/vol.inc" / > /dev/null 2>> "$tmp/backup.log"; }
full2_prep() { rm -f "$tmp/vol.full"; sync; }
full2_pids() { echo "$stored_pid"; }
full2() { "$build/backup/orvbackup" -f "$tmp/vol.full" / > /dev/null 2>> "$tmp/backup.log"; }
ab_compare "incremental after $new new messages (1 %)" "orvbackup -d" incr "orvbackup -f" full2
rm -f "$tmp/vol.full" "$tmp/vol.inc"

fi

# -- restore against tar -xf + sync --
# The store emptied and its daemon started again on it before each restore.
restore_prep() {
  stop_pid "$stored_pid"
  stored_pid=""
  rm -rf "$tmp/store" "$tmp/p1"
  adm init > /dev/null
  start_stored
  sync
}
restore_pids() { echo "$stored_pid"; }
restore() { "$build/backup/orvrestore" -f "$tmp/vol" > /dev/null 2>> "$tmp/restore.log"; }
tarx_prep() { rm -rf "$tmp/tarx"; mkdir "$tmp/tarx"; sync; }
tarx() { tar -xf "$tmp/vol.tar" -C "$tmp/tarx" && sync; }
if want restore; then ab_compare "restore of $messages messages" orvrestore restore "tar -xf + sync" tarx; fi

# -- the table --
echo
echo "Store: $messages messages, $store_mb MB on disk; $fsdesc; $(nproc) CPUs; Dovecot $dc_version"
echo "(mail_fsync = $dc_fsync); our store at its default sync level; medians of $AB_PAIRS alternating pairs."
echo
echo "| row | ours: time / CPU (s) | peer | peer: time / CPU (s) | time ratio | CPU ratio |"
echo "|---|---|---|---|---|---|"
while IFS=$'\t' read -r title na wa ca nb wb cb rw rc count; do
  extra=""
  if [ -n "$count" ]; then
    extra=$(awk -v n="$count" -v wa="$wa" -v wb="$wb" -v ca="$ca" -v cb="$cb" 'BEGIN {
      printf " (%.0f vs %.0f per s; %.1f vs %.1f ms CPU each)", n / wa, n / wb, ca * 1000 / n, cb * 1000 / n }')
  fi
  echo "| $title$extra: $na | $wa / $ca | $nb | $wb / $cb | $rw | $rc |"
done < "$table"
