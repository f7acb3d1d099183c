#!/usr/bin/env bash
# Installs what is missing, builds, and converts the files given (default
# mode: each FILE becomes "<name> (MPEG-4 Video).mp4" in the current
# directory), or generates a sample, converts it into sample/ and probes the
# result when no file is given. Options of vexav-convert may be given too
# (for example --output-dir DIR or --same-folder).
# ./run.sh --gui [FILE...] builds the same way and starts the window,
# vexav-window, with the files given already in its list.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/scripts/common.sh"

vexav_install_packages
vexav_build >"$VEXAV_BUILD.log" 2>&1 || { cat "$VEXAV_BUILD.log" >&2; exit 1; }
convert="$VEXAV_BUILD/bin/vexav-convert"

if [ "${1:-}" = "--gui" ]; then
  shift
  if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "The window needs a desktop (neither DISPLAY nor WAYLAND_DISPLAY is set)." >&2
    echo "Run ./run.sh --gui from a desktop session, or take a screenshot of the" >&2
    echo "window on a virtual screen instead: scripts/screenshot.sh [OUT.png]" >&2
    exit 1
  fi
  exec "$VEXAV_BUILD/bin/vexav-window" "$@"
fi

if [ "$#" -gt 0 ]; then
  exec "$convert" "$@"
fi

sample_dir="$VEXAV_ROOT/sample"
mkdir -p "$sample_dir"
sample="$sample_dir/sample.avi"
if [ ! -s "$sample" ]; then
  echo "No file given: generating $sample"
  "$VEXAV_BUILD/bin/vexav-mediagen" --size 640x480 --rate 25 --duration 5 \
    --video mpeg4 --audio mp3 "$sample"
fi
# The previous run's result goes, so that the sample's output keeps its
# name instead of collecting counters; vexav-convert itself never overwrites.
rm -f "$sample_dir/sample (MPEG-4 Video).mp4"
echo "Converting $sample"
output="$("$convert" --output-dir "$sample_dir" "$sample")"
echo "Wrote $output"
exec "$convert" --probe "$output"
