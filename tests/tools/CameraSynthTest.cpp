// The camera-like generated clips: what each picture shows does not depend
// on the picture size, consecutive pictures differ everywhere (grain, a
// moving camera), the same picture is drawn the same every time, and the
// files decode at the asked size and rate.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "MediaGenerator.h"
#include "PictureCompare.h"
#include "PictureSynth.h"
#include "binding/Api.h"
#include "binding/FFmpegLibs.h"

namespace fs = std::filesystem;
using namespace vexav;
using namespace vexav::mediagen;

namespace {

struct Planes420 {
  int Width, Height;
  std::vector<uint8_t> Y, Cb, Cr;
};

Planes420 Draw(PicturePattern Pattern, int64_t Index, int W, int H) {
  const int Cw = (W + 1) / 2, Ch = (H + 1) / 2;
  Planes420 P{W, H, std::vector<uint8_t>(static_cast<size_t>(W) * H), std::vector<uint8_t>(static_cast<size_t>(Cw) * Ch),
              std::vector<uint8_t>(static_cast<size_t>(Cw) * Ch)};
  uint8_t* const Data[3] = {P.Y.data(), P.Cb.data(), P.Cr.data()};
  const int Linesize[3] = {W, Cw, Cw};
  DrawPicture(Index, false, false, W, H, Data, Linesize, Pattern);
  return P;
}

// The mean luma of the band of rows [From, To) (fractions of the height).
double BandMean(const Planes420& P, double From, double To) {
  double Sum = 0;
  int64_t Count = 0;
  for (int Y = static_cast<int>(From * P.Height); Y < static_cast<int>(To * P.Height); ++Y)
    for (int X = 0; X < P.Width; ++X) Sum += P.Y[static_cast<size_t>(Y) * P.Width + X], ++Count;
  return Sum / static_cast<double>(Count);
}

double StdDev(const std::vector<uint8_t>& V) {
  double Sum = 0, Squares = 0;
  for (uint8_t S : V) Sum += S, Squares += static_cast<double>(S) * S;
  const double Mean = Sum / static_cast<double>(V.size());
  return std::sqrt(Squares / static_cast<double>(V.size()) - Mean * Mean);
}

// The mean absolute difference of two pictures' luma.
double MeanDifference(const Planes420& A, const Planes420& B) {
  double Sum = 0;
  for (size_t I = 0; I < A.Y.size(); ++I) Sum += std::abs(A.Y[I] - B.Y[I]);
  return Sum / static_cast<double>(A.Y.size());
}

TEST(CameraSynthTest, TheSceneIsTheSameAtEverySizeAndMovesWithGrain) {
  for (PicturePattern Pattern : {PicturePattern::Pan, PicturePattern::Handheld}) {
    SCOPED_TRACE(Pattern == PicturePattern::Pan ? "pan" : "handheld");
    const Planes420 Small = Draw(Pattern, 40, 854, 480), Large = Draw(Pattern, 40, 1920, 1080);
    // A bright sky above, darker ground below, at both sizes alike.
    EXPECT_GT(BandMean(Small, 0, 0.1), 170);
    EXPECT_LT(BandMean(Small, 0.8, 1), BandMean(Small, 0, 0.1) - 30);
    for (const auto& [From, To] : {std::pair{0.0, 0.25}, {0.25, 0.5}, {0.5, 0.75}, {0.75, 1.0}})
      EXPECT_NEAR(BandMean(Small, From, To), BandMean(Large, From, To), 6.0) << From;
    // Detail: far from a flat picture, in luma and in colour.
    EXPECT_GT(StdDev(Small.Y), 25);
    EXPECT_GT(StdDev(Small.Cb), 3);

    // Drawn again, the same picture; the next one differs everywhere by
    // its grain and motion, but shows the same scene.
    const Planes420 Again = Draw(Pattern, 40, 854, 480), Next = Draw(Pattern, 41, 854, 480);
    EXPECT_TRUE(Again.Y == Small.Y && Again.Cb == Small.Cb && Again.Cr == Small.Cr);
    const double Step = MeanDifference(Small, Next);
    EXPECT_GT(Step, 2.0);
    EXPECT_LT(Step, 20.0);
    int Changed = 0;
    for (size_t I = 0; I < Small.Y.size(); ++I) Changed += Small.Y[I] != Next.Y[I];
    EXPECT_GT(Changed, static_cast<int>(Small.Y.size() * 8 / 10));
    // Ten seconds on, the camera looks somewhere else.
    EXPECT_GT(MeanDifference(Small, Draw(Pattern, 340, 854, 480)), Step);
  }
}

TEST(CameraSynthTest, ClipsDecodeAtTheirSizeAndRate) {
  ASSERT_TRUE(LoadFFmpegLibs("", true)) << LastLoadError();
  ff::av_log_set_level(AV_LOG_ERROR);
  const fs::path Dir = fs::temp_directory_path() / ("vexav-camera-" + std::to_string(::getpid()));
  fs::remove_all(Dir);
  fs::create_directories(Dir);
  for (PicturePattern Pattern : {PicturePattern::Pan, PicturePattern::Handheld}) {
    MediaRequest Request;
    Request.Width = 320;
    Request.Height = 180;
    Request.FrameRateNum = 30000;
    Request.FrameRateDen = 1001;
    Request.DurationSeconds = 0.5;
    Request.Video = VideoCodec::H264;
    Request.Audio = AudioCodec::None;
    Request.MarkSeconds = {};
    Request.Pattern = Pattern;
    const std::string Clip = (Dir / "clip.mkv").string();
    ASSERT_EQ(Generate(Clip, Request), "");
    const DecodedMedia Media = Decode(Clip);
    ASSERT_EQ(Media.Error, "");
    ASSERT_EQ(Media.Frames.size(), 15u);
    EXPECT_EQ(Media.FrameRateNum * 1001LL, 30000LL * Media.FrameRateDen);
    EXPECT_EQ(Media.Frames[0].Width, 320);
    EXPECT_EQ(Media.Frames[0].Height, 180);
    // The coded pictures are close to the drawn ones (a raw copy): the
    // source a benchmark measures against has little loss of its own.
    Request.Video = VideoCodec::Raw;
    const std::string Raw = (Dir / "raw.avi").string();
    ASSERT_EQ(Generate(Raw, Request), "");
    const PictureComparison Against = ComparePictures(Clip, Raw);
    ASSERT_EQ(Against.Error, "");
    ASSERT_EQ(Against.Psnr.size(), 15u);
    EXPECT_GT(Against.MeanPsnr(), 35.0);
    EXPECT_LT(Against.MeanPsnr(), PsnrIdentical);
    EXPECT_GT(Against.MeanSsim(), 0.9);
  }
  fs::remove_all(Dir);
}

}  // namespace
