#include "engine/picture/PadColor.h"

#include <cstdint>

namespace vexav {

namespace {

// Division rounding towards minus infinity (C++ division truncates).
constexpr int FloorDiv(int N, int D) { return N / D - ((N % D != 0) && ((N < 0) != (D < 0))); }

}  // namespace

void PadColorFromRGB(int Value, int Color[3]) {
  const auto Bits = static_cast<uint32_t>(Value);
  const int R = static_cast<int>(Bits & 0xFF);
  const int G = static_cast<int>((Bits >> 8) & 0xFF);
  const int B = static_cast<int>((Bits >> 16) & 0xFF);
  // No clipping is needed: the expressions are linear in R, G, B, so their
  // extremes lie at corners of the colour cube, and there Y spans 0..255
  // (black, white), Cb and Cr span 0 (yellow, cyan) .. 255 (blue, red).
  Color[0] = (307 * R + 602 * G + 117 * B + 512) >> 10;
  Color[1] = FloorDiv(-173 * R - 340 * G + 512 * B + 511, 1024) + 128;
  Color[2] = FloorDiv(512 * R - 429 * G - 84 * B + 511, 1024) + 128;
}

}  // namespace vexav
