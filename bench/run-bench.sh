#!/usr/bin/env bash
# The conversion benchmark: how fast the main job runs and where its CPU time
# goes. See bench/README.md for what each number means.
#
#   bench/run-bench.sh [--seconds N] [--profile-seconds N] [--no-profile] [--keep DIR]
#
# 1. Builds vexav-convert and vexav-mediagen (Release, into build/ or
#    $VEXAV_BUILD), installing what is missing (valgrind and time included).
# 2. Generates a 1280x720 25 fps MPEG-4 Part 2 + MP3 clip of N seconds
#    (default 20) and converts it with the MPEG-4 preset (vexav-convert's
#    default mode) under /usr/bin/time: wall time, CPU time, frames per
#    second and peak memory.
# 3. Unless --no-profile: converts a shorter clip of the same kind (default
#    2 s) under callgrind, once as it is and once without video (for the
#    audio decoder's share), and prints the instruction counts of the
#    libraries' entry points grouped by stage, with their ratios.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/common.sh"

seconds=20
profile_seconds=2
profile=1
keep=""
while [ "$#" -gt 0 ]; do
  case "$1" in
    --seconds) seconds="$2"; shift 2 ;;
    --profile-seconds) profile_seconds="$2"; shift 2 ;;
    --no-profile) profile=0; shift ;;
    --keep) keep="$2"; shift 2 ;;
    -h|--help) sed -n '2,16p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "run-bench.sh: unknown argument '$1'" >&2; exit 2 ;;
  esac
done

VEXAV_PACKAGES+=(valgrind time)
vexav_install_packages
mkdir -p "$VEXAV_BUILD"
build_log="$VEXAV_BUILD/bench-build.log"
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
  work="$(mktemp -d /tmp/vexav-bench-XXXXXX)"
  trap 'rm -rf "$work"' EXIT
fi

# ---------------------------------------------------------------------------
# Speed and memory.

clip="$work/clip.avi"
echo "Generating a 1280x720 25 fps clip of $seconds s: $clip"
"$mediagen" --size 1280x720 --rate 25 --duration "$seconds" --video mpeg4 --audio mp3 "$clip"
frames=$((25 * seconds))

rm -rf "$work/out" && mkdir -p "$work/out"
echo "Converting it with the MPEG-4 preset"
/usr/bin/time -v -o "$work/time.txt" "$convert" --output-dir "$work/out" "$clip" \
  >"$work/out.txt" 2>"$work/progress.txt" ||
  { cat "$work/progress.txt" >&2; echo "run-bench.sh: the conversion failed" >&2; exit 1; }
output="$(cat "$work/out.txt")"

time_field() { sed -n "s/^[[:space:]]*$1: //p" "$work/time.txt"; }
wall_text="$(time_field 'Elapsed (wall clock) time (h:mm:ss or m:ss)')"
user="$(time_field 'User time (seconds)')"
sys="$(time_field 'System time (seconds)')"
rss_kb="$(time_field 'Maximum resident set size (kbytes)')"
# h:mm:ss or m:ss(.ss) to seconds.
wall="$(awk -v t="$wall_text" 'BEGIN { n = split(t, p, ":"); s = 0;
  for (i = 1; i <= n; i++) s = s * 60 + p[i]; printf "%.2f", s }')"

echo
echo "== Speed and memory (${seconds} s of 1280x720 at 25 fps, $frames frames) =="
awk -v wall="$wall" -v user="$user" -v sys="$sys" -v rss="$rss_kb" -v frames="$frames" \
    -v seconds="$seconds" -v bytes="$(stat -c %s "$output")" 'BEGIN {
  cpu = user + sys
  printf "wall time        %8.2f s\n", wall
  printf "CPU time         %8.2f s  (user %.2f s + system %.2f s; %.2f cores busy)\n", cpu, user, sys, cpu / wall
  printf "speed            %8.1f frames/s  (%.2fx real time)\n", frames / wall, seconds / wall
  printf "CPU per frame    %8.2f ms\n", 1000 * cpu / frames
  printf "peak memory      %8.1f MB  (maximum resident set size)\n", rss / 1024
  printf "output           %8.2f MB\n", bytes / 1048576
}'

[ "$profile" -eq 1 ] || exit 0

# ---------------------------------------------------------------------------
# Where the CPU time goes.

short="$work/short.avi"
echo
echo "Generating a ${profile_seconds} s clip of the same kind and profiling its conversion"
echo "under callgrind (about a minute per second of clip)"
"$mediagen" --size 1280x720 --rate 25 --duration "$profile_seconds" --video mpeg4 --audio mp3 "$short"

# Runs vexav-convert under callgrind; $1: the result file, then the program's
# arguments.
profile_run() {
  local result="$1"
  shift
  rm -rf "$work/prof-out" && mkdir -p "$work/prof-out"
  valgrind --tool=callgrind --callgrind-out-file="$result" "$convert" "$@" \
    >"$work/prof.txt" 2>&1 || { cat "$work/prof.txt" >&2; exit 1; }
}
profile_run "$work/full.cg" --codec-threads 1 --output-dir "$work/prof-out" "$short"
# The preset without video: the only decoder left is the audio one.
profile_run "$work/audio.cg" --codec-threads 1 --output "$work/prof-out/audio.mp4" \
  --option acodec=libfaac --option ac=2 --option ar=44100 --option ab=64000 \
  --option async=0 --option vn "$short"

# "Ir<TAB>function<TAB>object" lines from callgrind_annotate; $1: the result
# file, $2: yes for inclusive costs, no for self costs.
annotate() {
  callgrind_annotate --inclusive="$2" --threshold=100 "$1" 2>/dev/null |
    sed -nE 's/^ *([0-9,]+) +\([^)]*\) +[^:]*:(.*) \[([^]]*)\]$/\1\t\2\t\3/p' | tr -d ','
}
annotate "$work/full.cg" yes >"$work/full.incl"
annotate "$work/full.cg" no >"$work/full.self"
annotate "$work/audio.cg" yes >"$work/audio.incl"
total="$(callgrind_annotate "$work/full.cg" 2>/dev/null |
  sed -nE 's/^ *([0-9,]+) .*PROGRAM TOTALS.*/\1/p' | tr -d ',')"

# Sum of the inclusive costs of the named functions in an annotate file.
sum_of() {
  local file="$1"
  shift
  awk -F'\t' -v names="$*" 'BEGIN { n = split(names, list, " "); for (i = 1; i <= n; i++) want[list[i]] = 1 }
    ($2 in want) { s += $1 } END { printf "%.0f\n", s }' "$file"
}
decode="$(sum_of "$work/full.incl" avcodec_send_packet avcodec_receive_frame)"
decode_audio="$(sum_of "$work/audio.incl" avcodec_send_packet avcodec_receive_frame)"
encode_all="$(sum_of "$work/full.incl" avcodec_send_frame avcodec_receive_packet)"
encode_video="$(sum_of "$work/full.incl" x264_encoder_encode)"
scale="$(sum_of "$work/full.incl" sws_scale sws_scale_frame)"
resample="$(sum_of "$work/full.incl" swr_convert swr_convert_frame)"
demux="$(sum_of "$work/full.incl" av_read_frame)"
mux="$(sum_of "$work/full.incl" avformat_write_header av_interleaved_write_frame av_write_trailer)"
opening="$(sum_of "$work/full.incl" avformat_open_input avformat_find_stream_info avcodec_open2 avio_open avio_open2)"
loading="$(awk -F'\t' '$2 ~ /^vexav::LoadFFmpegLibs\(/ { s += $1 } END { printf "%.0f\n", s }' "$work/full.incl")"
engine="$(awk -F'\t' -v bin="$convert" '$3 == bin { s += $1 } END { printf "%.0f\n", s }' "$work/full.self")"

echo
echo "== Where the CPU goes (callgrind, ${profile_seconds} s clip; instructions executed) =="
awk -v total="$total" -v decode="$decode" -v decode_audio="$decode_audio" \
    -v encode_all="$encode_all" -v encode_video="$encode_video" -v scale="$scale" \
    -v resample="$resample" -v demux="$demux" -v mux="$mux" -v opening="$opening" \
    -v loading="$loading" -v engine="$engine" 'BEGIN {
  decode_video = decode - decode_audio; if (decode_video < 0) decode_video = 0
  encode_audio = encode_all - encode_video
  known = decode + encode_all + scale + resample + demux + mux + opening + loading + engine
  other = total - known
  run = total - loading
  line("decode video (MPEG-4 Part 2)", decode_video)
  line("decode audio (MP3)", decode_audio)
  line("scale (libswscale)", scale)
  line("encode video (libx264)", encode_video)
  line("encode audio (AAC)", encode_audio)
  line("resample audio (libswresample)", resample)
  line("demux (av_read_frame)", demux)
  line("mux (header, packets, trailer)", mux)
  line("open files and codecs", opening)
  line("load the libraries (dlopen)", loading)
  line("engine itself (vexav-convert)", engine)
  line("other (libc, loader, start-up)", other)
  printf "%-34s %14.0f  100.00%%\n", "total", total
  printf "\nengine itself: %.2f%% of the conversion (total less library loading)\n", 100 * engine / run
  printf "encode / decode: %.1f; video encode share of the conversion: %.1f%%\n",
         (decode > 0 ? encode_all / decode : 0), 100 * encode_video / run
}
function line(name, value) { printf "%-34s %14.0f  %6.2f%%\n", name, value, 100 * value / total }'
