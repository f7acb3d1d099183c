#include "engine/picture/Deinterlace.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "GuardedPicture.h"
#include "binding/Api.h"

namespace vexav {
namespace {

using test::PlanarSizes;
using test::TGuardedPicture;
using test::TPlaneSize;

class PictureDeinterlace : public ::testing::Test {
 protected:
  void SetUp() override { test::LoadLibsOrFail(); }
};

enum class TMode { OutOfPlace, InPlace };

// Deinterlaces Pic either into Out or in place; the result is in Out or Pic.
int RunDeinterlace(TMode Mode, TGuardedPicture& Pic, TGuardedPicture& Out, int PixFmt, int W, int H) {
  if (Mode == TMode::InPlace) return DeinterlacePicture(Pic.Picture(), Pic.Picture(), PixFmt, W, H);
  return DeinterlacePicture(Out.Picture(), Pic.Picture(), PixFmt, W, H);
}

// Column by column, the lines of a gray8 picture before and after. The
// outputs were worked out by hand from (-a + 4b + 2c + 4d - e + 4) >> 3.
struct TColumnCase {
  std::array<int, 8> In;
  std::array<int, 8> Out;
};
const TColumnCase Columns[4] = {
    // Line 1 reaches above the picture (line 0 repeated); line 3 is clipped
    // at 255; line 7 reaches below it (line 7 repeated).
    {{0, 0, 255, 255, 255, 0, 40, 100}, {0, 96, 255, 255, 255, 103, 40, 83}},
    // Line 3 and line 7 go negative and are clipped at 0.
    {{255, 255, 0, 0, 0, 255, 0, 0}, {255, 159, 0, 0, 0, 64, 0, 0}},
    // Interlaced stripes: inside the picture the bottom field takes the
    // top field's value; at the edges the repeated lines mix the two.
    {{200, 50, 200, 50, 200, 50, 200, 50}, {200, 181, 200, 200, 200, 200, 200, 125}},
    {{77, 77, 77, 77, 77, 77, 77, 77}, {77, 77, 77, 77, 77, 77, 77, 77}},
};

TEST_F(PictureDeinterlace, KeepsTheTopFieldAndFiltersTheBottomField) {
  for (TMode Mode : {TMode::OutOfPlace, TMode::InPlace}) {
    SCOPED_TRACE(Mode == TMode::InPlace ? "in place" : "out of place");
    TGuardedPicture Pic({{4, 8}});
    TGuardedPicture Out({{4, 8}});
    Pic.Fill([](int, int X, int Y) { return static_cast<uint8_t>(Columns[X].In[Y]); });
    ASSERT_EQ(RunDeinterlace(Mode, Pic, Out, AV_PIX_FMT_GRAY8, 4, 8), 0);
    TGuardedPicture& Result = Mode == TMode::InPlace ? Pic : Out;
    for (int X = 0; X < 4; ++X)
      for (int Y = 0; Y < 8; ++Y)
        EXPECT_EQ(Result.At(0, X, Y), Columns[X].Out[Y]) << "column " << X << " line " << Y;
    EXPECT_TRUE(Pic.GuardsIntact());
    EXPECT_TRUE(Out.GuardsIntact());
  }
}

// Stripes of 200 and 50 in every plane: each plane is filtered over its own
// height, so its last line shows the edge value at its own bottom.
TEST_F(PictureDeinterlace, FiltersEveryPlaneOverItsOwnSubsampledSize) {
  struct TCase {
    AVPixelFormat PixFmt;
    std::vector<TPlaneSize> Sizes;
  };
  const TCase Cases[] = {
      {AV_PIX_FMT_YUV420P, PlanarSizes(8, 8, 1, 1)},  {AV_PIX_FMT_YUVJ420P, PlanarSizes(8, 8, 1, 1)},
      {AV_PIX_FMT_YUV422P, PlanarSizes(8, 8, 1, 0)},  {AV_PIX_FMT_YUVJ422P, PlanarSizes(8, 8, 1, 0)},
      {AV_PIX_FMT_YUV444P, PlanarSizes(8, 8, 0, 0)},  {AV_PIX_FMT_YUVJ444P, PlanarSizes(8, 8, 0, 0)},
      {AV_PIX_FMT_YUV411P, PlanarSizes(8, 8, 2, 0)},  {AV_PIX_FMT_GRAY8, PlanarSizes(8, 8, 0, 0, 0)},
      // Not in the traditional list, but 8-bit planar YUV all the same.
      {AV_PIX_FMT_YUV410P, PlanarSizes(8, 8, 2, 2)},
  };
  const std::vector<int> Expected8 = {200, 181, 200, 200, 200, 200, 200, 125};
  const std::vector<int> Expected4 = {200, 181, 200, 125};
  const std::vector<int> Expected2 = {200, 106};
  for (const TCase& C : Cases) {
    SCOPED_TRACE(ff::av_get_pix_fmt_name(C.PixFmt));
    TGuardedPicture Pic(C.Sizes);
    TGuardedPicture Out(C.Sizes);
    Pic.Fill([](int, int, int Y) { return static_cast<uint8_t>(Y % 2 == 0 ? 200 : 50); });
    ASSERT_EQ(DeinterlacePicture(Out.Picture(), Pic.Picture(), C.PixFmt, 8, 8), 0);
    for (int P = 0; P < Out.PlaneCount(); ++P) {
      const int H = Out.Size(P).Height;
      const std::vector<int>& Expected = H == 8 ? Expected8 : H == 4 ? Expected4 : Expected2;
      for (int Y = 0; Y < H; ++Y)
        for (int X = 0; X < Out.Size(P).Width; ++X)
          ASSERT_EQ(Out.At(P, X, Y), Expected[static_cast<size_t>(Y)])
              << "plane " << P << " x " << X << " line " << Y;
    }
    EXPECT_TRUE(Out.GuardsIntact());
    EXPECT_TRUE(Pic.GuardsIntact());
  }
}

TEST_F(PictureDeinterlace, InPlaceGivesTheSameResultAsOutOfPlace) {
  struct TCase {
    AVPixelFormat PixFmt;
    int W, H, ShiftW, ShiftH, ChromaPlanes;
  };
  const TCase Cases[] = {
      {AV_PIX_FMT_YUV420P, 16, 12, 1, 1, 2}, {AV_PIX_FMT_YUV422P, 12, 8, 1, 0, 2},
      {AV_PIX_FMT_YUV444P, 8, 12, 0, 0, 2},  {AV_PIX_FMT_YUV411P, 12, 8, 2, 0, 2},
      {AV_PIX_FMT_GRAY8, 20, 16, 0, 0, 0},
  };
  for (const TCase& C : Cases) {
    SCOPED_TRACE(ff::av_get_pix_fmt_name(C.PixFmt));
    const auto Sizes = PlanarSizes(C.W, C.H, C.ShiftW, C.ShiftH, C.ChromaPlanes);
    uint32_t Seed = 12345;
    auto Noise = [&Seed](int, int, int) {
      Seed = Seed * 1103515245u + 12345u;
      return static_cast<uint8_t>(Seed >> 16);
    };
    TGuardedPicture Source(Sizes);
    Source.Fill(Noise);
    TGuardedPicture Copy(Sizes);
    Copy.Fill([&Source](int P, int X, int Y) { return Source.At(P, X, Y); });
    TGuardedPicture Out(Sizes);

    // Tight planes, in place: nothing beyond the samples is there to read.
    TGuardedPicture Tight(Sizes, TGuardedPicture::TKind::Tight);
    Tight.Fill([&Source](int P, int X, int Y) { return Source.At(P, X, Y); });

    ASSERT_EQ(DeinterlacePicture(Out.Picture(), Source.Picture(), C.PixFmt, C.W, C.H), 0);
    ASSERT_EQ(DeinterlacePicture(Copy.Picture(), Copy.Picture(), C.PixFmt, C.W, C.H), 0);
    ASSERT_EQ(DeinterlacePicture(Tight.Picture(), Tight.Picture(), C.PixFmt, C.W, C.H), 0);
    int Changed = 0;
    for (int P = 0; P < Out.PlaneCount(); ++P)
      for (int Y = 0; Y < Out.Size(P).Height; ++Y)
        for (int X = 0; X < Out.Size(P).Width; ++X) {
          ASSERT_EQ(Copy.At(P, X, Y), Out.At(P, X, Y)) << "plane " << P << " " << X << "," << Y;
          ASSERT_EQ(Tight.At(P, X, Y), Out.At(P, X, Y)) << "plane " << P << " " << X << "," << Y;
          if (Y % 2 == 0) {
            ASSERT_EQ(Out.At(P, X, Y), Source.At(P, X, Y));
          }
          Changed += Out.At(P, X, Y) != Source.At(P, X, Y);
        }
    EXPECT_GT(Changed, 0);
    EXPECT_TRUE(Out.GuardsIntact());
    EXPECT_TRUE(Copy.GuardsIntact());
    EXPECT_TRUE(Source.GuardsIntact());
  }
}

// A refused picture is left as it was, in place or not.
void ExpectRefused(int PixFmt, int W, int H, const std::vector<TPlaneSize>& Sizes) {
  TGuardedPicture Pic(Sizes);
  Pic.Fill([](int P, int X, int Y) { return static_cast<uint8_t>(P * 50 + X + 7 * Y); });
  TGuardedPicture Out(Sizes);
  Out.Fill(0x3C);
  const auto PicBefore = Pic.Snapshot();
  const auto OutBefore = Out.Snapshot();
  EXPECT_LT(DeinterlacePicture(Out.Picture(), Pic.Picture(), PixFmt, W, H), 0);
  EXPECT_LT(DeinterlacePicture(Pic.Picture(), Pic.Picture(), PixFmt, W, H), 0);
  EXPECT_EQ(Pic.Snapshot(), PicBefore);
  EXPECT_EQ(Out.Snapshot(), OutBefore);
}

TEST_F(PictureDeinterlace, RefusesSizesThatAreNotMultiplesOfFour) {
  const auto Sizes = PlanarSizes(16, 16, 1, 1);
  const std::pair<int, int> Bad[] = {{6, 8}, {8, 6}, {8, 10}, {2, 8}, {0, 8}, {8, 0}, {-4, 8}};
  for (auto [W, H] : Bad) {
    SCOPED_TRACE(std::to_string(W) + "x" + std::to_string(H));
    ExpectRefused(AV_PIX_FMT_YUV420P, W, H, Sizes);
    ExpectRefused(AV_PIX_FMT_GRAY8, W, H, Sizes);
  }
}

TEST_F(PictureDeinterlace, RefusesFormatsOtherThan8BitPlanarYuv) {
  // Four roomy planes, so that even a wrong write would stay in the buffers.
  const std::vector<TPlaneSize> Roomy(4, TPlaneSize{64, 8});
  const int Formats[] = {AV_PIX_FMT_BGR24,     AV_PIX_FMT_RGB24,       AV_PIX_FMT_NV12,
                         AV_PIX_FMT_YUYV422,   AV_PIX_FMT_YUVA420P,    AV_PIX_FMT_YUV420P10LE,
                         AV_PIX_FMT_GRAY16LE,  AV_PIX_FMT_PAL8,        AV_PIX_FMT_GBRP,
                         AV_PIX_FMT_MONOWHITE, AV_PIX_FMT_NONE,        100000};
  for (int PixFmt : Formats) {
    SCOPED_TRACE(PixFmt);
    ExpectRefused(PixFmt, 8, 8, Roomy);
  }
}

TEST_F(PictureDeinterlace, RefusesPlanesThatCannotHoldThePicture) {
  const auto Sizes = PlanarSizes(8, 8, 1, 1);
  TGuardedPicture Pic(Sizes);
  TGuardedPicture Out(Sizes);
  const auto Before = Out.Snapshot();
  const auto PicBefore = Pic.Snapshot();

  TPicture NoChroma = Pic.Picture();
  NoChroma.data[2] = nullptr;
  EXPECT_LT(DeinterlacePicture(Out.Picture(), NoChroma, AV_PIX_FMT_YUV420P, 8, 8), 0);

  TPicture ShortLines = Out.Picture();
  ShortLines.linesize[0] = 6;  // narrower than the 8 pixels of a luma line
  EXPECT_LT(DeinterlacePicture(ShortLines, Pic.Picture(), AV_PIX_FMT_YUV420P, 8, 8), 0);

  // Same planes but different line sizes is neither in place nor apart.
  TPicture Skewed = Pic.Picture();
  Skewed.linesize[1] += 1;
  EXPECT_LT(DeinterlacePicture(Skewed, Pic.Picture(), AV_PIX_FMT_YUV420P, 8, 8), 0);
  EXPECT_EQ(Out.Snapshot(), Before);
  EXPECT_EQ(Pic.Snapshot(), PicBefore);
}

}  // namespace
}  // namespace vexav
