// vexav-convert's default mode on the kinds of video that cameras, webcams
// and older capture programs write: whatever the source's chroma and range,
// the MPEG-4 preset gives H.264 "High" 4:2:0 in the video range, with black
// and white where they belong. Each output is read back and decoded.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "MediaGenerator.h"
#include "binding/Api.h"
#include "binding/FFmpegLibs.h"
#include "binding/Owners.h"

namespace vexav::cli {
namespace {

namespace fs = std::filesystem;
using mediagen::MediaRequest;
using mediagen::VideoCodec;

constexpr int Width = 96, Height = 64;

// What the first picture of a file's video stream shows.
struct PictureFacts {
  std::string Error;
  int Profile = -1;
  std::string PixelFormat;
  AVColorRange Range = AVCOL_RANGE_UNSPECIFIED;
  double BlackLuma = -1, WhiteLuma = -1;  // means inside the two halves
  int Width = 0, Height = 0;
};

// On the 8-bit scale: samples of more bits (two bytes each) are brought down.
double MeanLuma(const AVFrame& Frame, int FromX, int ToX) {
  const AVPixFmtDescriptor* Desc =
      ff::av_pix_fmt_desc_get(static_cast<AVPixelFormat>(Frame.format));
  const int Depth = Desc ? Desc->comp[0].depth : 8;
  double Sum = 0;
  int Count = 0;
  for (int Y = Frame.height / 4; Y < Frame.height * 3 / 4; ++Y) {
    const uint8_t* Row = Frame.data[0] + Y * Frame.linesize[0];
    for (int X = FromX; X < ToX; ++X, ++Count)
      Sum += Depth > 8 ? reinterpret_cast<const uint16_t*>(Row)[X] / double(1 << (Depth - 8))
                       : Row[X];
  }
  return Count ? Sum / Count : -1;
}

PictureFacts Failed(const std::string& Why) {
  PictureFacts F;
  F.Error = Why;
  return F;
}

PictureFacts ReadFirstPicture(const std::string& Path) {
  PictureFacts F;
  AVFormatContext* Raw = nullptr;
  if (ff::avformat_open_input(&Raw, Path.c_str(), nullptr, nullptr) < 0)
    return Failed("cannot open " + Path);
  InputFormatPtr File(Raw);
  if (ff::avformat_find_stream_info(File.get(), nullptr) < 0) return Failed("no stream info");
  int Index = -1;
  for (unsigned I = 0; I < File->nb_streams && Index < 0; ++I)
    if (File->streams[I]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) Index = static_cast<int>(I);
  if (Index < 0) return Failed("no video stream");
  const AVCodecParameters* Par = File->streams[Index]->codecpar;
  F.Profile = Par->profile;
  const AVCodec* Codec = ff::avcodec_find_decoder(Par->codec_id);
  CodecContextPtr Dec(ff::avcodec_alloc_context3(Codec));
  if (!Codec || !Dec || ff::avcodec_parameters_to_context(Dec.get(), Par) < 0 ||
      ff::avcodec_open2(Dec.get(), Codec, nullptr) < 0)
    return Failed("cannot open the decoder");
  PacketPtr Packet(ff::av_packet_alloc());
  FramePtr Frame(ff::av_frame_alloc());
  bool Draining = false;
  for (;;) {
    const int Got = ff::avcodec_receive_frame(Dec.get(), Frame.get());
    if (Got == 0) break;
    if (Got != AVERROR(EAGAIN) || Draining) return Failed("no picture decoded");
    if (ff::av_read_frame(File.get(), Packet.get()) < 0) {
      Draining = true;
      ff::avcodec_send_packet(Dec.get(), nullptr);
      continue;
    }
    if (Packet->stream_index == Index) ff::avcodec_send_packet(Dec.get(), Packet.get());
    ff::av_packet_unref(Packet.get());
  }
  const char* Name = ff::av_get_pix_fmt_name(static_cast<AVPixelFormat>(Frame->format));
  F.PixelFormat = Name ? Name : "";
  F.Range = Frame->color_range;
  F.Width = Frame->width;
  F.Height = Frame->height;
  F.BlackLuma = MeanLuma(*Frame, Frame->width / 8, Frame->width * 3 / 8);
  F.WhiteLuma = MeanLuma(*Frame, Frame->width * 5 / 8, Frame->width * 7 / 8);
  return F;
}

std::string Quote(const std::string& Text) {
  std::string Q = "'";
  for (char C : Text) Q += C == '\'' ? std::string("'\\''") : std::string(1, C);
  return Q + "'";
}

// One source family: how the generator stores the black and white halves.
struct Family {
  const char* Name;
  VideoCodec Video;
  const char* PixelFormat;
  // A plain 4:2:0 format whose container alone says full range.
  bool FullRangeFlag = false;
};

void PrintTo(const Family& F, std::ostream* Out) {
  *Out << F.Name;
}

class PlayableOutput : public ::testing::TestWithParam<Family> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(LoadFFmpegLibs("", true)) << LastLoadError();
    char Template[] = "/tmp/vexav-cli-playable-XXXXXX";
    ASSERT_NE(::mkdtemp(Template), nullptr);
    Folder = Template;
  }
  void TearDown() override {
    std::error_code Ignored;
    if (!Folder.empty()) fs::remove_all(Folder, Ignored);
  }

  // Converts a W x H source of the family in default mode (with Preset, when
  // given, into Output); the output is 4:2:0 in the video range with black
  // and white in place (H.264 High with the default preset), and of the even
  // size at most one column and one row smaller. Returns what the program
  // wrote to standard error.
  std::string ConvertAndCheck(int W, int H, const char* Preset = nullptr,
                              const char* Output = "camera (MPEG-4 Video).mp4",
                              const char* PixelFormat = "yuv420p") {
    const Family& F = GetParam();
    MediaRequest Request;
    Request.Width = W;
    Request.Height = H;
    Request.DurationSeconds = 0.4;
    Request.MarkSeconds = {};
    Request.Audio = mediagen::AudioCodec::None;
    Request.Pattern = mediagen::PicturePattern::Levels;
    Request.Video = F.Video;
    Request.RawPixelFormat = Request.MjpegPixelFormat = F.PixelFormat;
    Request.FullRangeFlag = F.FullRangeFlag;
    const std::string Source = Folder + (F.FullRangeFlag ? "/camera.mkv" : "/camera.avi");
    EXPECT_EQ(mediagen::Generate(Source, Request), "");
    const PictureFacts In = ReadFirstPicture(Source);
    EXPECT_EQ(In.Error, "");
    EXPECT_EQ(In.PixelFormat, F.PixelFormat);
    EXPECT_EQ(In.Width, W);
    if (F.FullRangeFlag) {
      EXPECT_EQ(In.Range, AVCOL_RANGE_JPEG);
      EXPECT_NEAR(In.BlackLuma, 0, 3);
    }

    const std::string ErrFile = Folder + "/err.txt";
    const std::string Command = Quote(VEXAV_CONVERT_PROGRAM) + " --output-dir " + Quote(Folder) +
                                (Preset ? " --preset " + Quote(Preset) : std::string()) + " " +
                                Quote(Source) + " >/dev/null 2>" + Quote(ErrFile) + " </dev/null";
    const int Status = std::system(Command.c_str());
    EXPECT_TRUE(WIFEXITED(Status) && WEXITSTATUS(Status) == 0) << Command;
    std::ifstream ErrIn(ErrFile);
    const std::string Err{std::istreambuf_iterator<char>(ErrIn), {}};

    const PictureFacts Out = ReadFirstPicture(Folder + "/" + Output);
    EXPECT_EQ(Out.Error, "") << Err;
    if (!Preset) {
      EXPECT_EQ(Out.Profile, FF_PROFILE_H264_HIGH);
    }
    EXPECT_EQ(Out.PixelFormat, PixelFormat);
    EXPECT_NE(Out.Range, AVCOL_RANGE_JPEG);
    EXPECT_NEAR(Out.BlackLuma, 16, 3);
    EXPECT_NEAR(Out.WhiteLuma, 235, 3);
    EXPECT_EQ(Out.Width, W / 2 * 2);
    EXPECT_EQ(Out.Height, H / 2 * 2);
    return Err;
  }

  std::string Folder;
};

TEST_P(PlayableOutput, IsHigh420InVideoRange) {
  const std::string Err = ConvertAndCheck(Width, Height);
  EXPECT_EQ(Err.find("odd size"), std::string::npos) << Err;
}

// An odd size, which the H.264 encoder refuses in 4:2:0, loses its last
// column and row, whatever the source's chroma and range, and says so.
TEST_P(PlayableOutput, OddSizeLosesItsLastColumnAndRow) {
  const std::string Err = ConvertAndCheck(Width + 1, Height + 1);
  EXPECT_NE(Err.find("[camera." + std::string(GetParam().FullRangeFlag ? "mkv" : "avi") +
                     "] The picture is 97x65, an odd size the libx264 encoder does not take: "
                     "its last column and last row are left out, giving 96x64"),
            std::string::npos)
      << Err;
}

// The constant-quality presets name the same pictures: 4:2:0 in the video
// range, whatever the source's chroma and range (H.265 and AV1 with 10-bit
// samples).
TEST_P(PlayableOutput, EveryVideoPresetIs420InVideoRange) {
  const struct {
    const char* Preset;
    const char* Output;
    const char* PixelFormat;
  } Cases[] = {{"MPEG-4 Video HQ", "camera (MPEG-4 Video HQ).mp4", "yuv420p"},
               {"HEVC Video", "camera (HEVC Video).mp4", "yuv420p10le"},
               {"WebM Video", "camera (WebM Video).webm", "yuv420p"},
               {"AV1 Video", "camera (AV1 Video).mkv", "yuv420p10le"}};
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Preset);
    ConvertAndCheck(Width, Height, C.Preset, C.Output, C.PixelFormat);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Sources, PlayableOutput,
    ::testing::Values(Family{"Mjpeg422FullRange", VideoCodec::Mjpeg, "yuvj422p"},
                      Family{"Mjpeg444FullRange", VideoCodec::Mjpeg, "yuvj444p"},
                      Family{"Mjpeg420FullRange", VideoCodec::Mjpeg, "yuvj420p"},
                      Family{"Raw411", VideoCodec::Raw, "yuv411p"},
                      Family{"Raw422", VideoCodec::Raw, "yuv422p"},
                      Family{"RawRgb", VideoCodec::Raw, "bgr24"},
                      Family{"RawPaletted", VideoCodec::Raw, "pal8"},
                      Family{"Mpeg4FlaggedFullRange", VideoCodec::Mpeg4, "yuv420p", true}),
    [](const ::testing::TestParamInfo<Family>& Info) { return std::string(Info.param.Name); });

}  // namespace
}  // namespace vexav::cli
