#!/usr/bin/env bash
# Takes a picture of the window at work: installs what is missing (with the
# virtual X server), builds, generates three 1280x720 sample clips, starts
# vexav-window on a virtual screen with the clips added and Convert pressed,
# and saves the window as a PNG once its rows show progress (the run is then
# stopped and the program quits).
#
#   scripts/screenshot.sh [OUT.png]      # default docs/window.png
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

out="${1:-$VEXAV_ROOT/docs/window.png}"
case "$out" in /*) ;; *) out="$PWD/$out" ;; esac

vexav_install_packages xvfb xauth
vexav_build >"$VEXAV_BUILD.log" 2>&1 || { cat "$VEXAV_BUILD.log" >&2; exit 1; }

work="$(mktemp -d /tmp/vexav-screenshot-XXXXXX)"
trap 'rm -rf "$work"' EXIT
# Qt wants a private runtime folder; the virtual session has none.
export XDG_RUNTIME_DIR="$work/runtime"
mkdir -m 700 "$XDG_RUNTIME_DIR" "$work/Videos"
clips=()
for name in "Harbour at dawn" "Night market" "Mountain trail"; do
  clip="$work/Videos/$name.avi"
  "$VEXAV_BUILD/bin/vexav-mediagen" --size 1280x720 --rate 25 --duration 8 \
    --video mpeg4 --audio mp3 "$clip" >/dev/null
  clips+=(--add "$clip")
done

mkdir -p "$(dirname "$out")"
# Two jobs, so that two rows show their bars at once while the third waits.
xvfb-run -a -s "-screen 0 1024x768x24" \
  "$VEXAV_BUILD/bin/vexav-window" "${clips[@]}" --convert --jobs 2 \
  --output-folder "$work/Videos/Converted" --screenshot "$out" --screenshot-delay 1500
echo "Saved $out"
