#!/usr/bin/env bash
# Installs what is missing, builds, and converts the files given (default
# mode: each FILE becomes "<name> (MPEG-4 Video).mp4" in the current
# directory), or generates a sample, converts it into sample/ and probes the
# result when no file is given. Options of vexav-convert may be given too
# (for example --output-dir DIR or --same-folder).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/scripts/common.sh"

vexav_install_packages
vexav_build >"$VEXAV_BUILD.log" 2>&1 || { cat "$VEXAV_BUILD.log" >&2; exit 1; }
convert="$VEXAV_BUILD/bin/vexav-convert"

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
