#include "engine/picture/Pad.h"

#include <gtest/gtest.h>

#include <vector>

#include "GuardedPicture.h"
#include "binding/Api.h"
#include "engine/picture/Crop.h"

namespace vexav {
namespace {

using test::PlanarSizes;
using test::TGuardedPicture;

class PicturePad : public ::testing::Test {
 protected:
  void SetUp() override { test::LoadLibsOrFail(); }
};

constexpr int Color[3] = {11, 22, 33};
constexpr uint8_t Untouched = 0xEE;

uint8_t SourceSample(int P, int X, int Y) { return static_cast<uint8_t>(100 + 40 * P + X + 8 * Y); }

// The inner rectangle [X0, X1) x [Y0, Y1) of one plane, worked out by hand.
struct TRect {
  int X0, X1, Y0, Y1;
  bool Holds(int X, int Y) const { return X >= X0 && X < X1 && Y >= Y0 && Y < Y1; }
};

struct TPadCase {
  const char* Name;
  AVPixelFormat PixFmt;
  int W, H, ShiftW, ShiftH;
  int Top, Bottom, Left, Right;
  TRect Luma, Chroma;
  // Source chroma size (the inner picture's, subsampled).
  int SrcChromaW, SrcChromaH;
};

const TPadCase Cases[] = {
    // Pads on the chroma grid: chroma bands are exactly half the luma bands.
    {"420 even pads", AV_PIX_FMT_YUV420P, 16, 12, 1, 1, 2, 2, 4, 2,
     {4, 14, 2, 10}, {2, 7, 1, 5}, 5, 4},
    {"444", AV_PIX_FMT_YUV444P, 10, 6, 0, 0, 1, 2, 3, 1, {3, 9, 1, 4}, {3, 9, 1, 4}, 6, 3},
    {"422 odd top", AV_PIX_FMT_YUV422P, 12, 6, 1, 0, 1, 0, 2, 4,
     {2, 8, 1, 6}, {1, 4, 1, 6}, 3, 5},
    // Odd pads on 4:2:0: a chroma sample half over the band and half over
    // the picture is the picture's. Right 3: luma 8 is inner, so chroma 4
    // (luma 8-9) is inner and only chroma 5 is band; Top 1 and Bottom 1
    // leave no chroma line to the bands; Left 1 leaves no chroma column.
    {"420 odd pads right/bottom", AV_PIX_FMT_YUV420P, 12, 8, 1, 1, 1, 1, 1, 3,
     {1, 9, 1, 7}, {0, 5, 0, 4}, 4, 3},
    // Top 3 and Left 3: chroma line 0 and column 0 are band, line 1 and
    // column 1 are shared and so the picture's.
    {"420 odd pads top/left", AV_PIX_FMT_YUV420P, 12, 8, 1, 1, 3, 1, 3, 1,
     {3, 11, 3, 7}, {1, 6, 1, 4}, 4, 2},
};

TEST_F(PicturePad, WithoutSourcePaintsOnlyTheBands) {
  for (const TPadCase& C : Cases) {
    SCOPED_TRACE(C.Name);
    TGuardedPicture Dst(PlanarSizes(C.W, C.H, C.ShiftW, C.ShiftH));
    Dst.Fill(Untouched);
    ASSERT_EQ(PadPicture(Dst.Picture(), nullptr, C.H, C.W, C.PixFmt, C.Top, C.Bottom, C.Left,
                         C.Right, Color),
              0);
    for (int P = 0; P < 3; ++P) {
      const TRect& R = P == 0 ? C.Luma : C.Chroma;
      for (int Y = 0; Y < Dst.Size(P).Height; ++Y)
        for (int X = 0; X < Dst.Size(P).Width; ++X)
          ASSERT_EQ(Dst.At(P, X, Y), R.Holds(X, Y) ? Untouched : Color[P])
              << "plane " << P << " at " << X << "," << Y;
    }
    EXPECT_TRUE(Dst.GuardsIntact());
  }
}

// The source fills the whole inner rectangle. Where odd pads make the inner
// chroma one sample wider or taller than the source's, the last source
// column or line is repeated, so no stale chroma is left inside.
TEST_F(PicturePad, WithSourceCopiesItIntoTheInnerRectangle) {
  for (const TPadCase& C : Cases) {
    SCOPED_TRACE(C.Name);
    const int InnerW = C.W - C.Left - C.Right;
    const int InnerH = C.H - C.Top - C.Bottom;
    // A tight source: reading beyond the inner picture's samples would show
    // in an address-sanitizer build.
    TGuardedPicture Src(PlanarSizes(InnerW, InnerH, C.ShiftW, C.ShiftH),
                        TGuardedPicture::TKind::Tight);
    Src.Fill(SourceSample);
    ASSERT_EQ(Src.Size(1).Width, C.SrcChromaW);
    ASSERT_EQ(Src.Size(1).Height, C.SrcChromaH);
    TGuardedPicture Dst(PlanarSizes(C.W, C.H, C.ShiftW, C.ShiftH));
    Dst.Fill(Untouched);
    const auto SrcBefore = Src.Snapshot();
    ASSERT_EQ(PadPicture(Dst.Picture(), &Src.Picture(), C.H, C.W, C.PixFmt, C.Top, C.Bottom,
                         C.Left, C.Right, Color),
              0);
    for (int P = 0; P < 3; ++P) {
      const TRect& R = P == 0 ? C.Luma : C.Chroma;
      for (int Y = 0; Y < Dst.Size(P).Height; ++Y)
        for (int X = 0; X < Dst.Size(P).Width; ++X) {
          int Expected = Color[P];
          if (R.Holds(X, Y))
            Expected = SourceSample(P, std::min(X - R.X0, Src.Size(P).Width - 1),
                                    std::min(Y - R.Y0, Src.Size(P).Height - 1));
          ASSERT_EQ(Dst.At(P, X, Y), Expected) << "plane " << P << " at " << X << "," << Y;
        }
    }
    EXPECT_TRUE(Dst.GuardsIntact());
    EXPECT_EQ(Src.Snapshot(), SrcBefore);
  }
}

// The engine's order when scaling and padding: the scaler writes through a
// cropped view of the padded picture, then the bands are painted around it,
// with no source or with that view as the source.
TEST_F(PicturePad, BandsGoAroundWhatWasWrittenThroughTheInnerView) {
  for (bool ViewAsSource : {false, true}) {
    SCOPED_TRACE(ViewAsSource ? "view as source" : "no source");
    TGuardedPicture Dst(PlanarSizes(16, 12, 1, 1));
    Dst.Fill(Untouched);
    TPicture Inner;
    ASSERT_EQ(CropView(Inner, Dst.Picture(), AV_PIX_FMT_YUV420P, 2, 4), 0);
    for (int P = 0; P < 3; ++P)
      for (int Y = 0; Y < (P == 0 ? 8 : 4); ++Y)
        for (int X = 0; X < (P == 0 ? 10 : 5); ++X)
          Inner.data[P][Y * Inner.linesize[P] + X] = SourceSample(P, X, Y);

    ASSERT_EQ(PadPicture(Dst.Picture(), ViewAsSource ? &Inner : nullptr, 12, 16,
                         AV_PIX_FMT_YUV420P, 2, 2, 4, 2, Color),
              0);
    const TRect Luma{4, 14, 2, 10};
    const TRect Chroma{2, 7, 1, 5};
    for (int P = 0; P < 3; ++P) {
      const TRect& R = P == 0 ? Luma : Chroma;
      for (int Y = 0; Y < Dst.Size(P).Height; ++Y)
        for (int X = 0; X < Dst.Size(P).Width; ++X)
          ASSERT_EQ(Dst.At(P, X, Y),
                    R.Holds(X, Y) ? SourceSample(P, X - R.X0, Y - R.Y0) : Color[P])
              << "plane " << P << " at " << X << "," << Y;
    }
    EXPECT_TRUE(Dst.GuardsIntact());
  }
}

TEST_F(PicturePad, Gray8HasOnlyTheLumaPlane) {
  TGuardedPicture Src({{4, 2}});
  Src.Fill(SourceSample);
  TGuardedPicture Dst({{6, 5}});
  Dst.Fill(Untouched);
  ASSERT_EQ(PadPicture(Dst.Picture(), &Src.Picture(), 5, 6, AV_PIX_FMT_GRAY8, 1, 2, 0, 2, Color),
            0);
  for (int Y = 0; Y < 5; ++Y)
    for (int X = 0; X < 6; ++X) {
      const bool Inner = Y >= 1 && Y < 3 && X < 4;
      EXPECT_EQ(Dst.At(0, X, Y), Inner ? SourceSample(0, X, Y - 1) : Color[0]) << X << "," << Y;
    }
  EXPECT_TRUE(Dst.GuardsIntact());
}

TEST_F(PicturePad, ColourValuesAreClippedToABytesRange) {
  TGuardedPicture Dst(PlanarSizes(4, 4, 1, 1));
  const int Wild[3] = {300, -5, 128};
  ASSERT_EQ(PadPicture(Dst.Picture(), nullptr, 4, 4, AV_PIX_FMT_YUV420P, 2, 0, 0, 0, Wild), 0);
  EXPECT_EQ(Dst.At(0, 0, 0), 255);
  EXPECT_EQ(Dst.At(1, 0, 0), 0);
  EXPECT_EQ(Dst.At(2, 0, 0), 128);
}

TEST_F(PicturePad, RefusesOtherFormatsAndPadsThatDoNotFit) {
  struct TCase {
    const char* Name;
    int PixFmt;
    int Top, Bottom, Left, Right;
    bool WithSource;
  };
  const TCase Bad[] = {
      {"nv12", AV_PIX_FMT_NV12, 2, 2, 2, 2, false},
      {"bgr24", AV_PIX_FMT_BGR24, 2, 2, 2, 2, false},
      {"yuyv422", AV_PIX_FMT_YUYV422, 2, 2, 2, 2, false},
      {"yuva420p", AV_PIX_FMT_YUVA420P, 2, 2, 2, 2, false},
      {"10-bit", AV_PIX_FMT_YUV420P10LE, 2, 2, 2, 2, false},
      {"no format", AV_PIX_FMT_NONE, 2, 2, 2, 2, false},
      {"negative pad", AV_PIX_FMT_YUV420P, -2, 2, 2, 2, false},
      {"no inner lines", AV_PIX_FMT_YUV420P, 4, 4, 2, 2, false},
      {"no inner columns", AV_PIX_FMT_YUV420P, 2, 2, 10, 6, true},
      {"pads beyond the picture", AV_PIX_FMT_YUV420P, 2, 2, 2, 0x7FFFFFF0, false},
  };
  // Roomy planes: a wrong write would still stay inside them.
  TGuardedPicture Dst(std::vector<test::TPlaneSize>(4, {64, 8}));
  TGuardedPicture Src(std::vector<test::TPlaneSize>(4, {64, 8}));
  const auto DstBefore = Dst.Snapshot();
  for (const TCase& C : Bad) {
    SCOPED_TRACE(C.Name);
    EXPECT_LT(PadPicture(Dst.Picture(), C.WithSource ? &Src.Picture() : nullptr, 8, 16, C.PixFmt,
                         C.Top, C.Bottom, C.Left, C.Right, Color),
              0);
    EXPECT_EQ(Dst.Snapshot(), DstBefore);
  }
  // Planes the format needs but the pictures lack.
  TPicture NoCr = Dst.Picture();
  NoCr.data[2] = nullptr;
  EXPECT_LT(PadPicture(NoCr, nullptr, 8, 16, AV_PIX_FMT_YUV420P, 2, 2, 2, 2, Color), 0);
  TPicture SrcNoCb = Src.Picture();
  SrcNoCb.data[1] = nullptr;
  EXPECT_LT(PadPicture(Dst.Picture(), &SrcNoCb, 8, 16, AV_PIX_FMT_YUV420P, 2, 2, 2, 2, Color), 0);
  EXPECT_EQ(Dst.Snapshot(), DstBefore);
}

}  // namespace
}  // namespace vexav
