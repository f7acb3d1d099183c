// vexav-convert's default mode on pictures of odd width or height, which the
// preset's H.264 encoder refuses in 4:2:0: the last column and/or row is left
// out, every other pixel is kept, and the log says so. The outputs are
// decoded and their pictures compared with the source's, pixel region by
// pixel region; a segmented conversion does the same in every piece.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "MediaGenerator.h"
#include "PictureCompare.h"
#include "binding/Api.h"
#include "binding/FFmpegLibs.h"

namespace vexav::cli {
namespace {

namespace fs = std::filesystem;
using mediagen::LumaPicture;
using mediagen::MediaRequest;
using mediagen::VideoCodec;

// A source of odd size as cameras and lab programs write them.
struct OddSource {
  const char* Name;
  int Width, Height;
  VideoCodec Video;
  const char* PixelFormat;
};

void PrintTo(const OddSource& S, std::ostream* Out) {
  *Out << S.Name;
}

std::string Quote(const std::string& Text) {
  std::string Q = "'";
  for (char C : Text) Q += C == '\'' ? std::string("'\\''") : std::string(1, C);
  return Q + "'";
}

std::string ReadText(const std::string& Path) {
  std::ifstream In(Path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(In), {});
}

// The kept part of a picture lies where the source's pixels were: its PSNR
// against the source's top left region is that of a good encode (of a
// texture that costs the encoder what footage does), far above the region
// moved by the column and row left out (what leaving out the first ones,
// or scaling, would come closer to).
void ExpectKeptPixels(const LumaPicture& Source, const LumaPicture& Output,
                      const std::string& What) {
  const double InPlace = mediagen::RegionPsnr(Source, Output, 0, 0);
  const double Moved = mediagen::RegionPsnr(Source, Output, Source.Width - Output.Width,
                                            Source.Height - Output.Height);
  EXPECT_GE(InPlace, 28.0) << What;
  EXPECT_GE(InPlace - Moved, 5.0) << What << ": " << InPlace << " dB in place, " << Moved
                                  << " dB one pixel off";
}

class OddPictureSize : public ::testing::TestWithParam<OddSource> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(LoadFFmpegLibs("", true)) << LastLoadError();
    // The scaler's note on every "j" picture read back says nothing here.
    ff::av_log_set_level(AV_LOG_ERROR);
    char Template[] = "/tmp/vexav-cli-odd-XXXXXX";
    ASSERT_NE(::mkdtemp(Template), nullptr);
    Folder = Template;
  }
  void TearDown() override {
    std::error_code Ignored;
    if (!Folder.empty()) fs::remove_all(Folder, Ignored);
  }

  std::string Make(const OddSource& S, double Seconds) {
    MediaRequest Request;
    Request.Width = S.Width;
    Request.Height = S.Height;
    Request.FrameRateNum = 30000;
    Request.FrameRateDen = 1001;
    Request.DurationSeconds = Seconds;
    Request.MarkSeconds = {};
    Request.Video = S.Video;
    Request.RawPixelFormat = Request.MjpegPixelFormat = S.PixelFormat;
    Request.Pattern = mediagen::PicturePattern::Textured;
    Request.Audio = mediagen::AudioCodec::Pcm;
    const std::string Path = Folder + "/" + S.Name + ".avi";
    EXPECT_EQ(mediagen::Generate(Path, Request), "");
    return Path;
  }

  // Runs the program's default mode into Folder/out with Extra before the
  // source; the exit status, standard error in Err.
  int Convert(const std::string& Source, const std::string& Extra, std::string& Err) {
    const std::string ErrFile = Folder + "/err.txt";
    const std::string Command = Quote(VEXAV_CONVERT_PROGRAM) + " --output-dir " +
                                Quote(Folder + "/out") + " " + Extra + " " + Quote(Source) +
                                " >/dev/null 2>" + Quote(ErrFile) + " </dev/null";
    const int Status = std::system(Command.c_str());
    Err = ReadText(ErrFile);
    return WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
  }

  std::string Output(const OddSource& S) const {
    return Folder + "/out/" + S.Name + " (MPEG-4 Video).mp4";
  }

  static std::string Note(const OddSource& S) {
    const int W = S.Width / 2 * 2, H = S.Height / 2 * 2;
    const char* Left = W != S.Width && H != S.Height ? "its last column and last row are"
                       : W != S.Width                ? "its last column is"
                                                     : "its last row is";
    return "[" + std::string(S.Name) + ".avi] The picture is " + std::to_string(S.Width) + "x" +
           std::to_string(S.Height) + ", an odd size the libx264 encoder does not take: " + Left +
           " left out, giving " + std::to_string(W) + "x" + std::to_string(H) +
           " with every other pixel as it was.";
  }

  std::string Folder;
};

TEST_P(OddPictureSize, LosesTheLastColumnOrRowAndKeepsEveryOtherPixel) {
  const OddSource& S = GetParam();
  const std::string Source = Make(S, 0.5);
  std::string Err;
  ASSERT_EQ(Convert(Source, "", Err), 0) << Err;
  EXPECT_NE(Err.find(Note(S) + "\n"), std::string::npos) << Err;

  std::vector<LumaPicture> In, Out;
  ASSERT_EQ(mediagen::ReadLumaPictures(Source, 1000, In), "");
  ASSERT_EQ(mediagen::ReadLumaPictures(Output(S), 1000, Out), "");
  ASSERT_EQ(Out.size(), In.size());
  for (const LumaPicture& P : Out) {
    EXPECT_EQ(P.Width, S.Width / 2 * 2);
    EXPECT_EQ(P.Height, S.Height / 2 * 2);
  }
  // The first picture and one from the middle (an inter-coded one).
  ExpectKeptPixels(In.front(), Out.front(), "first picture");
  ExpectKeptPixels(In[In.size() / 2], Out[Out.size() / 2], "middle picture");
}

INSTANTIATE_TEST_SUITE_P(
    Sources, OddPictureSize,
    ::testing::Values(OddSource{"rgb13x7", 13, 7, VideoCodec::Raw, "bgr24"},
                      OddSource{"mjpeg13x7", 13, 7, VideoCodec::Mjpeg, "yuvj420p"},
                      OddSource{"mjpeg321x241", 321, 241, VideoCodec::Mjpeg, "yuvj422p"},
                      OddSource{"mjpeg514x653", 514, 653, VideoCodec::Mjpeg, "yuvj420p"},
                      OddSource{"raw514x653", 514, 653, VideoCodec::Raw, "yuv422p"}),
    [](const ::testing::TestParamInfo<OddSource>& Info) { return std::string(Info.param.Name); });

// Segments: each piece gets the preset's options and so the same crop; the
// joined file has every picture of the source at the even size.
class OddPictureSegments : public OddPictureSize {};

TEST_P(OddPictureSegments, EveryPieceLosesTheSameColumnAndRow) {
  const OddSource& S = GetParam();
  const std::string Source = Make(S, 4.0);
  std::string Err;
  ASSERT_EQ(Convert(Source, "--segments 2", Err), 0) << Err;
  // Said once for the file, not once a piece.
  const std::size_t At = Err.find(Note(S));
  ASSERT_NE(At, std::string::npos) << Err;
  EXPECT_EQ(Err.find(Note(S), At + 1), std::string::npos) << Err;

  std::vector<LumaPicture> In, Out;
  ASSERT_EQ(mediagen::ReadLumaPictures(Source, 1000, In), "");
  ASSERT_EQ(mediagen::ReadLumaPictures(Output(S), 1000, Out), "");
  ASSERT_EQ(Out.size(), In.size());
  for (size_t I = 0; I < Out.size(); ++I) {
    EXPECT_EQ(Out[I].Width, S.Width / 2 * 2) << "picture " << I;
    EXPECT_EQ(Out[I].Height, S.Height / 2 * 2) << "picture " << I;
  }
  // Around the joint (the second piece starts at the middle picture) and
  // in each piece.
  const size_t Joint = Out.size() / 2;
  for (size_t I : {size_t{0}, Joint - 1, Joint, Joint + 1, Out.size() - 1})
    ExpectKeptPixels(In[I], Out[I], "picture " + std::to_string(I));
}

INSTANTIATE_TEST_SUITE_P(
    Sources, OddPictureSegments,
    ::testing::Values(OddSource{"segments321x241", 321, 241, VideoCodec::Mjpeg, "yuvj422p"}),
    [](const ::testing::TestParamInfo<OddSource>& Info) { return std::string(Info.param.Name); });

}  // namespace
}  // namespace vexav::cli
