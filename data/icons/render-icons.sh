#!/usr/bin/env bash
# Renders the icon's PNG sizes from its SVG into the hicolor layout beside
# it. The PNGs are committed; run this after changing the SVG, then commit
# them too. rsvg-convert comes from Debian's librsvg2-bin (installed here
# when missing).
#
#   data/icons/render-icons.sh
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/common.sh"

vexav_install_packages librsvg2-bin
icons="$VEXAV_ROOT/data/icons/hicolor"
svg="$icons/scalable/apps/org.vexav.Converter.svg"
for size in 16 32 48 64 128 256; do
  mkdir -p "$icons/${size}x${size}/apps"
  rsvg-convert --width "$size" --height "$size" --format png \
    --output "$icons/${size}x${size}/apps/org.vexav.Converter.png" "$svg"
done
echo "Rendered $icons/{16,32,48,64,128,256}x*/apps/org.vexav.Converter.png"
