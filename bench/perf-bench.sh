#!/usr/bin/env bash
# Speed and scale of the converter: the engine's own share of the CPU, codec
# threads, parallel jobs and peak memory. See bench/README.md.
#
#   bench/perf-bench.sh [share|threads|jobs|memory|all] [--seconds N] [--keep DIR]
#
#   share    engine's own share of the CPU (--timings) for a 1280x720 and a
#            640x480 clip, with one codec thread and with automatic threads
#   threads  one 1280x720 file: wall time with --codec-threads 1 and with
#            automatic threads, and their ratio
#   jobs     four 640x480 files: --jobs 1 --codec-threads 1 against --jobs 2
#            (one codec thread per job), and their ratio
#   memory   peak resident memory of one 1280x720 conversion with one codec
#            thread, against vexav-codec-floor (the same codecs without the
#            engine) on the same clip
#   all      every one of them (the default), then a summary
#
# Clips are MPEG-4 Part 2 + MP3 at 25 frames/s, N seconds long (default 20),
# made by vexav-mediagen; conversions use vexav-convert's default mode (the
# window's MPEG-4 preset). Builds vexav-convert, vexav-mediagen and
# vexav-codec-floor (Release, into build/ or $VEXAV_BUILD) first. The load
# average is printed before and after: other work on the machine changes
# every wall-time figure.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/common.sh"

what=all
seconds=20
keep=""
while [ "$#" -gt 0 ]; do
  case "$1" in
    share|threads|jobs|memory|all) what="$1"; shift ;;
    --seconds) seconds="$2"; shift 2 ;;
    --keep) keep="$2"; shift 2 ;;
    -h|--help) sed -n '2,24p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "perf-bench.sh: unknown argument '$1'" >&2; exit 2 ;;
  esac
done

VEXAV_PACKAGES+=(time)
vexav_install_packages
mkdir -p "$VEXAV_BUILD"
build_log="$VEXAV_BUILD/perf-bench-build.log"
{
  cmake -S "$VEXAV_ROOT" -B "$VEXAV_BUILD" -DCMAKE_BUILD_TYPE=Release
  cmake --build "$VEXAV_BUILD" -j"$(nproc)" --target vexav-convert vexav-mediagen vexav-codec-floor
} >"$build_log" 2>&1 || { cat "$build_log" >&2; exit 1; }
convert="$VEXAV_BUILD/bin/vexav-convert"
mediagen="$VEXAV_BUILD/bin/vexav-mediagen"
floor="$VEXAV_BUILD/bin/vexav-codec-floor"

if [ -n "$keep" ]; then
  work="$keep"
  mkdir -p "$work"
else
  work="$(mktemp -d /tmp/vexav-perf-XXXXXX)"
  trap 'rm -rf "$work"' EXIT
fi
summary="$work/summary.txt"
: >"$summary"

# The clip of a size, made once.
clip() {
  local size="$1" path="$work/clip-$1.avi"
  [ -f "$path" ] || "$mediagen" --size "$size" --rate 25 --duration "$seconds" --video mpeg4 --audio mp3 "$path" >/dev/null
  echo "$path"
}

# Runs a command under /usr/bin/time; $1: a name for its files. Sets
# wall (s), cpu (s), rss_kb; the command's standard error is in $work/$1.err.
timed() {
  local name="$1"
  shift
  /usr/bin/time -f '%e %U %S %M' -o "$work/$name.time" "$@" >"$work/$name.out" 2>"$work/$name.err" ||
    { cat "$work/$name.err" >&2; echo "perf-bench.sh: '$*' failed" >&2; exit 1; }
  read -r wall user sys rss_kb <"$work/$name.time"
  cpu="$(awk -v u="$user" -v s="$sys" 'BEGIN { printf "%.2f", u + s }')"
}

# A fresh output folder.
outdir() { rm -rf "$work/out-$1" && mkdir -p "$work/out-$1" && echo "$work/out-$1"; }

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }'; }

echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg); $(nproc) processors; clips of $seconds s"

# What the machine can give in parallel right now: two equal CPU-bound
# processes at once against one alone. 0.5 means two free cores, 1.0 means
# other work leaves one core's worth: then neither codec threads nor jobs
# can shorten a conversion, and (b) and (c) measure the load, not the
# converter.
burn() { awk 'BEGIN { for (i = 0; i < 3e7; i++) s += i }'; }
now() { date +%s.%N; }
capacity() {
  local t0 t1 t2
  t0="$(now)"
  burn
  t1="$(now)"
  burn &
  burn &
  wait
  t2="$(now)"
  awk -v a="$t0" -v b="$t1" -v c="$t2" 'BEGIN { printf "%.2f", (c - b) / (b - a) }'
}
parallel_before="$(capacity)"
echo "parallel capacity before: two CPU-bound processes take $parallel_before x the time of one (0.50: two free cores)"
echo "capacity before $parallel_before" >>"$summary"

run_share() {
  echo
  echo "== (a) Engine's own share of the CPU (vexav-convert --timings) =="
  local size threads line
  for size in 1280x720 640x480; do
    for threads in 1 auto; do
      timed "share-$size-$threads" "$convert" --codec-threads "$threads" --timings -d "$(outdir share)" "$(clip "$size")"
      line="$(grep ': timings: ' "$work/share-$size-$threads.err")"
      printf '%-9s codec threads %-4s %s\n' "$size" "$threads" "${line#*: timings: }"
      share="$(sed -nE 's/.*= ([0-9.]+)% of.*/\1/p' <<<"$line")"
      echo "share $size $threads $share" >>"$summary"
    done
  done
}

run_threads() {
  echo
  echo "== (b) Codec threads: one 1280x720 file =="
  local c
  c="$(clip 1280x720)"
  timed threads-1 "$convert" --codec-threads 1 -d "$(outdir threads)" "$c"
  local wall1="$wall" cpu1="$cpu"
  timed threads-auto "$convert" --codec-threads auto -d "$(outdir threads)" "$c"
  local r
  r="$(ratio "$wall" "$wall1")"
  printf 'wall  --codec-threads 1: %6.2f s (CPU %s s)   automatic: %6.2f s (CPU %s s)   ratio %s (target <= 0.65)\n' \
    "$wall1" "$cpu1" "$wall" "$cpu" "$r"
  echo "threads $wall1 $wall $r" >>"$summary"
}

run_jobs() {
  echo
  echo "== (c) Jobs: four 640x480 files =="
  local c i files=()
  c="$(clip 640x480)"
  for i in 1 2 3 4; do
    cp "$c" "$work/four-$i.avi"
    files+=("$work/four-$i.avi")
  done
  timed jobs-1 "$convert" --jobs 1 --codec-threads 1 -d "$(outdir jobs)" "${files[@]}"
  local wall1="$wall" cpu1="$cpu"
  timed jobs-2 "$convert" --jobs 2 -d "$(outdir jobs)" "${files[@]}"
  local r
  r="$(ratio "$wall" "$wall1")"
  printf 'wall  --jobs 1 --codec-threads 1: %6.2f s (CPU %s s)   --jobs 2: %6.2f s (CPU %s s)   ratio %s (target <= 0.6)\n' \
    "$wall1" "$cpu1" "$wall" "$cpu" "$r"
  echo "jobs $wall1 $wall $r" >>"$summary"
}

run_memory() {
  echo
  echo "== (d) Peak memory: one 1280x720 file, one codec thread =="
  local c
  c="$(clip 1280x720)"
  timed memory-convert "$convert" --codec-threads 1 -d "$(outdir memory)" "$c"
  local converter_kb="$rss_kb"
  timed memory-floor "$floor" --threads 1 "$c"
  local floor_kb="$rss_kb" r
  r="$(ratio "$converter_kb" "$floor_kb")"
  awk -v c="$converter_kb" -v f="$floor_kb" -v r="$r" 'BEGIN {
    printf "vexav-convert %6.1f MB   vexav-codec-floor %6.1f MB   ratio %s   difference %+.1f MB (target: under 240 MB)\n",
           c / 1024, f / 1024, r, (c - f) / 1024 }'
  echo "memory $converter_kb $floor_kb $r" >>"$summary"
}

case "$what" in
  share) run_share ;;
  threads) run_threads ;;
  jobs) run_jobs ;;
  memory) run_memory ;;
  all)
    run_share
    run_threads
    run_jobs
    run_memory
    echo
    echo "== Summary =="
    awk '
      $1 == "capacity" { printf "parallel capacity before the runs: %s (0.50: two free cores; 1.00: one)\n", $3 }
      $1 == "share" { printf "(a) engine share, %-8s codec threads %-4s %5s%%  (target < 3%%)\n", $2, $3, $4 }
      $1 == "threads" { printf "(b) 1280x720 wall, automatic / 1 codec thread   %s  (%.2f s / %.2f s; target <= 0.65)\n", $4, $3, $2 }
      $1 == "jobs" { printf "(c) 4 x 640x480 wall, --jobs 2 / --jobs 1       %s  (%.2f s / %.2f s; target <= 0.6)\n", $4, $3, $2 }
      $1 == "memory" { printf "(d) 1280x720 peak RSS %.1f MB, floor %.1f MB, ratio %s  (target < 240 MB)\n", $2 / 1024, $3 / 1024, $4 }
    ' "$summary"
    ;;
esac
echo
parallel_after="$(capacity)"
echo "parallel capacity after: $parallel_after (0.50: two free cores); load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
