#!/usr/bin/env bash
# Size, speed and picture quality of VexAV's presets beside HandBrake's on
# the same generated clips. See bench/README.md.
#
#   bench/quality-bench.sh [--clips LIST] [--seconds N] [--quick] [--work DIR]
#                          [--vexav LIST] [--handbrake LIST]
#
#   --clips LIST     clips by pattern and height, separated by commas:
#                    textured, pan or handheld, then -480, -720 or -1080
#                    (default textured-480,textured-720,textured-1080,
#                    pan-1080,handheld-1080)
#   --seconds N      length of each clip (default 10)
#   --quick          one small clip (textured-480), 3 seconds
#   --work DIR       keep the clips and outputs in DIR (made when missing);
#                    otherwise a temporary folder removed at the end
#   --vexav LIST     VexAV presets, separated by commas (default: MPEG-4
#                    Video, MPEG-4 Video HQ, HEVC Video, WebM Video, AV1 Video)
#   --handbrake LIST HandBrake presets, separated by commas (default: Fast
#                    1080p30, HQ 1080p30 Surround, H.265 MKV 1080p30, VP9 MKV
#                    1080p30, AV1 MKV 2160p60 4K)
#
# The clips are 16:9 at 29.97 pictures a second, H.264 at a fixed quantiser
# (little loss of their own) without sound, made by vexav-mediagen: the
# textured pattern, and the two camera-like ones (a pan over a grainy
# landscape, a shaken hand-held shot). Each VexAV preset runs through
# `vexav-convert --preset NAME`, each HandBrake preset through HandBrakeCLI
# held to the source's size and timing (no crop, no scaling, square pixels,
# the source's frame times) and without its presets' deinterlacing filters
# (the clips are progressive, but their fine texture and grain look combed
# to HandBrake's detector, which then blurs every picture); the runs
# alternate between the two, one at a time. Every output is decoded and compared picture by picture with the
# decoded source (vexav-mediagen --psnr: mean luma PSNR and SSIM).
#
# The table gives per clip and run: the bytes, the bit rate, the wall time
# and the mean PSNR and SSIM; then, per pair of matching presets, PASS when
# VexAV's preset has a mean PSNR at least HandBrake's less 0.2 dB, at most
# 1.05 times its bytes and at most 1.1 times its time, otherwise MISS and
# what missed. A preset that vexav-convert does not offer is named and left
# out. Installs handbrake-cli when missing; builds vexav-convert and
# vexav-mediagen (Release, into build/ or $VEXAV_BUILD) first. VEXAV_CONVERT
# names another vexav-convert to measure (an installed one, for example).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/common.sh"

clips="textured-480,textured-720,textured-1080,pan-1080,handheld-1080"
seconds=10
work=""
vexav_list="MPEG-4 Video,MPEG-4 Video HQ,HEVC Video,WebM Video,AV1 Video"
handbrake_list="Fast 1080p30,HQ 1080p30 Surround,H.265 MKV 1080p30,VP9 MKV 1080p30,AV1 MKV 2160p60 4K"
# The matching presets the goal is checked for: VexAV's, a tab, HandBrake's.
pairs=$'MPEG-4 Video HQ\tFast 1080p30\nMPEG-4 Video HQ\tHQ 1080p30 Surround\nHEVC Video\tH.265 MKV 1080p30\nWebM Video\tVP9 MKV 1080p30\nAV1 Video\tAV1 MKV 2160p60 4K'

usage() { sed -n '2,41p' "$0" | sed 's/^# \{0,1\}//'; }
needs_value() { [ "$#" -ge 2 ] || { echo "quality-bench.sh: $1 needs a value" >&2; exit 2; }; }
while [ "$#" -gt 0 ]; do
  case "$1" in
    --clips) needs_value "$@"; clips="$2"; shift 2 ;;
    --seconds) needs_value "$@"; seconds="$2"; shift 2 ;;
    --quick) clips="textured-480"; seconds=3; shift ;;
    --work) needs_value "$@"; work="$2"; shift 2 ;;
    --vexav) needs_value "$@"; vexav_list="$2"; shift 2 ;;
    --handbrake) needs_value "$@"; handbrake_list="$2"; shift 2 ;;
    -h|--help) usage; exit 0 ;;
    *) echo "quality-bench.sh: unknown argument '$1'" >&2; usage >&2; exit 2 ;;
  esac
done
if ! [[ "$seconds" =~ ^[0-9]+([.][0-9]+)?$ ]] || ! awk -v s="$seconds" 'BEGIN { exit !(s > 0) }'; then
  echo "quality-bench.sh: --seconds needs a positive number, not '$seconds'" >&2
  exit 2
fi
IFS=, read -r -a clip_names <<<"$clips"
IFS=, read -r -a vexav_presets <<<"$vexav_list"
IFS=, read -r -a handbrake_presets <<<"$handbrake_list"
for name in "${clip_names[@]}"; do
  [[ "$name" =~ ^(textured|pan|handheld)-(480|720|1080)$ ]] ||
    { echo "quality-bench.sh: unknown clip '$name' (textured, pan or handheld, then -480, -720 or -1080)" >&2; exit 2; }
done

vexav_install_packages handbrake-cli
mkdir -p "$VEXAV_BUILD"
build_log="$VEXAV_BUILD/quality-bench-build.log"
{
  cmake -S "$VEXAV_ROOT" -B "$VEXAV_BUILD" -DCMAKE_BUILD_TYPE=Release
  cmake --build "$VEXAV_BUILD" -j"$(nproc)" --target vexav-convert vexav-mediagen
} >"$build_log" 2>&1 || { cat "$build_log" >&2; exit 1; }
convert="${VEXAV_CONVERT:-$VEXAV_BUILD/bin/vexav-convert}"
mediagen="$VEXAV_BUILD/bin/vexav-mediagen"
handbrake="$(command -v HandBrakeCLI)"

if [ -n "$work" ]; then
  mkdir -p "$work"
  work="$(cd "$work" && pwd)"
else
  work="$(mktemp -d /tmp/vexav-quality-XXXXXX)"
  trap 'rm -rf "$work"' EXIT
fi
results="$work/results.tsv"
: >"$results"

# ---- Which VexAV presets the program offers ---------------------------------

# --list-presets prints a line per preset: its name, a tab, a description
# that ends in "unavailable: REASON" when its encoder is missing. A program
# without the list converts with its one format, "MPEG-4 Video", and takes
# no --preset option.
declare -A offered=() refused=()
with_preset_option=1
if listing="$("$convert" --list-presets 2>/dev/null)"; then
  while IFS=$'\t' read -r name description; do
    [ -n "$name" ] || continue
    if [[ "$description" == *"unavailable:"* ]]; then
      refused["$name"]="${description#*unavailable: }"
    else
      offered["$name"]=1
    fi
  done <<<"$listing"
else
  with_preset_option=0
  offered["MPEG-4 Video"]=1
fi
runnable_vexav=()
for preset in "${vexav_presets[@]}"; do
  if [ -n "${offered[$preset]:-}" ]; then
    runnable_vexav+=("$preset")
  elif [ -n "${refused[$preset]:-}" ]; then
    echo "vexav-convert lists preset '$preset' as unavailable (${refused[$preset]}): left out"
  else
    echo "vexav-convert does not offer preset '$preset': left out"
  fi
done

# ---- Clips ------------------------------------------------------------------

# Makes clip NAME (pattern-height) once; prints its path.
make_clip() {
  local pattern="${1%-*}" height="${1##*-}" width path
  case "$height" in 480) width=854 ;; 720) width=1280 ;; *) width=1920 ;; esac
  path="$work/$1-${seconds}s.mkv"
  if [ ! -s "$path" ]; then
    "$mediagen" --size "${width}x$height" --rate 30000/1001 --duration "$seconds" --video h264 \
      --audio none --marks none --pattern "$pattern" "$path.part.mkv" >"$work/mediagen.log" 2>&1 ||
      { cat "$work/mediagen.log" >&2; rm -f "$path.part.mkv"; echo "quality-bench.sh: cannot make clip $1" >&2; exit 1; }
    mv "$path.part.mkv" "$path"
  fi
  echo "$path"
}

# ---- Runs -------------------------------------------------------------------

now() { date +%s.%N; }

# The one file a run left in folder $1 (empty when none).
only_file() { find "$1" -maxdepth 1 -type f | head -n 1; }

# Runs VexAV preset $2 on clip $1 into $work/out/...; sets out and wall, or
# prints why it failed and returns 1.
run_vexav() {
  local source="$1" preset="$2" dir start
  dir="$work/out/$(basename "$source" .mkv)/vexav-${preset// /_}"
  rm -rf "$dir" && mkdir -p "$dir"
  local args=(--output-dir "$dir")
  [ "$with_preset_option" -eq 1 ] && args+=(--preset "$preset")
  start="$(now)"
  if ! "$convert" "${args[@]}" "$source" >"$dir.log" 2>&1; then
    echo "  vexav-convert failed on '$preset' (see $dir.log): $(tail -n 1 "$dir.log")"
    return 1
  fi
  wall="$(awk -v a="$start" -v b="$(now)" 'BEGIN { printf "%.2f", b - a }')"
  out="$(only_file "$dir")"
  [ -n "$out" ] || { echo "  vexav-convert left no output for '$preset'"; return 1; }
}

# Runs HandBrake preset $2 on clip $1 at the source's size ($3 x $4) and
# timing; sets out and wall, or prints why it failed and returns 1.
run_handbrake() {
  local source="$1" preset="$2" width="$3" height="$4" dir start extension=mp4
  [[ "$preset" == *MKV* ]] && extension=mkv
  dir="$work/out/$(basename "$source" .mkv)/handbrake-${preset// /_}"
  rm -rf "$dir" && mkdir -p "$dir"
  out="$dir/output.$extension"
  start="$(now)"
  if ! "$handbrake" --preset "$preset" -i "$source" -o "$out" --crop-mode none --crop 0:0:0:0 \
      --width "$width" --height "$height" --maxWidth "$width" --maxHeight "$height" \
      --non-anamorphic --vfr --no-comb-detect --no-decomb --no-deinterlace --no-bwdif --no-detelecine \
      </dev/null >"$dir.log" 2>&1 || [ ! -s "$out" ]; then
    echo "  HandBrakeCLI failed on '$preset' (see $dir.log): $(grep -v '^\s*$' "$dir.log" | tail -n 1)"
    return 1
  fi
  wall="$(awk -v a="$start" -v b="$(now)" 'BEGIN { printf "%.2f", b - a }')"
}

# Compares $out with clip $1 and appends a line to the results:
# clip, converter, preset, bytes, kbit/s, wall s, psnr, ssim, pictures out/source.
record() {
  local source="$1" clip="$2" converter="$3" preset="$4" line frames_out frames_source mean ssim bytes kbits
  line="$("$mediagen" --psnr "$out" "$source" 2>&1 | tail -n 1)"
  # frames N M mean DB ssim S
  read -r _ frames_out frames_source _ mean _ ssim _ <<<"$line"
  if [ -z "${ssim:-}" ]; then
    echo "  $converter '$preset': the output does not compare with the source ($line)"
    return
  fi
  bytes="$(stat -c %s "$out")"
  kbits="$(awk -v b="$bytes" -v n="$frames_source" 'BEGIN { printf "%.0f", b * 8 / (n * 1001 / 30000) / 1000 }')"
  printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s/%s\n' "$clip" "$converter" "$preset" "$bytes" "$kbits" \
    "$wall" "$mean" "$ssim" "$frames_out" "$frames_source" >>"$results"
  printf '  %-9s %-22s %10s bytes %7s kbit/s %7s s  %6s dB  SSIM %s  pictures %s/%s\n' "$converter" "$preset" \
    "$bytes" "$kbits" "$wall" "$mean" "$ssim" "$frames_out" "$frames_source"
}

echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
for clip in "${clip_names[@]}"; do
  source="$(make_clip "$clip")"
  height="${clip##*-}"
  case "$height" in 480) width=854 ;; 720) width=1280 ;; *) width=1920 ;; esac
  echo "$clip ($width x $height, $seconds s):"
  # VexAV and HandBrake take turns, one run at a time, so that the load the
  # machine carries falls on both alike.
  count=$(( ${#runnable_vexav[@]} > ${#handbrake_presets[@]} ? ${#runnable_vexav[@]} : ${#handbrake_presets[@]} ))
  for ((i = 0; i < count; ++i)); do
    if [ "$i" -lt "${#runnable_vexav[@]}" ]; then
      preset="${runnable_vexav[$i]}"
      run_vexav "$source" "$preset" && record "$source" "$clip" VexAV "$preset"
    fi
    if [ "$i" -lt "${#handbrake_presets[@]}" ]; then
      preset="${handbrake_presets[$i]}"
      run_handbrake "$source" "$preset" "$width" "$height" && record "$source" "$clip" HandBrake "$preset"
    fi
  done
done
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"

# ---- The table and the goal -------------------------------------------------

echo
printf '%-14s %-10s %-22s %12s %8s %8s %8s %8s %9s\n' clip converter preset bytes kbit/s time/s PSNR/dB SSIM pictures
awk -F'\t' '{ printf "%-14s %-10s %-22s %12s %8s %8s %8s %8s %9s\n", $1, $2, $3, $4, $5, $6, $7, $8, $9 }' "$results"

echo
echo "goal: VexAV's PSNR >= HandBrake's - 0.2 dB, bytes <= 1.05x, time <= 1.1x"
while IFS=$'\t' read -r ours theirs; do
  for clip in "${clip_names[@]}"; do
    verdict="$(awk -F'\t' -v clip="$clip" -v ours="$ours" -v theirs="$theirs" '
      $1 == clip && $2 == "VexAV" && $3 == ours { have_o = 1; bo = $4; to = $6; po = $7 }
      $1 == clip && $2 == "HandBrake" && $3 == theirs { have_t = 1; bt = $4; tt = $6; pt = $7 }
      END {
        if (!have_o || !have_t) { print "n/a (" (have_o ? "no HandBrake run" : "no VexAV run") ")"; exit }
        miss = ""
        if (po < pt - 0.2) miss = miss ", PSNR"
        if (bo > 1.05 * bt) miss = miss ", bytes"
        if (to > 1.1 * tt) miss = miss ", time"
        summary = sprintf("PSNR %+.2f dB, bytes %.2fx, time %.2fx", po - pt, bo / bt, to / tt)
        print (miss == "" ? "PASS" : "MISS (" substr(miss, 3) ")") "  " summary
      }' "$results")"
    printf '%-14s %-16s vs %-22s %s\n' "$clip" "$ours" "$theirs" "$verdict"
  done
done <<<"$pairs"
echo
echo "results: $results"
