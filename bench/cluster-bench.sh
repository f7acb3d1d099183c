#!/usr/bin/env bash
# A batch through Slurm against the same batch converted locally, side by
# side in one run. See bench/README.md ("A batch on a Slurm cluster").
#
#   bench/cluster-bench.sh [--seconds N] [--rounds R] [--keep DIR]
#
# Four 640x480 clips (MPEG-4 Part 2 + MP3, 25 frames/s, N seconds long,
# default 20) are converted R times (default 2) each way, alternating:
#   local    vexav-convert --jobs 2 (one codec thread per job)
#   cluster  vexav-convert --cluster slurm on the one-node cluster of
#            scripts/slurm-local.sh (2 CPUs, --cpus-per-task 1: two tasks
#            at a time, one codec thread each)
# and prints the wall times, their ratio (target: at most 1.15) and the time
# from submission to the first task running (squeue polled every 50 ms), and
# the CPU time the front end spent following the batch (its polling).
# Needs root: it starts the one-node cluster when none answers and stops it
# again at the end.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/common.sh"

seconds=20
rounds=2
keep=""
while [ "$#" -gt 0 ]; do
  case "$1" in
    --seconds) seconds="$2"; shift 2 ;;
    --rounds) rounds="$2"; shift 2 ;;
    --keep) keep="$2"; shift 2 ;;
    -h|--help) sed -n '2,18p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "cluster-bench.sh: unknown argument '$1'" >&2; exit 2 ;;
  esac
done

VEXAV_PACKAGES+=(time)
vexav_install_packages
build_log="$VEXAV_BUILD/cluster-bench-build.log"
mkdir -p "$VEXAV_BUILD"
{
  cmake -S "$VEXAV_ROOT" -B "$VEXAV_BUILD" -DCMAKE_BUILD_TYPE=Release
  cmake --build "$VEXAV_BUILD" -j"$(nproc)" --target vexav-convert vexav-mediagen
} >"$build_log" 2>&1 || { cat "$build_log" >&2; exit 1; }
convert="$VEXAV_BUILD/bin/vexav-convert"
mediagen="$VEXAV_BUILD/bin/vexav-mediagen"

if [ -n "$keep" ]; then
  work="$keep"
  mkdir -p "$work"
else
  work="$(mktemp -d /tmp/vexav-cluster-bench-XXXXXX)"
fi
started_cluster=0
cleanup() {
  [ "$started_cluster" = 1 ] && "$VEXAV_ROOT/scripts/slurm-local.sh" stop
  [ -z "$keep" ] && rm -rf "$work"
  return 0
}
trap cleanup EXIT

eval "$("$VEXAV_ROOT/scripts/slurm-local.sh" env)"
if ! sinfo --noheader >/dev/null 2>&1; then
  "$VEXAV_ROOT/scripts/slurm-local.sh" start
  started_cluster=1
fi

clips=()
for n in 1 2 3 4; do
  clip="$work/clip$n.avi"
  [ -s "$clip" ] || "$mediagen" --size 640x480 --rate 25 --duration "$seconds" \
    --video mpeg4 --audio mp3 "$clip" >/dev/null
  clips+=("$clip")
done

now() { date +%s.%N; }

local_run() {
  rm -rf "$work/local"
  local t0 t1
  t0=$(now)
  "$convert" --jobs 2 --output-dir "$work/local" "${clips[@]}" >/dev/null 2>&1
  t1=$(now)
  echo "$t0 $t1" | awk '{printf "%.2f", $2 - $1}'
}

# Prints "<wall> <submission to first task running> <front end's CPU s while
# following>".
cluster_run() {
  rm -rf "$work/cluster"
  local t0 t1 t2 folder job cpu
  t0=$(now)
  { read -r job; read -r folder; } < <("$convert" --cluster slurm --detach \
    --cpus-per-task 1 --output-dir "$work/cluster" "${clips[@]}" 2>/dev/null)
  until squeue --noheader --array --jobs="$job" --states=RUNNING --format=%i | grep -q .; do
    sleep 0.05
  done
  t1=$(now)
  /usr/bin/time -f '%U %S' -o "$work/front-end.cpu" \
    "$convert" --cluster-status "$folder" --wait >/dev/null 2>&1
  t2=$(now)
  cpu=$(awk '{printf "%.2f", $1 + $2}' "$work/front-end.cpu")
  echo "$t0 $t1 $t2 $cpu" | awk '{printf "%.2f %.2f %s\n", $3 - $1, $2 - $1, $4}'
}

echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "four 640x480 clips of ${seconds} s; $(nproc) CPUs; $rounds rounds"
printf '%-6s %10s %12s %8s %22s %16s\n' round local_s cluster_s ratio submit_to_running_s front_end_cpu_s
sum_local=0
sum_cluster=0
for r in $(seq 1 "$rounds"); do
  l=$(local_run)
  read -r c start cpu < <(cluster_run)
  ratio=$(echo "$c $l" | awk '{printf "%.3f", $1 / $2}')
  printf '%-6s %10s %12s %8s %22s %16s\n' "$r" "$l" "$c" "$ratio" "$start" "$cpu"
  sum_local=$(echo "$sum_local $l" | awk '{print $1 + $2}')
  sum_cluster=$(echo "$sum_cluster $c" | awk '{print $1 + $2}')
done
echo "cluster / local over all rounds: $(echo "$sum_cluster $sum_local" | awk '{printf "%.3f", $1 / $2}') (target: at most 1.15)"
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
