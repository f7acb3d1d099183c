#!/usr/bin/env bash
# One long file converted whole and in segments, side by side in one run,
# at several source frame rates. See bench/README.md ("One file in segments").
#
#   bench/segments-bench.sh [--seconds N] [--segments S] [--rates LIST]
#                           [--no-cluster] [--keep DIR]
#
# For each rate of LIST (default 30000/1001,25,24000/1001,50: the output's
# own rate, PAL, film, and a rate above it, whose pictures the output drops)
# a 1280x720 clip (textured picture carrying its pictures' indices, MP3
# sound, a flash and a click every second; N seconds, default 60) is
# converted:
#   whole      vexav-convert, automatic codec threads (what a user gets)
#   whole-1    vexav-convert --codec-threads 1 (one core's speed; first rate)
#   seg-jobs2  vexav-convert --segments S --jobs 2 (default S: 3)
#   seg-jobs1  vexav-convert --segments S --jobs 1 (first rate)
#   cluster    vexav-convert --cluster slurm --segments S on the one-node
#              cluster of scripts/slurm-local.sh (2 CPUs; needs root;
#              started when none answers, stopped again at the end)
# and prints the wall times (for the first rate also those of a sound-only
# run and of a stream copy of the whole output, the two parts that do not
# spread), whether the segmented outputs are the same bytes, and
# vexav-joint-check's figures of the joined file against the whole one (the
# source picture at every frame, PSNR at each joint, marks, bit rate).
# Exit 1 when a joined file breaks one of vexav-joint-check's rules.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/common.sh"

seconds=60
segments=3
rates="30000/1001,25,24000/1001,50"
cluster=1
keep=""
while [ "$#" -gt 0 ]; do
  case "$1" in
    --seconds) seconds="$2"; shift 2 ;;
    --segments) segments="$2"; shift 2 ;;
    --rates) rates="$2"; shift 2 ;;
    --no-cluster) cluster=0; shift ;;
    --keep) keep="$2"; shift 2 ;;
    -h|--help) sed -n '2,25p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "segments-bench.sh: unknown argument '$1'" >&2; exit 2 ;;
  esac
done

vexav_install_packages
vexav_build_targets segments-bench-build.log vexav-convert vexav-mediagen vexav-joint-check || exit 1
bin="$VEXAV_BUILD/bin"

if [ -n "$keep" ]; then
  work="$keep"
  mkdir -p "$work"
else
  work="$(mktemp -d /tmp/vexav-segments-bench-XXXXXX)"
fi
started_cluster=0
cleanup() {
  [ "$started_cluster" = 1 ] && "$VEXAV_ROOT/scripts/slurm-local.sh" stop
  [ -z "$keep" ] && rm -rf "$work"
  return 0
}
trap cleanup EXIT

now() { date +%s.%N; }
# run NAME ARGS...: converts the clip into $work/NAME, prints the wall time.
run() {
  local name="$1"
  shift
  rm -rf "${work:?}/$name"
  mkdir -p "$work/$name"
  local t0 t1
  t0=$(now)
  "$bin/vexav-convert" --output-dir "$work/$name" "$@" "$clip" >/dev/null 2>"$work/$name.err" ||
    { cat "$work/$name.err" >&2; exit 1; }
  t1=$(now)
  awk -v n="$name" -v a="$t0" -v b="$t1" 'BEGIN { printf "%-10s %7.2f s\n", n, b - a }'
}
out() { echo "$work/$1/clip (MPEG-4 Video).mp4"; }
# The two pieces that do not spread: the sound (one run over the whole
# file) and the join (a stream copy of the whole output), timed alone.
timed() {
  local name="$1"
  shift
  local t0 t1
  t0=$(now)
  "$bin/vexav-convert" --overwrite "$@" >/dev/null 2>"$work/$name.err" ||
    { cat "$work/$name.err" >&2; exit 1; }
  t1=$(now)
  awk -v n="$name" -v a="$t0" -v b="$t1" 'BEGIN { printf "%-10s %7.2f s\n", n, b - a }'
}

if [ "$cluster" = 1 ]; then
  eval "$("$VEXAV_ROOT/scripts/slurm-local.sh" env)"
  if ! sinfo --noheader >/dev/null 2>&1; then
    "$VEXAV_ROOT/scripts/slurm-local.sh" start
    started_cluster=1
  fi
fi

status=0
first=1
IFS=, read -r -a rate_list <<<"$rates"
for rate in "${rate_list[@]}"; do
  clip="$work/clip-${rate//\//_}.avi"
  if [ ! -s "$clip" ]; then
    marks="$(seq -s, 1 $((seconds - 1)))"
    "$bin/vexav-mediagen" --size 1280x720 --rate "$rate" --duration "$seconds" \
      --pattern textured --counter --marks "$marks" "$clip" >/dev/null
  fi
  # Every rate's outputs go by the same names: the clip's own is clip.avi.
  ln -sf "$(basename "$clip")" "$work/clip.avi"
  clip="$work/clip.avi"

  echo
  echo "clip: ${seconds} s, 1280x720, $rate frames/s; $segments segments; $(nproc) cores"
  run whole
  [ "$first" = 1 ] && run whole-1 --codec-threads 1
  run seg-jobs2 --segments "$segments" --jobs 2
  [ "$first" = 1 ] && run seg-jobs1 --segments "$segments" --jobs 1
  [ "$cluster" = 1 ] && run cluster --cluster slurm --segments "$segments"
  if [ "$first" = 1 ]; then
    timed sound -o "$work/sound.mp4" --option vn --option acodec=libfaac --option ac=2 \
      --option ar=44100 --option ab=64000 "$clip"
    timed copy -o "$work/copy.mp4" --option vcodec=copy --option acodec=copy "$(out whole)"
  fi

  same=""
  [ "$first" = 1 ] &&
    same="seg-jobs1 $(cmp -s "$(out seg-jobs2)" "$(out seg-jobs1)" && echo yes || echo NO)"
  [ "$cluster" = 1 ] &&
    same="${same:+$same, }cluster $(cmp -s "$(out seg-jobs2)" "$(out cluster)" && echo yes || echo NO)"
  [ -n "$same" ] && echo "same bytes: $same (against seg-jobs2)"
  echo "sizes: whole $(stat -c %s "$(out whole)") bytes, segmented $(stat -c %s "$(out seg-jobs2)") bytes"
  "$bin/vexav-joint-check" "$clip" "$(out whole)" "$(out seg-jobs2)" "$segments" || status=1
  first=0
done
exit "$status"
