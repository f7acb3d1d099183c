#include "engine/picture/Crop.h"

#include <gtest/gtest.h>

#include <vector>

#include "GuardedPicture.h"
#include "binding/Api.h"

namespace vexav {
namespace {

class PictureCropView : public ::testing::Test {
 protected:
  void SetUp() override { test::LoadLibsOrFail(); }
};

// Plane pointers into a buffer that is never dereferenced; the expected
// offsets were worked out by hand from each format's layout.
TEST_F(PictureCropView, MovesEachPlaneByItsOwnLinesAndBytes) {
  struct TCase {
    AVPixelFormat PixFmt;
    int Top, Left;
    std::vector<int> LineSizes;
    std::vector<std::ptrdiff_t> Offsets;
  };
  const TCase Cases[] = {
      // 4:2:0: chroma moves half the lines and half the pixels.
      {AV_PIX_FMT_YUV420P, 4, 6, {40, 24, 24}, {4 * 40 + 6, 2 * 24 + 3, 2 * 24 + 3}},
      // 4:2:2: chroma has every line, so an odd Top is fine.
      {AV_PIX_FMT_YUV422P, 3, 6, {40, 24, 24}, {3 * 40 + 6, 3 * 24 + 3, 3 * 24 + 3}},
      {AV_PIX_FMT_YUV444P, 3, 5, {40, 40, 40}, {125, 125, 125}},
      {AV_PIX_FMT_YUV411P, 1, 8, {40, 16, 16}, {48, 18, 18}},
      {AV_PIX_FMT_GRAY8, 1, 1, {16}, {17}},
      // Packed: three bytes per pixel, or a four-byte group per two pixels.
      {AV_PIX_FMT_BGR24, 2, 5, {64}, {2 * 64 + 5 * 3}},
      {AV_PIX_FMT_RGB24, 1, 1, {64}, {67}},
      {AV_PIX_FMT_YUYV422, 3, 4, {64}, {3 * 64 + 4 * 2}},
      {AV_PIX_FMT_UYVY422, 0, 6, {64}, {12}},
      // Semi-planar: the chroma plane holds Cb,Cr pairs.
      {AV_PIX_FMT_NV12, 4, 6, {40, 40}, {4 * 40 + 6, 2 * 40 + 3 * 2}},
      // 16-bit samples, and an alpha plane at full size.
      {AV_PIX_FMT_YUV420P10LE, 2, 2, {64, 32, 32}, {2 * 64 + 4, 32 + 2, 32 + 2}},
      {AV_PIX_FMT_YUVA420P, 2, 2, {32, 16, 16, 32}, {66, 17, 17, 66}},
  };
  std::vector<uint8_t> Buffer(4096);
  for (const TCase& C : Cases) {
    SCOPED_TRACE(ff::av_get_pix_fmt_name(C.PixFmt));
    TPicture Src;
    for (int P = 0; P < 4; ++P) {
      Src.data[P] = Buffer.data() + 1000 * P;
      Src.linesize[P] = P < static_cast<int>(C.LineSizes.size()) ? C.LineSizes[P] : 99;
    }
    TPicture View;
    ASSERT_EQ(CropView(View, Src, C.PixFmt, C.Top, C.Left), 0);
    for (int P = 0; P < 4; ++P) {
      if (P < static_cast<int>(C.Offsets.size())) {
        EXPECT_EQ(View.data[P] - Src.data[P], C.Offsets[P]) << "plane " << P;
        EXPECT_EQ(View.linesize[P], Src.linesize[P]) << "plane " << P;
      } else {
        // A plane the format does not have is not carried into the view.
        EXPECT_EQ(View.data[P], nullptr) << "plane " << P;
        EXPECT_EQ(View.linesize[P], 0) << "plane " << P;
      }
    }
  }
}

// The same on real pixels: the view's first sample of each plane is the
// sample at the crop position, and its lines walk down the source's.
TEST_F(PictureCropView, ViewReadsTheSourceAtTheCropPosition) {
  test::TGuardedPicture Pic(test::PlanarSizes(16, 8, 1, 1));
  Pic.Fill([](int P, int X, int Y) { return static_cast<uint8_t>(P * 100 + Y * 16 + X); });
  TPicture View;
  ASSERT_EQ(CropView(View, Pic.Picture(), AV_PIX_FMT_YUV420P, 2, 6), 0);
  EXPECT_EQ(View.data[0][0], Pic.At(0, 6, 2));
  EXPECT_EQ(View.data[0][View.linesize[0] * 3 + 5], Pic.At(0, 11, 5));
  EXPECT_EQ(View.data[1][0], Pic.At(1, 3, 1));
  EXPECT_EQ(View.data[2][View.linesize[2] + 1], Pic.At(2, 4, 2));

  test::TGuardedPicture Packed({{8 * 3, 4}});
  Packed.Fill([](int, int X, int Y) { return static_cast<uint8_t>(X % 3 == 0 ? X / 3 : Y); });
  ASSERT_EQ(CropView(View, Packed.Picture(), AV_PIX_FMT_BGR24, 3, 5), 0);
  EXPECT_EQ(View.data[0][0], 5);  // the first byte of pixel 5
  EXPECT_EQ(View.data[0][1], 3);  // on line 3
}

TEST_F(PictureCropView, RefusesOffsetsOffTheChromaGridAndUnaddressableFormats) {
  struct TCase {
    int PixFmt;
    int Top, Left;
  };
  const TCase Cases[] = {
      {AV_PIX_FMT_YUV420P, 2, 3},      {AV_PIX_FMT_YUV420P, 3, 2},  {AV_PIX_FMT_YUVJ420P, 1, 1},
      {AV_PIX_FMT_YUV422P, 2, 1},      {AV_PIX_FMT_YUV411P, 0, 2},  {AV_PIX_FMT_YUYV422, 0, 3},
      {AV_PIX_FMT_NV12, 1, 0},         {AV_PIX_FMT_YUV444P, -1, 0}, {AV_PIX_FMT_BGR24, 0, -3},
      {AV_PIX_FMT_PAL8, 0, 0},         {AV_PIX_FMT_MONOWHITE, 0, 8}, {AV_PIX_FMT_VAAPI, 0, 0},
      {AV_PIX_FMT_BAYER_BGGR8, 0, 0}, {AV_PIX_FMT_NONE, 0, 0},     {100000, 0, 0},
  };
  std::vector<uint8_t> Buffer(1024);
  TPicture Src;
  for (int P = 0; P < 4; ++P) {
    Src.data[P] = Buffer.data() + 200 * P;
    Src.linesize[P] = 32;
  }
  for (const TCase& C : Cases) {
    SCOPED_TRACE(testing::Message() << C.PixFmt << " top " << C.Top << " left " << C.Left);
    TPicture View;
    View.data[0] = Buffer.data() + 7;
    View.linesize[0] = 7;
    EXPECT_LT(CropView(View, Src, C.PixFmt, C.Top, C.Left), 0);
    EXPECT_EQ(View.data[0], Buffer.data() + 7);
    EXPECT_EQ(View.linesize[0], 7);
    EXPECT_EQ(View.data[1], nullptr);
  }
}

TEST_F(PictureCropView, RefusesASourceWithoutThePlanesOfItsFormat) {
  std::vector<uint8_t> Buffer(256);
  TPicture Src;
  Src.data[0] = Buffer.data();
  Src.linesize[0] = 16;
  TPicture View;
  EXPECT_LT(CropView(View, Src, AV_PIX_FMT_YUV420P, 0, 0), 0);
  EXPECT_EQ(CropView(View, Src, AV_PIX_FMT_GRAY8, 0, 0), 0);
  EXPECT_EQ(View.data[0], Buffer.data());
}

}  // namespace
}  // namespace vexav
