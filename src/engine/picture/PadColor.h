// The padding colour of the "padcolor" option.
#pragma once

namespace vexav {

// Converts a colour value laid out as R in bits 0-7, G in bits 8-15 and B in
// bits 16-23 (higher bits are ignored) to Y, Cb, Cr in Color[0..2], with
// the integer weights of the BT.601 full-range conversion:
//   Y  = (307 R + 602 G + 117 B + 512) >> 10
//   Cb = floor((-173 R - 340 G + 512 B + 511) / 1024) + 128
//   Cr = floor((512 R - 429 G - 84 B + 511) / 1024) + 128
void PadColorFromRGB(int Value, int Color[3]);

}  // namespace vexav
