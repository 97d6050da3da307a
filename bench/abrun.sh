#!/usr/bin/env bash
# The shell side of the benchmarks' A/B harness (bench/bench_util.h has the
# C++ side): runs side A (the product) and side B (its baseline)
# alternately, A B A B ..., prints every pair's wall time and CPU time, the
# medians and the ratio A/B of the medians.
#
# As a program:
#   bench/abrun.sh [-n PAIRS] [-t TITLE] [-a NAME_A] [-b NAME_B]
#                  [-p PREP_A] [-q PREP_B] 'COMMAND_A' 'COMMAND_B'
# runs each command with bash -c; PREP_A / PREP_B (untimed) run before each
# run of their side, e.g. 'rm -f out; sync'.
#
# As a library (source it, then call ab_compare):
#   ab_compare TITLE NAME_A FUNC_A NAME_B FUNC_B [COUNT]
# FUNC_A and FUNC_B are shell functions, run in a subshell and timed.  When
# FUNC_prep exists it runs untimed before each run of FUNC (it may start
# daemons); when FUNC_pids exists it prints process ids (after the prep)
# whose whole process trees' CPU counts for that side, e.g. a daemon the
# side talks to.  COUNT (operations per run) adds per-operation figures.
#
# CPU time is user + system of the side's processes: the subshell and
# every child it waited for, plus the named process trees.  PAIRS comes
# from -n, else AB_PAIRS, else 3.  When AB_TABLE names a file, each
# comparison appends one tab-separated line to it: title, name A, median
# wall A, median CPU A, name B, median wall B, median CPU B, wall ratio,
# CPU ratio, count.  A failing run (status not 0) stops the comparison and
# makes ab_compare return 1.

ab_ticks=$(getconf CLK_TCK)

# Clock ticks of CPU of the process trees under the given ids: for every
# process in them, its own user and system time and that of its children
# it waited for (a child that ended between two readings moves into its
# parent's share, so a sum over the tree stays consistent).
ab_tree_ticks() {
  [ $# -gt 0 ] || { echo 0; return; }
  cat /proc/[0-9]*/stat 2> /dev/null | awk -v roots=" $* " '
    {
      # The command name may hold spaces and parentheses: fields count
      # from the last ")".
      i = match($0, /\) [^)]*$/)
      if (!i) next
      pid = $1
      split(substr($0, i + 2), f, " ")
      ppid[pid] = f[2]
      ticks[pid] = f[12] + f[13] + f[14] + f[15]
    }
    END {
      total = 0
      for (p in ticks) {
        q = p
        for (d = 0; d < 64 && q > 1; d++) {
          if (index(roots, " " q " ")) { total += ticks[p]; break }
          q = ppid[q]
        }
      }
      print total
    }'
}

# Ticks of the waited-for children of the shell with id $1.
ab_child_ticks() {
  awk '{ i = match($0, /\) [^)]*$/); split(substr($0, i + 2), f, " "); print f[14] + f[15] }' "/proc/$1/stat"
}

# ab_side FUNC: runs FUNC's prep, then FUNC timed; sets ab_wall and ab_cpu
# (seconds).  Returns FUNC's status.
ab_side() {
  local fn=$1 t0 t1 c0 c1 d0 d1 rc=0 me=$BASHPID
  local -a pids=()
  if declare -F "${fn}_prep" > /dev/null; then "${fn}_prep" || return 1; fi
  if declare -F "${fn}_pids" > /dev/null; then read -ra pids <<< "$("${fn}_pids")"; fi
  d0=$(ab_tree_ticks "${pids[@]}")
  c0=$(ab_child_ticks "$me")
  t0=$EPOCHREALTIME
  ("$fn") || rc=$?
  t1=$EPOCHREALTIME
  c1=$(ab_child_ticks "$me")
  d1=$(ab_tree_ticks "${pids[@]}")
  ab_wall=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", b - a }')
  ab_cpu=$(awk -v t="$ab_ticks" -v x=$((c1 - c0 + d1 - d0)) 'BEGIN { printf "%.3f", x / t }')
  return $rc
}

ab_median() {
  tr ' ' '\n' | grep . | sort -g | awk '{ v[NR] = $1 }
    END { if (NR % 2) print v[(NR + 1) / 2]; else printf "%.3f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

ab_compare() {
  local title=$1 name_a=$2 fn_a=$3 name_b=$4 fn_b=$5 count=${6:-} pairs=${AB_PAIRS:-3} p
  local aw="" ac="" bw="" bc="" w1 c1
  echo "== $title: A = $name_a, B = $name_b"
  printf '   %-6s %10s %10s %10s %10s\n' pair "A wall s" "A cpu s" "B wall s" "B cpu s"
  for p in $(seq 1 "$pairs"); do
    if ! ab_side "$fn_a"; then echo "   FAILED: $name_a (pair $p)"; return 1; fi
    w1=$ab_wall c1=$ab_cpu
    if ! ab_side "$fn_b"; then echo "   FAILED: $name_b (pair $p)"; return 1; fi
    printf '   %-6s %10s %10s %10s %10s\n' "$p" "$w1" "$c1" "$ab_wall" "$ab_cpu"
    aw+=" $w1" ac+=" $c1" bw+=" $ab_wall" bc+=" $ab_cpu"
  done
  local maw mac mbw mbc
  maw=$(echo "$aw" | ab_median) mac=$(echo "$ac" | ab_median)
  mbw=$(echo "$bw" | ab_median) mbc=$(echo "$bc" | ab_median)
  awk -v aw="$maw" -v ac="$mac" -v bw="$mbw" -v bc="$mbc" -v n="$count" 'BEGIN {
    printf "   %-6s %10.3f %10.3f %10.3f %10.3f   ratio A/B: wall %.2f, cpu %.2f\n", "median", aw, ac, bw, bc,
      (bw > 0 ? aw / bw : 0), (bc > 0 ? ac / bc : 0)
    if (n > 0)
      printf "   per operation (%d per run): A %.0f/s, %.2f ms CPU; B %.0f/s, %.2f ms CPU\n", n, n / aw, ac * 1000 / n,
        n / bw, bc * 1000 / n
  }'
  if [ -n "${AB_TABLE:-}" ]; then
    printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$title" "$name_a" "$maw" "$mac" "$name_b" "$mbw" "$mbc" \
      "$(awk -v a="$maw" -v b="$mbw" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }')" \
      "$(awk -v a="$mac" -v b="$mbc" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }')" "$count" >> "$AB_TABLE"
  fi
}

# The program: two command lines.
if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  set -uo pipefail
  title="A/B" name_a="" name_b="" prep_a="" prep_b=""
  while getopts "n:t:a:b:p:q:" o; do
    case $o in
      n) AB_PAIRS=$OPTARG ;;
      t) title=$OPTARG ;;
      a) name_a=$OPTARG ;;
      b) name_b=$OPTARG ;;
      p) prep_a=$OPTARG ;;
      q) prep_b=$OPTARG ;;
      *) echo "usage: abrun.sh [-n PAIRS] [-t TITLE] [-a NAME_A] [-b NAME_B] [-p PREP_A] [-q PREP_B] CMD_A CMD_B" >&2
         exit 64 ;;
    esac
  done
  shift $((OPTIND - 1))
  [ $# -eq 2 ] || { echo "usage: abrun.sh [options] CMD_A CMD_B" >&2; exit 64; }
  cmd_a=$1 cmd_b=$2
  # shellcheck disable=SC2317  # called through ab_compare
  side_a() { bash -c "$cmd_a"; }
  # shellcheck disable=SC2317
  side_b() { bash -c "$cmd_b"; }
  # shellcheck disable=SC2317
  side_a_prep() { [ -z "$prep_a" ] || bash -c "$prep_a"; }
  # shellcheck disable=SC2317
  side_b_prep() { [ -z "$prep_b" ] || bash -c "$prep_b"; }
  ab_compare "$title" "${name_a:-$cmd_a}" side_a "${name_b:-$cmd_b}" side_b
  exit $?
fi
