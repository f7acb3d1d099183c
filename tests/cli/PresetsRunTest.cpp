// vexav-convert --preset, --max-height and --list-presets: each preset
// converts a short generated clip, and the output is decoded and read back
// (container, codecs, picture size, sample rate, channels, the codec tag);
// the size limit at odd sizes and on non-square pixels; what the command
// line refuses.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "MediaGenerator.h"
#include "binding/Api.h"
#include "binding/FFmpegLibs.h"
#include "binding/Owners.h"

namespace vexav::cli {
namespace {

namespace fs = std::filesystem;

std::string Quote(const std::string& Text) {
  std::string Q = "'";
  for (char C : Text) Q += C == '\'' ? std::string("'\\''") : std::string(1, C);
  return Q + "'";
}

std::string ReadText(const std::string& Path) {
  std::ifstream In(Path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(In), {});
}

// What the container says of a file's first video stream.
struct ContainerFacts {
  std::string Error;
  std::string Format;  // the demuxer's name
  int VideoStreams = 0;
  int AudioStreams = 0;
  uint32_t VideoTag = 0;
  AVRational SampleAspect{0, 1};
};

ContainerFacts ReadContainer(const std::string& Path) {
  ContainerFacts Facts;
  AVFormatContext* Raw = nullptr;
  if (ff::avformat_open_input(&Raw, Path.c_str(), nullptr, nullptr) < 0) {
    Facts.Error = "cannot open " + Path;
    return Facts;
  }
  InputFormatPtr File(Raw);
  if (ff::avformat_find_stream_info(File.get(), nullptr) < 0) {
    Facts.Error = "no stream information in " + Path;
    return Facts;
  }
  Facts.Format = File->iformat->name;
  for (unsigned I = 0; I < File->nb_streams; ++I) {
    const AVStream* Stream = File->streams[I];
    if (Stream->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) ++Facts.AudioStreams;
    if (Stream->codecpar->codec_type != AVMEDIA_TYPE_VIDEO) continue;
    if (Facts.VideoStreams++ > 0) continue;
    Facts.VideoTag = Stream->codecpar->codec_tag;
    Facts.SampleAspect = Stream->sample_aspect_ratio.num > 0 ? Stream->sample_aspect_ratio
                                                            : Stream->codecpar->sample_aspect_ratio;
  }
  return Facts;
}

class Presets : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(LoadFFmpegLibs("", true)) << LastLoadError();
    ff::av_log_set_level(AV_LOG_ERROR);
    char Template[] = "/tmp/vexav-cli-presets-XXXXXX";
    ASSERT_NE(::mkdtemp(Template), nullptr);
    Folder = Template;
  }
  void TearDown() override {
    std::error_code Ignored;
    if (!Folder.empty()) fs::remove_all(Folder, Ignored);
  }

  // A clip of Seconds at 25 frames/s with mono sound at 22050 Hz (which the
  // presets make stereo, and the Opus ones 48000 Hz).
  std::string Make(const std::string& Name, int Width, int Height, double Seconds = 1.0) {
    mediagen::MediaRequest Request;
    Request.Width = Width;
    Request.Height = Height;
    Request.FrameRateNum = 25;
    Request.FrameRateDen = 1;
    Request.DurationSeconds = Seconds;
    Request.MarkSeconds = {};
    Request.Channels = 1;
    Request.SampleRate = 22050;
    const std::string Path = Folder + "/" + Name;
    EXPECT_EQ(mediagen::Generate(Path, Request), "");
    return Path;
  }

  // Runs the program with Args; the exit status, standard output in Out and
  // standard error in Err.
  int Run(const std::string& Args, std::string& Out, std::string& Err) {
    const std::string Command = Quote(VEXAV_CONVERT_PROGRAM) + " " + Args + " >" +
                                Quote(Folder + "/out.txt") + " 2>" + Quote(Folder + "/err.txt") +
                                " </dev/null";
    const int Status = std::system(Command.c_str());
    Out = ReadText(Folder + "/out.txt");
    Err = ReadText(Folder + "/err.txt");
    return WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
  }

  int Convert(const std::string& Options, const std::string& Source, std::string& Err) {
    std::string Out;
    return Run("-d " + Quote(Folder + "/out") + " " + Options + " " + Quote(Source), Out, Err);
  }

  std::string Folder;
};

struct Expected {
  const char* Preset;
  const char* Output;  // the output's name for clip.avi
  const char* Format;
  const char* Video;  // decoder's codec name; nullptr: no picture
  const char* Audio;
  int SampleRate;
  const char* PixelFormat = "yuv420p";
};

TEST_F(Presets, EachPresetConvertsAndReadsBackAsItSays) {
  const std::string Source = Make("clip.avi", 160, 120);
  const Expected Cases[] = {
      {"MPEG-4 Video HQ", "clip (MPEG-4 Video HQ).mp4", "mov,mp4,m4a,3gp,3g2,mj2", "h264", "aac",
       22050},
      {"hevc video", "clip (HEVC Video).mp4", "mov,mp4,m4a,3gp,3g2,mj2", "hevc", "aac", 22050,
       "yuv420p10le"},
      {"WebM Video", "clip (WebM Video).webm", "matroska,webm", "vp9", "opus", 48000},
      {"AV1 Video", "clip (AV1 Video).mkv", "matroska,webm", "av1", "opus", 48000,
       "yuv420p10le"},
      {"M4A Audio", "clip (M4A Audio).m4a", "mov,mp4,m4a,3gp,3g2,mj2", nullptr, "aac", 22050},
  };
  for (const Expected& C : Cases) {
    SCOPED_TRACE(C.Preset);
    std::string Err;
    ASSERT_EQ(Convert("--preset " + Quote(C.Preset), Source, Err), 0) << Err;
    // Nothing of the encoders' own chatter on standard error.
    EXPECT_EQ(Err.find("Svt["), std::string::npos) << Err;
    EXPECT_EQ(Err.find("x265 ["), std::string::npos) << Err;
    const std::string Output = Folder + "/out/" + C.Output;
    ASSERT_TRUE(fs::exists(Output)) << Output;
    const ContainerFacts Container = ReadContainer(Output);
    ASSERT_EQ(Container.Error, "");
    EXPECT_EQ(Container.Format, C.Format);
    EXPECT_EQ(Container.AudioStreams, 1);

    const mediagen::DecodedMedia Decoded = mediagen::Decode(Output);
    ASSERT_EQ(Decoded.Error, "");
    EXPECT_EQ(Decoded.AudioCodecName, C.Audio);
    EXPECT_EQ(Decoded.AudioChannels, 2);
    EXPECT_EQ(Decoded.AudioSampleRate, C.SampleRate);
    // About a second of sound.
    EXPECT_NEAR(static_cast<double>(Decoded.AudioSamples) / C.SampleRate, 1.0, 0.1);
    if (!C.Video) {
      EXPECT_EQ(Container.VideoStreams, 0);
      EXPECT_TRUE(Decoded.Frames.empty());
      continue;
    }
    EXPECT_EQ(Decoded.VideoCodecName, C.Video);
    EXPECT_EQ(Decoded.PixelFormat, C.PixelFormat);
    // The source's rate and every picture, at the source's size.
    EXPECT_EQ(Decoded.FrameRateNum, 25 * Decoded.FrameRateDen);
    ASSERT_EQ(Decoded.Frames.size(), 25u);
    EXPECT_EQ(Decoded.Frames[0].Width, 160);
    EXPECT_EQ(Decoded.Frames[0].Height, 120);
  }
  // The H.265 stream is tagged for Apple's players.
  const ContainerFacts Hevc = ReadContainer(Folder + "/out/clip (HEVC Video).mp4");
  EXPECT_EQ(Hevc.VideoTag, MKTAG('h', 'v', 'c', '1'));
}

// AAC has no 88.2, 96 or 192 kHz at these rates (and refuses what it does
// not have): a studio source still converts, at the CD or video rate of
// its family, every channel mixed into the two, and its whole length kept.
TEST_F(Presets, AacPresetsTakeHighRateSourcesAtARateAacHas) {
  struct Case {
    int SourceRate;
    int Channels;
    int Expected;
  };
  for (const Case C : {Case{192000, 6, 48000}, Case{88200, 2, 44100}}) {
    mediagen::MediaRequest Request;
    Request.Width = 96;
    Request.Height = 64;
    Request.DurationSeconds = 1.0;
    Request.Channels = C.Channels;
    Request.SampleRate = C.SourceRate;
    Request.Audio = mediagen::AudioCodec::Pcm;
    const std::string Source = Folder + "/studio" + std::to_string(C.SourceRate) + ".avi";
    ASSERT_EQ(mediagen::Generate(Source, Request), "");
    for (const char* Preset : {"M4A Audio", "MPEG-4 Video HQ"}) {
      SCOPED_TRACE(std::string(Preset) + " from " + std::to_string(C.SourceRate));
      std::string Err;
      ASSERT_EQ(Convert("--preset " + Quote(Preset), Source, Err), 0) << Err;
      const std::string Ext = std::string(Preset) == "M4A Audio" ? ".m4a" : ".mp4";
      const mediagen::DecodedMedia Decoded =
          mediagen::Decode(Folder + "/out/studio" + std::to_string(C.SourceRate) + " (" + Preset +
                           ")" + Ext);
      ASSERT_EQ(Decoded.Error, "");
      EXPECT_EQ(Decoded.AudioSampleRate, C.Expected);
      EXPECT_EQ(Decoded.AudioChannels, 2);
      EXPECT_NEAR(static_cast<double>(Decoded.AudioSamples) / C.Expected, 1.0, 0.1);
    }
  }
}

TEST_F(Presets, SizeLimitKeepsTheDisplayAspectAndEvenSides) {
  // Odd sizes: above the limit the picture is scaled (241 lines to 144,
  // 191.8 columns to 192); below it, its last column and row are left out
  // as without a limit.
  const std::string Odd = Make("odd.avi", 321, 241, 0.4);
  std::string Err;
  ASSERT_EQ(Convert("--preset 'MPEG-4 Video HQ' --max-height 144", Odd, Err), 0) << Err;
  mediagen::DecodedMedia D = mediagen::Decode(Folder + "/out/odd (MPEG-4 Video HQ).mp4");
  ASSERT_EQ(D.Error, "");
  ASSERT_FALSE(D.Frames.empty());
  EXPECT_EQ(D.Frames[0].Width, 192);
  EXPECT_EQ(D.Frames[0].Height, 144);
  ASSERT_EQ(Convert("--max-height 480 --overwrite", Odd, Err), 0) << Err;
  D = mediagen::Decode(Folder + "/out/odd (MPEG-4 Video).mp4");
  ASSERT_EQ(D.Error, "");
  ASSERT_FALSE(D.Frames.empty());
  EXPECT_EQ(D.Frames[0].Width, 320);
  EXPECT_EQ(D.Frames[0].Height, 240);

  // A 320x240 picture of 16:9 display (wide pixels) becomes 256x144 of
  // square pixels: the display aspect is kept.
  const std::string Square = Make("square.avi", 320, 240, 0.4);
  const std::string Wide = Folder + "/wide.mkv";
  std::string Out;
  ASSERT_EQ(Run("-o " + Quote(Wide) + " --option vcodec=mpeg4 --option aspect=16:9 " +
                    Quote(Square),
                Out, Err),
            0)
      << Err;
  const ContainerFacts Source = ReadContainer(Wide);
  ASSERT_EQ(Source.SampleAspect.num * 3, Source.SampleAspect.den * 4);  // 4:3 pixels
  ASSERT_EQ(Convert("--preset 'webm video' --max-height 144", Wide, Err), 0) << Err;
  const std::string Output = Folder + "/out/wide (WebM Video).webm";
  D = mediagen::Decode(Output);
  ASSERT_EQ(D.Error, "");
  ASSERT_FALSE(D.Frames.empty());
  EXPECT_EQ(D.Frames[0].Width, 256);
  EXPECT_EQ(D.Frames[0].Height, 144);
  const ContainerFacts Scaled = ReadContainer(Output);
  const double Sar = Scaled.SampleAspect.num > 0
                         ? static_cast<double>(Scaled.SampleAspect.num) / Scaled.SampleAspect.den
                         : 1.0;
  EXPECT_NEAR(256.0 * Sar / 144.0, 16.0 / 9.0, 0.01);
}

TEST_F(Presets, CommandLineRefusesWhatItCannotDo) {
  const std::string Source = Make("clip.avi", 160, 120, 0.2);
  std::string Out, Err;
  for (const char* Height : {"143", "4321", "0", "720p", "-5", ""}) {
    EXPECT_EQ(Run("--max-height " + Quote(Height) + " " + Quote(Source), Out, Err), 2) << Height;
    EXPECT_NE(Err.find("option '--max-height' needs a number from 144 to 4320"),
              std::string::npos)
        << Err;
  }
  EXPECT_EQ(Run("--preset Betamax " + Quote(Source), Out, Err), 2);
  EXPECT_NE(Err.find("unknown preset 'Betamax'; the presets are 'MPEG-4 Video', "
                     "'MPEG-4 Video HQ', 'HEVC Video', 'WebM Video', 'AV1 Video' and "
                     "'M4A Audio'"),
            std::string::npos)
      << Err;
  EXPECT_EQ(Run("--preset 'HEVC Video' -o x.mp4 " + Quote(Source), Out, Err), 2) << Err;
  EXPECT_EQ(Run("--list-presets " + Quote(Source), Out, Err), 2) << Err;
  // Sound only from a source without sound: the file fails, nothing is left.
  mediagen::MediaRequest Silent;
  Silent.Width = 160;
  Silent.Height = 120;
  Silent.DurationSeconds = 0.2;
  Silent.Audio = mediagen::AudioCodec::None;
  const std::string Mute = Folder + "/mute.avi";
  ASSERT_EQ(mediagen::Generate(Mute, Silent), "");
  EXPECT_EQ(Run("-d " + Quote(Folder) + " --preset 'M4A Audio' " + Quote(Mute), Out, Err), 1);
  EXPECT_NE(Err.find("no audio stream to convert (the preset keeps only the sound)"),
            std::string::npos)
      << Err;
  EXPECT_FALSE(fs::exists(Folder + "/mute (M4A Audio).m4a"));
  // Nothing was written anywhere.
  EXPECT_FALSE(fs::exists(Folder + "/out"));
  EXPECT_FALSE(fs::exists("x.mp4"));
}

TEST_F(Presets, ListPresetsGivesALineEach) {
  std::string Out, Err;
  ASSERT_EQ(Run("--list-presets", Out, Err), 0) << Err;
  std::istringstream Lines(Out);
  std::vector<std::string> Names;
  for (std::string Line; std::getline(Lines, Line);) {
    const std::size_t Tab = Line.find('\t');
    ASSERT_NE(Tab, std::string::npos) << Line;
    Names.push_back(Line.substr(0, Tab));
    // A description, and no reason: Debian's libraries have every encoder.
    EXPECT_GT(Line.size(), Tab + 20) << Line;
    EXPECT_EQ(Line.find('\t', Tab + 1), std::string::npos) << Line;
    EXPECT_EQ(Line.find("unavailable"), std::string::npos) << Line;
  }
  EXPECT_EQ(Names, (std::vector<std::string>{"MPEG-4 Video", "MPEG-4 Video HQ", "HEVC Video",
                                             "WebM Video", "AV1 Video", "M4A Audio"}));
}

}  // namespace
}  // namespace vexav::cli
