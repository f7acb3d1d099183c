// The structural similarity of two luma pictures: worked examples whose
// value follows from the formula by hand, the order it puts copies of a
// picture in by how much they were spoiled, the per-picture values the
// file comparison gives, and the lines vexav-mediagen --psnr prints them in
// (which the benchmarks read by field).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "MediaGenerator.h"
#include "PictureCompare.h"
#include "Ssim.h"
#include "binding/Api.h"
#include "binding/FFmpegLibs.h"

namespace fs = std::filesystem;
using namespace vexav;
using namespace vexav::mediagen;

namespace {

constexpr double C1 = 6.5025;   // (0.01 * 255)^2
constexpr double C2 = 58.5225;  // (0.03 * 255)^2

struct Picture {
  int Width, Height;
  std::vector<uint8_t> Y;
  uint8_t& At(int X, int Yy) { return Y[static_cast<size_t>(Yy) * Width + X]; }
};

Picture Filled(int W, int H, uint8_t Value) { return {W, H, std::vector<uint8_t>(static_cast<size_t>(W) * H, Value)}; }

double Ssim(const Picture& A, const Picture& B) { return LumaSsim(A.Y.data(), B.Y.data(), A.Width, A.Height, A.Width); }

// Smooth waves with some detail: neighbouring samples alike, far ones not.
Picture Scene(int W, int H, int Shift = 0) {
  Picture P = Filled(W, H, 0);
  for (int Y = 0; Y < H; ++Y)
    for (int X = 0; X < W; ++X) {
      const double Sx = X + Shift;
      P.At(X, Y) = static_cast<uint8_t>(128 + 60 * std::sin(Sx / 6.0) * std::cos(Y / 5.0) + 30 * std::sin((Sx + Y) / 2.5));
    }
  return P;
}

// P plus a fixed pseudo-random error of up to +-Amplitude on each sample.
Picture Noised(const Picture& P, int Amplitude) {
  Picture N = P;
  uint32_t State = 12345;
  for (uint8_t& V : N.Y) {
    State = State * 1664525u + 1013904223u;
    const int Error = static_cast<int>(State >> 16) % (2 * Amplitude + 1) - Amplitude;
    V = static_cast<uint8_t>(std::clamp(V + Error, 0, 255));
  }
  return N;
}

TEST(SsimTest, WorkedExamplesGiveTheFormulasValue) {
  // A checkerboard of 0 and 100 (mean 50, variance 2500) against flat 50
  // (mean 50, no variance, no covariance): the brightness term is 1, the
  // rest C2 / (2500 + C2).
  Picture Board = Filled(8, 8, 0), Flat = Filled(8, 8, 50);
  for (int Y = 0; Y < 8; ++Y)
    for (int X = 0; X < 8; ++X) Board.At(X, Y) = (X + Y) % 2 ? 100 : 0;
  EXPECT_NEAR(Ssim(Board, Flat), C2 / (2500 + C2), 1e-12);
  EXPECT_NEAR(Ssim(Board, Flat), 0.022873, 1e-6);

  // The same board 10 lighter: the structure is kept (covariance equals
  // the variances), only the means differ: (2*50*60 + C1) / (50^2 + 60^2 + C1).
  Picture Lighter = Board;
  for (uint8_t& V : Lighter.Y) V += 10;
  EXPECT_NEAR(Ssim(Board, Lighter), (6000 + C1) / (6100 + C1), 1e-12);
  EXPECT_NEAR(Ssim(Board, Lighter), 0.983624, 1e-6);

  // A picture smaller than a window is one window: flat 100 against flat
  // 110 on 4 x 4.
  EXPECT_NEAR(Ssim(Filled(4, 4, 100), Filled(4, 4, 110)), (22000 + C1) / (22100 + C1), 1e-12);

  // A 16 x 8 picture has three windows (at 0, 4 and 8 across): the board
  // on the left half against flat 50 everywhere, the right halves equal.
  // The left window gives the first value, the right one 1 (flat 50 on
  // both), the middle one half board: mean 50, variance 1250.
  Picture Wide = Filled(16, 8, 50), WideFlat = Filled(16, 8, 50);
  for (int Y = 0; Y < 8; ++Y)
    for (int X = 0; X < 8; ++X) Wide.At(X, Y) = Board.At(X, Y);
  const double Expected = (C2 / (2500 + C2) + C2 / (1250 + C2) + 1.0) / 3;
  EXPECT_NEAR(Ssim(Wide, WideFlat), Expected, 1e-12);
}

TEST(SsimTest, EqualPicturesGiveOneAndSpoiledCopiesLessInOrder) {
  const Picture Original = Scene(64, 48);
  EXPECT_EQ(Ssim(Original, Original), 1.0);
  const Picture Flat = Filled(64, 48, 90);
  EXPECT_EQ(Ssim(Flat, Flat), 1.0);

  const double Noise2 = Ssim(Original, Noised(Original, 2));
  const double Noise10 = Ssim(Original, Noised(Original, 10));
  const double Noise40 = Ssim(Original, Noised(Original, 40));
  EXPECT_LT(Noise2, 1.0);
  EXPECT_GT(Noise2, 0.95);
  EXPECT_LT(Noise10, Noise2);
  EXPECT_LT(Noise40, Noise10);
  EXPECT_GT(Noise40, 0.0);

  const double Shift1 = Ssim(Original, Scene(64, 48, 1));
  const double Shift3 = Ssim(Original, Scene(64, 48, 3));
  EXPECT_LT(Shift1, 1.0);
  EXPECT_LT(Shift3, Shift1);
  // Symmetric in its two pictures.
  EXPECT_DOUBLE_EQ(Ssim(Scene(64, 48, 1), Original), Shift1);
  EXPECT_EQ(LumaSsim(nullptr, nullptr, 0, 0, 0), 0.0);
}

TEST(SsimTest, FileComparisonGivesOneValuePerPairAndTheToolPrintsThem) {
  ASSERT_TRUE(LoadFFmpegLibs("", true)) << LastLoadError();
  ff::av_log_set_level(AV_LOG_ERROR);
  const fs::path Dir = fs::temp_directory_path() / ("vexav-ssim-" + std::to_string(::getpid()));
  fs::remove_all(Dir);
  fs::create_directories(Dir);
  MediaRequest Request;
  Request.Width = 96;
  Request.Height = 64;
  Request.DurationSeconds = 0.6;
  Request.Audio = AudioCodec::None;
  Request.Pattern = PicturePattern::Textured;
  Request.MarkSeconds = {};
  Request.Video = VideoCodec::Raw;
  const std::string Raw = (Dir / "raw.avi").string();
  ASSERT_EQ(Generate(Raw, Request), "");
  Request.Video = VideoCodec::Mpeg4;
  const std::string Coded = (Dir / "coded.avi").string();
  ASSERT_EQ(Generate(Coded, Request), "");

  const PictureComparison Same = ComparePictures(Raw, Raw);
  ASSERT_EQ(Same.Error, "");
  ASSERT_EQ(Same.Ssim.size(), 15u);
  for (double S : Same.Ssim) EXPECT_EQ(S, 1.0);
  EXPECT_EQ(Same.MeanSsim(), 1.0);

  const PictureComparison Lossy = ComparePictures(Coded, Raw);
  ASSERT_EQ(Lossy.Error, "");
  ASSERT_EQ(Lossy.Ssim.size(), Lossy.Psnr.size());
  ASSERT_EQ(Lossy.Ssim.size(), 15u);
  for (double S : Lossy.Ssim) {
    EXPECT_LT(S, 1.0);
    EXPECT_GT(S, 0.5);
  }
  EXPECT_GT(Lossy.MeanSsim(), 0.5);
  EXPECT_LT(Lossy.MeanSsim(), 1.0);

  // The tool prints a line 'INDEX PSNR SSIM' per pair, then 'frames N M
  // mean DB ssim S': the fields are where the benchmarks read them.
  const std::string Command = std::string(VEXAV_MEDIAGEN_TOOL) + " --psnr " + Coded + " " + Raw + " 2>/dev/null";
  FILE* Pipe = ::popen(Command.c_str(), "r");
  ASSERT_NE(Pipe, nullptr);
  std::string Output;
  char Buffer[256];
  while (std::fgets(Buffer, sizeof Buffer, Pipe)) Output += Buffer;
  ASSERT_EQ(::pclose(Pipe), 0);
  std::istringstream Lines(Output);
  std::string Line;
  std::vector<std::string> All;
  while (std::getline(Lines, Line)) All.push_back(Line);
  ASSERT_EQ(All.size(), 16u);
  for (size_t I = 0; I < 15; ++I) {
    std::istringstream Fields(All[I]);
    size_t Index = 99;
    double Db = 0, S = 0;
    std::string Rest;
    ASSERT_TRUE(Fields >> Index >> Db >> S) << All[I];
    EXPECT_FALSE(Fields >> Rest) << All[I];
    EXPECT_EQ(Index, I);
    EXPECT_NEAR(Db, Lossy.Psnr[I], 0.001);
    EXPECT_NEAR(S, Lossy.Ssim[I], 0.00001);
  }
  std::istringstream Summary(All[15]);
  std::string Frames, Mean, SsimWord, Rest;
  int FramesA = 0, FramesB = 0;
  double MeanDb = 0, MeanS = 0;
  ASSERT_TRUE(Summary >> Frames >> FramesA >> FramesB >> Mean >> MeanDb >> SsimWord >> MeanS) << All[15];
  EXPECT_FALSE(Summary >> Rest) << All[15];
  EXPECT_EQ(Frames, "frames");
  EXPECT_EQ(Mean, "mean");
  EXPECT_EQ(SsimWord, "ssim");
  EXPECT_EQ(FramesA, 15);
  EXPECT_EQ(FramesB, 15);
  EXPECT_NEAR(MeanDb, Lossy.MeanPsnr(), 0.001);
  EXPECT_NEAR(MeanS, Lossy.MeanSsim(), 0.00001);
  fs::remove_all(Dir);
}

}  // namespace
