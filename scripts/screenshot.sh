#!/usr/bin/env bash
# Takes a picture of the window at work: installs what is missing (with the
# virtual X server), builds, generates four 1280x720 sample clips (a short
# one, one whose media data is zeroed as a damaged camera file's can be, which
# holds no picture that can be decoded, two longer ones),
# starts vexav-window on a virtual screen with the clips added and Convert
# pressed, two at a time, and saves the window as a PNG once one row is done
# and another shows its progress and time left (the run is then stopped and
# the program quits).
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
# The window's settings (same-folder box and all) are the defaults, not those
# of the user who takes the picture.
export XDG_CONFIG_HOME="$work/config"
mkdir -m 700 "$XDG_RUNTIME_DIR" "$work/Videos"
clips=()
# name|size|seconds
for entry in "Harbour at dawn|1280x720|2" "Night market|1280x720|4" \
  "Mountain trail|1280x720|30" "City lights after the rain, long take|1280x720|40"; do
  IFS='|' read -r name size seconds <<<"$entry"
  clip="$work/Videos/$name.avi"
  "$VEXAV_BUILD/bin/vexav-mediagen" --size "$size" --rate 25 --duration "$seconds" \
    --video mpeg4 --audio mp3 "$clip" >/dev/null
  if [ "$name" = "Night market" ]; then
    # Everything after the header's "movi" list tag becomes zeros.
    movi="$(grep -obUa movi "$clip" | head -1 | cut -d: -f1)"
    dd if=/dev/zero of="$clip" bs=1M seek=$((movi + 4)) oflag=seek_bytes iflag=count_bytes \
      count=$(($(stat -c %s "$clip") - movi - 4)) conv=notrunc status=none
  fi
  clips+=(--add "$clip")
done

mkdir -p "$(dirname "$out")"
# Two jobs: the short clip finishes while the long ones show their bars and
# times; the damaged one fails (its row says why, and so does the summary,
# which goes to standard error in this unattended run).
xvfb-run -a -s "-screen 0 1024x768x24" \
  "$VEXAV_BUILD/bin/vexav-window" "${clips[@]}" --convert --jobs 2 \
  --output-folder "$work/Videos/Converted" --screenshot "$out" --screenshot-after-done \
  --screenshot-delay 3000
echo "Saved $out"
