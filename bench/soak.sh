#!/usr/bin/env bash
# The soak run: one long-lived converter process converting the same clips
# round after round, two at a time, and failing when its resident memory,
# open descriptors or threads grow. See bench/README.md ("Soak run") for the
# rule.
#
#   bench/soak.sh [--minutes M] [--keep DIR]
#
# 1. Builds vexav-soak and vexav-mediagen (Release, into build/ or
#    $VEXAV_BUILD), installing what is missing.
# 2. Generates four short clips (MPEG-4 Part 2 + MP3 AVI, H.264 with
#    B-frames + MP3 MKV, MJPEG yuvj422p + PCM AVI, sound-only MP3) and a
#    damaged AVI (a real header, then filler where the data should be).
# 3. Runs vexav-soak under nice -n 19 for M minutes (default 60), sampling
#    every 60 s (every 10 s for runs under 30 minutes).
# The samples go to soak.csv, the lines of vexav-soak to soak.log and the
# libraries' messages to soak-stderr.log, in DIR with
# --keep (which also keeps the clips), else in $VEXAV_BUILD/soak/. The exit
# status is vexav-soak's: 0 no growth, 1 growth or a failed conversion.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/common.sh"

minutes=60
keep=""
while [ "$#" -gt 0 ]; do
  case "$1" in
    --minutes) minutes="$2"; shift 2 ;;
    --keep) keep="$2"; shift 2 ;;
    -h|--help) sed -n '2,19p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "soak.sh: unknown argument '$1'" >&2; exit 2 ;;
  esac
done
if ! [[ "$minutes" =~ ^[0-9]+([.][0-9]+)?$ ]] || awk -v m="$minutes" 'BEGIN { exit !(m <= 0) }'; then
  echo "soak.sh: --minutes wants a positive number, not '$minutes'" >&2
  exit 2
fi
sample_seconds=$(awk -v m="$minutes" 'BEGIN { print (m >= 30 ? 60 : 10) }')

vexav_install_packages
mkdir -p "$VEXAV_BUILD"
build_log="$VEXAV_BUILD/soak-build.log"
{
  cmake -S "$VEXAV_ROOT" -B "$VEXAV_BUILD" -DCMAKE_BUILD_TYPE=Release
  nice -n 19 cmake --build "$VEXAV_BUILD" -j"$(nproc)" --target vexav-soak vexav-mediagen
} >"$build_log" 2>&1 || { cat "$build_log" >&2; exit 1; }
soak="$VEXAV_BUILD/bin/vexav-soak"
mediagen="$VEXAV_BUILD/bin/vexav-mediagen"

if [ -n "$keep" ]; then
  work="$keep"
  results="$keep"
  mkdir -p "$work"
else
  work="$(mktemp -d /tmp/vexav-soak-XXXXXX)"
  trap 'rm -rf "$work"' EXIT
  results="$VEXAV_BUILD/soak"
  mkdir -p "$results"
fi

clips="$work/clips"
rm -rf "$clips" "$work/out" && mkdir -p "$clips"
echo "Generating the clips in $clips"
{
  "$mediagen" --size 352x288 --duration 3 --video mpeg4 --audio mp3 "$clips/mpeg4-mp3.avi"
  "$mediagen" --size 352x288 --duration 3 --video h264 --b-frames 2 --audio mp3 \
    "$clips/h264-bframes.mkv"
  "$mediagen" --size 352x288 --duration 3 --video mjpeg --pix-fmt yuvj422p --audio pcm \
    "$clips/mjpeg-422.avi"
  "$mediagen" --duration 3 --video none --audio mp3 "$clips/sound.mp3"
} >"$work/mediagen.log" 2>&1 || { cat "$work/mediagen.log" >&2; exit 1; }
# The first 4 KiB of a real AVI (its headers), then filler instead of data.
{ head -c 4096 "$clips/mpeg4-mp3.avi"; head -c 65536 /dev/zero | tr '\0' 'x'; } \
  >"$clips/damaged.avi"

echo "Soaking for $minutes minutes (a sample every $sample_seconds s): $results/soak.log"
status=0
nice -n 19 "$soak" --minutes "$minutes" --sample-seconds "$sample_seconds" \
  --out "$work/out" --csv "$results/soak.csv" --damaged "$clips/damaged.avi" \
  "$clips/mpeg4-mp3.avi" "$clips/h264-bframes.mkv" "$clips/mjpeg-422.avi" "$clips/sound.mp3" \
  2>"$results/soak-stderr.log" | tee "$results/soak.log" || status=$?
exit "$status"
