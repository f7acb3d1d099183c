#!/usr/bin/env bash
# What one long file costs in segments on a cluster, from the costs of its
# pieces measured here. See bench/README.md ("On paper").
#
#   bench/segments-model.sh [--hours H] [--cores C] [--nodes LIST]
#                           [--preset NAME] [--lead-in S] [--read-mbytes R]
#                           [--source-mbits B] [--task-start S]
#                           [--seconds N] [--keep DIR]
#
# Measures on a generated 1920x1080 clip (textured picture, MP3 sound, 29.97
# frames/s, N seconds, default 20), each on one core:
#   picture    seconds a picture costs in a segment (decoding, scaling,
#              encoding with --preset NAME, default "MPEG-4 Video")
#   sound      seconds of work per second of source for the sound alone
#   join       seconds per second of output for the join (a stream copy)
# and from them works out, for a file of H hours (default 2) on nodes of C
# cores (default 32) for each count of LIST (default 1,10,50,200): the
# segments --segments auto makes (one per core, none under 20 s); the time
# of one segment, its lead-in of S seconds included (by default the plan's:
# 15 for the fixed-rate "MPEG-4 Video", none for the constant-quality
# presets) and its reading of the source at R MB/s (default 200) from a
# source of B Mbit/s (default 20); the waves of tasks; the sound, one run
# over the whole file or in pieces beside the segments (each with 3 s of
# lead-in and 1 s read before its seek point); the join, after the last
# segment or streaming (only the last piece's copy after it); and the wall
# time against the ideal (the work over the cores). Goal: within 2 times the
# ideal plus one segment's time. A task waits S seconds (default 2, as
# measured by cluster-bench.sh) from one task's end to the next one's start.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/common.sh"

hours=2
cores=32
nodes="1,10,50,200"
preset="MPEG-4 Video"
lead_in=""
read_mbytes=200
source_mbits=20
task_start=2
seconds=20
keep=""
needs_value() { [ "$#" -ge 2 ] || { echo "segments-model.sh: $1 needs a value" >&2; exit 2; }; }
while [ "$#" -gt 0 ]; do
  case "$1" in
    --hours) needs_value "$@"; hours="$2"; shift 2 ;;
    --cores) needs_value "$@"; cores="$2"; shift 2 ;;
    --nodes) needs_value "$@"; nodes="$2"; shift 2 ;;
    --preset) needs_value "$@"; preset="$2"; shift 2 ;;
    --lead-in) needs_value "$@"; lead_in="$2"; shift 2 ;;
    --read-mbytes) needs_value "$@"; read_mbytes="$2"; shift 2 ;;
    --source-mbits) needs_value "$@"; source_mbits="$2"; shift 2 ;;
    --task-start) needs_value "$@"; task_start="$2"; shift 2 ;;
    --seconds) needs_value "$@"; seconds="$2"; shift 2 ;;
    --keep) needs_value "$@"; keep="$2"; shift 2 ;;
    -h|--help) sed -n '2,28p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "segments-model.sh: unknown argument '$1'" >&2; exit 2 ;;
  esac
done

# The plan's lead-in: only the fixed-rate row's rate control needs one.
[ -n "$lead_in" ] || { [ "$preset" = "MPEG-4 Video" ] && lead_in=15 || lead_in=0; }

vexav_install_packages
vexav_build_targets segments-model-build.log vexav-convert vexav-mediagen || exit 1
bin="$VEXAV_BUILD/bin"

if [ -n "$keep" ]; then
  work="$keep"
  mkdir -p "$work"
else
  work="$(mktemp -d /tmp/vexav-segments-model-XXXXXX)"
fi
cleanup() { [ -z "$keep" ] && rm -rf "$work"; return 0; }
trap cleanup EXIT

now() { date +%s.%N; }
# timed ARGS...: runs vexav-convert with ARGS, prints its wall time.
timed() {
  local t0 t1
  t0=$(now)
  "$bin/vexav-convert" "$@" >/dev/null 2>"$work/run.err" || { cat "$work/run.err" >&2; exit 1; }
  t1=$(now)
  awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", b - a }'
}

clip="$work/clip.avi"
[ -s "$clip" ] ||
  "$bin/vexav-mediagen" --size 1920x1080 --rate 30000/1001 --duration "$seconds" \
    --pattern textured "$clip" >/dev/null
frames=$(awk -v s="$seconds" 'BEGIN { printf "%d", s * 30000 / 1001 }')

rm -rf "$work/whole"
whole=$(timed --preset "$preset" --codec-threads 1 --output-dir "$work/whole" "$clip")
output="$(ls "$work/whole"/* | head -n 1)"
sound=$(timed --overwrite -o "$work/sound.mp4" --option vn --option acodec=libfaac \
  --option ac=2 --option ar=44100 --option ab=64000 "$clip")
join=$(timed --overwrite -o "$work/copy.mp4" --option vcodec=copy --option acodec=copy "$output")

echo "measured on $(nproc) cores, one codec thread, a ${seconds} s 1920x1080 clip at 29.97 frames/s,"
echo "preset '$preset': whole ${whole} s, sound alone ${sound} s, join (stream copy) ${join} s"
echo "file: ${hours} h; nodes of ${cores} cores; lead-in ${lead_in} s; source ${source_mbits} Mbit/s read at ${read_mbytes} MB/s; ${task_start} s a task start"
echo

out_bytes=$(stat -c %s "$output")
awk -v whole="$whole" -v sound="$sound" -v join="$join" -v secs="$seconds" -v frames="$frames" \
  -v hours="$hours" -v cores="$cores" -v nodes="$nodes" -v lead="$lead_in" -v outb="$out_bytes" \
  -v readmb="$read_mbytes" -v srcmbit="$source_mbits" -v start="$task_start" '
function ceil(x) { return x == int(x) ? x : int(x) + 1 }
function mmss(t) { return sprintf("%d:%04.1f", int(t / 60), t - 60 * int(t / 60)) }
BEGIN {
  pic = (whole - sound) / frames          # one picture, decoding and encoding
  snd = sound / secs                      # work per source second of sound
  cpy = join / secs                       # join work per output second
  rd = srcmbit / 8 / readmb               # reading the source, per second of it
  outrd = outb / secs / 1e6 / readmb      # reading the pieces back, per second
  D = hours * 3600
  fps = 30000 / 1001
  work = D * fps * pic
  printf "a picture %.1f ms; per source second: the sound %.4f s, the join %.4f s;\n", pic * 1000, snd, cpy
  printf "the work: %.2f core-hours\n\n", work / 3600
  printf "%-6s %-9s %-9s %-7s %-19s %-19s %-8s %-8s %s\n", "nodes", "segments", "segment",
         "waves", "whole sound, join", "sound pieces, ", "ideal", "goal", "met"
  printf "%-6s %-9s %-9s %-7s %-19s %-19s %-8s %-8s %s\n", "", "", "", "", "after the last",
         "streaming join", "", "", ""
  n = split(nodes, list, ",")
  for (i = 1; i <= n; i++) {
    N = list[i]; C = N * cores
    # --segments auto: one per core, none under 20 s, at most 1000.
    S = int(D / 20); if (S > C) S = C; if (S > 1000) S = 1000
    L = D / S
    seg = (L + lead) * (fps * pic + rd) + start
    waves = ceil(S / C)
    spare = waves * C - S
    # The sound as one task over the whole file; the join copies every
    # piece once the last segment has ended.
    soundT = D * (snd + rd) + start
    wallT = (waves * seg > soundT ? waves * seg : soundT) + D * (cpy + outrd)
    # The sound in a piece per segment (3 s of lead-in and 1 s read before
    # the seek point each), run in
    # the slots the segments leave or spread over all of them; the join
    # appends each segment as it ends, so only the last one is left.
    piece = (L + 4) * (snd + rd) + start
    soundP = S <= spare ? 0 : S * piece / C
    wallP = waves * seg + soundP + L * (cpy + outrd)
    ideal = work / C
    goal = 2 * ideal + seg
    printf "%-6d %-9d %-9s %-7d %-19s %-19s %-8s %-8s %s\n", N, S, mmss(seg), waves, mmss(wallT),
           mmss(wallP), mmss(ideal), mmss(goal), (wallP <= goal ? "yes" : "no")
  }
}'
