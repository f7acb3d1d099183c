#!/usr/bin/env bash
# Installs what is missing, builds, and runs the main job on the files given,
# or on a sample it generates when none is given.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/scripts/common.sh"

vexav_install_packages
vexav_build >"$VEXAV_BUILD.log" 2>&1 || { cat "$VEXAV_BUILD.log" >&2; exit 1; }

if [ "$#" -eq 0 ]; then
  sample_dir="$VEXAV_ROOT/sample"
  mkdir -p "$sample_dir"
  sample="$sample_dir/sample.avi"
  if [ ! -s "$sample" ]; then
    echo "No file given: generating $sample"
    "$VEXAV_BUILD/bin/vexav-mediagen" --size 640x480 --rate 25 --duration 5 \
      --video mpeg4 --audio mp3 "$sample"
  fi
  set -- "$sample"
fi

exec "$VEXAV_BUILD/bin/vexav-convert" --probe "$@"
