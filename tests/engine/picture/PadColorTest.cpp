#include "engine/picture/PadColor.h"

#include <gtest/gtest.h>

#include <array>

namespace vexav {
namespace {

std::array<int, 3> YCbCr(int Value) {
  std::array<int, 3> C{-1, -1, -1};
  PadColorFromRGB(Value, C.data());
  return C;
}

using T3 = std::array<int, 3>;

TEST(PicturePadColor, DocumentedValues) {
  EXPECT_EQ(YCbCr(0), (T3{0, 128, 128}));
  EXPECT_EQ(YCbCr(16777215), (T3{255, 128, 128}));
  EXPECT_EQ(YCbCr(255), (T3{76, 85, 255}));
}

// The corners of the colour cube hold every extreme of the three linear
// expressions: they show that no result leaves 0..255. Worked out by hand,
// e.g. green: Y = (602*255 + 512) >> 10 = 150, Cb = floor(-86189/1024) + 128
// = 43, Cr = floor(-108884/1024) + 128 = 21.
TEST(PicturePadColor, CornersOfTheColourCubeStayWithinAByte) {
  EXPECT_EQ(YCbCr(0x00FF00), (T3{150, 43, 21}));     // green
  EXPECT_EQ(YCbCr(0xFF0000), (T3{29, 255, 107}));    // blue
  EXPECT_EQ(YCbCr(0x00FFFF), (T3{226, 0, 149}));     // yellow: Cb at its floor
  EXPECT_EQ(YCbCr(0xFFFF00), (T3{179, 171, 0}));     // cyan: Cr at its floor
  EXPECT_EQ(YCbCr(0xFF00FF), (T3{106, 212, 235}));   // magenta
}

TEST(PicturePadColor, GreysAndIgnoredHighBits) {
  EXPECT_EQ(YCbCr(0x808080), (T3{128, 128, 128}));
  // Y = (1026*16 + 512) >> 10 = 16; the chroma sums (-16 + 511) floor to 0.
  EXPECT_EQ(YCbCr(0x101010), (T3{16, 128, 128}));
  // Bits above 23 are not part of the colour.
  EXPECT_EQ(YCbCr(static_cast<int>(0xFF000000u)), (T3{0, 128, 128}));
  EXPECT_EQ(YCbCr(0x7F0000FF), YCbCr(0x0000FF));
}

}  // namespace
}  // namespace vexav
