// The test-media generator: what it writes must decode to the asked sizes,
// rates, durations and marks, the same bytes each time, and nothing at all
// when it fails.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "MediaGenerator.h"
#include "binding/FFmpegLibs.h"

namespace fs = std::filesystem;
using namespace vexav::mediagen;

namespace {

class MediaGeneratorTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(vexav::LoadFFmpegLibs("", true)) << vexav::LastLoadError(); }

  void SetUp() override {
    const auto* Info = ::testing::UnitTest::GetInstance()->current_test_info();
    Dir = fs::temp_directory_path() /
          ("vexav-mediagen-" + std::to_string(::getpid()) + "-" + Info->name());
    fs::remove_all(Dir);
    fs::create_directories(Dir);
  }
  void TearDown() override {
    std::error_code Ignored;
    fs::remove_all(Dir, Ignored);
  }

  std::string PathOf(const std::string& Name) const { return (Dir / Name).string(); }

  // Generates Name and decodes it, failing the test on any error.
  DecodedMedia Make(const std::string& Name, const MediaRequest& Request) {
    const std::string Path = PathOf(Name);
    const std::string Problem = Generate(Path, Request);
    EXPECT_EQ(Problem, "");
    DecodedMedia Media = Decode(Path);
    EXPECT_EQ(Media.Error, "");
    return Media;
  }

  fs::path Dir;
};

std::string ReadAll(const std::string& Path) {
  std::ifstream In(Path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(In), {});
}

int64_t FrameUs(const MediaRequest& Request) {
  return static_cast<int64_t>(1000000.0 * Request.FrameRateDen / Request.FrameRateNum);
}

// Every frame has the asked size and the frames follow at the frame rate.
void ExpectPictures(const DecodedMedia& Media, const MediaRequest& Request) {
  const auto Expected = std::llround(Request.DurationSeconds * Request.FrameRateNum / Request.FrameRateDen);
  ASSERT_EQ(static_cast<int64_t>(Media.Frames.size()), Expected);
  EXPECT_EQ(Media.VideoStreams, 1);
  EXPECT_EQ(Media.FrameRateNum * static_cast<int64_t>(Request.FrameRateDen),
            Request.FrameRateNum * static_cast<int64_t>(Media.FrameRateDen));
  for (size_t I = 0; I < Media.Frames.size(); ++I) {
    const DecodedVideoFrame& F = Media.Frames[I];
    EXPECT_EQ(F.Width, Request.Width);
    EXPECT_EQ(F.Height, Request.Height);
    const int64_t Want = static_cast<int64_t>(I) * Request.FrameRateDen * 1000000 / Request.FrameRateNum;
    EXPECT_NEAR(static_cast<double>(F.PtsUs), static_cast<double>(Want), 1000.0) << "frame " << I;
  }
}

// Flash frames are white, every other frame dark, and flashes appear at
// the marks only.
void ExpectFlashes(const DecodedMedia& Media, const MediaRequest& Request) {
  const std::vector<int64_t> Marks = MarkTimesUs(Request);
  ASSERT_EQ(Media.FlashTimesUs.size(), Marks.size());
  for (size_t I = 0; I < Marks.size(); ++I) {
    EXPECT_NEAR(static_cast<double>(Media.FlashTimesUs[I]), static_cast<double>(Marks[I]), FrameUs(Request));
    EXPECT_NEAR(static_cast<double>(Marks[I]), Request.MarkSeconds[I] * 1e6, FrameUs(Request) / 2.0 + 1);
  }
  for (const DecodedVideoFrame& F : Media.Frames) {
    if (F.MeanLuma > FlashLumaThreshold)
      EXPECT_GE(F.MeanLuma, 230.0);
    else
      EXPECT_LT(F.MeanLuma, 150.0);
  }
}

// The sound has the asked format and length, and its clicks fall on the
// marks within a few milliseconds.
void ExpectSound(const DecodedMedia& Media, const MediaRequest& Request, int64_t LengthSlack) {
  EXPECT_EQ(Media.AudioStreams, Request.AudioStreams);
  EXPECT_EQ(Media.AudioSampleRate, Request.SampleRate);
  EXPECT_EQ(Media.AudioChannels, Request.Channels);
  const auto Expected = std::llround(Request.DurationSeconds * Request.SampleRate);
  EXPECT_GE(Media.AudioSamples, Expected);
  EXPECT_LE(Media.AudioSamples, Expected + LengthSlack);
  const std::vector<int64_t> Marks = MarkTimesUs(Request);
  ASSERT_EQ(Media.ClickSampleTimesUs.size(), Marks.size());
  for (size_t I = 0; I < Marks.size(); ++I)
    EXPECT_NEAR(static_cast<double>(Media.ClickSampleTimesUs[I]), static_cast<double>(Marks[I]), 3000.0);
  EXPECT_NEAR(Media.ToneHz, Request.ToneHz, Request.ToneHz * 0.03);
}

// One MP3 frame, the most the encoder pads at the end.
constexpr int64_t Mp3Slack = 1152;

TEST_F(MediaGeneratorTest, Mpeg4WithMp3DecodesWithMarksInPlace) {
  MediaRequest Request;  // 320x240, 25 fps, 2 s, stereo 44.1 kHz, marks at 0.5 and 1.5 s
  const DecodedMedia Media = Make("mpeg4.avi", Request);
  EXPECT_EQ(Media.VideoCodecName, "mpeg4");
  EXPECT_EQ(Media.AudioCodecName, "mp3");
  EXPECT_NEAR(static_cast<double>(Media.DurationUs), 2e6, 50000.0);
  ExpectPictures(Media, Request);
  ExpectFlashes(Media, Request);
  ExpectSound(Media, Request, Mp3Slack);
  // Picture and sound marks coincide.
  ASSERT_EQ(Media.FlashTimesUs.size(), Media.ClickSampleTimesUs.size());
  for (size_t I = 0; I < Media.FlashTimesUs.size(); ++I)
    EXPECT_NEAR(static_cast<double>(Media.FlashTimesUs[I]), static_cast<double>(Media.ClickSampleTimesUs[I]), 3000.0);
}

TEST_F(MediaGeneratorTest, MjpegWithPcmAtFractionalRate) {
  MediaRequest Request;
  Request.Video = VideoCodec::Mjpeg;
  Request.Audio = AudioCodec::Pcm;
  Request.FrameRateNum = 30000;
  Request.FrameRateDen = 1001;
  Request.DurationSeconds = 1.5;
  Request.SampleRate = 22050;
  Request.Channels = 1;
  Request.MarkSeconds = {0.25, 1.0};
  const DecodedMedia Media = Make("mjpeg.avi", Request);
  EXPECT_EQ(Media.VideoCodecName, "mjpeg");
  EXPECT_EQ(Media.AudioCodecName, "pcm_s16le");
  ExpectPictures(Media, Request);
  ExpectFlashes(Media, Request);
  ExpectSound(Media, Request, 0);
}

TEST_F(MediaGeneratorTest, RawVideoInYuvAndBgrIncludingOddSizes) {
  MediaRequest Request;
  Request.Video = VideoCodec::Raw;
  Request.Audio = AudioCodec::Pcm;
  Request.DurationSeconds = 1.0;
  Request.FrameRateNum = 10;
  Request.MarkSeconds = {0.3};
  for (const auto& [Format, Width, Height] :
       {std::tuple{"yuv420p", 321, 240}, std::tuple{"yuv420p", 176, 143}, std::tuple{"bgr24", 160, 120}}) {
    SCOPED_TRACE(std::string(Format) + " " + std::to_string(Width) + "x" + std::to_string(Height));
    Request.RawPixelFormat = Format;
    Request.Width = Width;
    Request.Height = Height;
    const DecodedMedia Media = Make("raw.avi", Request);
    EXPECT_EQ(Media.VideoCodecName, "rawvideo");
    EXPECT_EQ(Media.PixelFormat, Format);
    ExpectPictures(Media, Request);
    ExpectFlashes(Media, Request);
    ExpectSound(Media, Request, 0);
  }
}

// Camera-style pictures: MJPEG in each full-range chroma layout, and raw
// 4:1:1 and paletted, all showing the black and white halves. Full-range
// luma averages (0 + 255) / 2, video-range luma (16 + 235) / 2.
TEST_F(MediaGeneratorTest, LevelBarsInFullRangeAndOtherChromaLayouts) {
  MediaRequest Request;
  Request.Audio = AudioCodec::None;
  Request.DurationSeconds = 0.2;
  Request.MarkSeconds = {};
  Request.Pattern = PicturePattern::Levels;
  for (const auto& [Video, Format, Mean] : {std::tuple{VideoCodec::Mjpeg, "yuvj422p", 127.5},
                                            std::tuple{VideoCodec::Mjpeg, "yuvj444p", 127.5},
                                            std::tuple{VideoCodec::Raw, "yuv411p", 125.5},
                                            std::tuple{VideoCodec::Raw, "pal8", 125.5}}) {
    SCOPED_TRACE(Format);
    Request.Video = Video;
    Request.RawPixelFormat = Request.MjpegPixelFormat = Format;
    const DecodedMedia Media = Make("levels.avi", Request);
    EXPECT_EQ(Media.PixelFormat, Format);
    ASSERT_FALSE(Media.Frames.empty());
    EXPECT_NEAR(Media.Frames[0].MeanLuma, Mean, 1.5);
  }
  Request.Video = VideoCodec::Mjpeg;
  Request.MjpegPixelFormat = "yuv420p";  // video range: not what JPEG stores
  EXPECT_NE(Generate(PathOf("bad.avi"), Request).find("yuv420p"), std::string::npos);
}

TEST_F(MediaGeneratorTest, Mpeg4AtOddWidth) {
  MediaRequest Request;
  Request.Width = 321;
  Request.DurationSeconds = 1.0;
  Request.Audio = AudioCodec::None;
  Request.MarkSeconds = {0.4};
  const DecodedMedia Media = Make("odd.avi", Request);
  ExpectPictures(Media, Request);
  ExpectFlashes(Media, Request);
  EXPECT_EQ(Media.AudioStreams, 0);
}

TEST_F(MediaGeneratorTest, PicturesMoveBetweenFrames) {
  MediaRequest Request;
  Request.Video = VideoCodec::Raw;
  Request.Audio = AudioCodec::None;
  Request.DurationSeconds = 0.4;
  Request.MarkSeconds = {};
  const std::string First = PathOf("a.avi");
  ASSERT_EQ(Generate(First, Request), "");
  const DecodedMedia Media = Decode(First);
  ASSERT_EQ(Media.Error, "");
  ASSERT_EQ(Media.Frames.size(), 10u);
  EXPECT_TRUE(Media.FlashTimesUs.empty());
  // The square crosses the gradient, so the mean changes from frame to frame.
  int Changes = 0;
  for (size_t I = 1; I < Media.Frames.size(); ++I)
    Changes += Media.Frames[I].MeanLuma != Media.Frames[I - 1].MeanLuma;
  EXPECT_GE(Changes, 5);
}

TEST_F(MediaGeneratorTest, SameRequestGivesSameBytes) {
  for (const auto& [Video, Audio] : {std::pair{VideoCodec::Mpeg4, AudioCodec::Mp3},
                                     std::pair{VideoCodec::Mjpeg, AudioCodec::Pcm}}) {
    MediaRequest Request;
    Request.Video = Video;
    Request.Audio = Audio;
    Request.DurationSeconds = 1.0;
    ASSERT_EQ(Generate(PathOf("one.avi"), Request), "");
    ASSERT_EQ(Generate(PathOf("two.avi"), Request), "");
    const std::string One = ReadAll(PathOf("one.avi"));
    EXPECT_GT(One.size(), 1000u);
    EXPECT_LT(One.size(), 1000000u);
    EXPECT_TRUE(One == ReadAll(PathOf("two.avi")));
    // A different tone makes a different file.
    Request.ToneHz = 880;
    ASSERT_EQ(Generate(PathOf("three.avi"), Request), "");
    EXPECT_FALSE(One == ReadAll(PathOf("three.avi")));
  }
  MediaRequest Sound;
  Sound.Video = VideoCodec::None;
  ASSERT_EQ(Generate(PathOf("one.mp3"), Sound), "");
  ASSERT_EQ(Generate(PathOf("two.mp3"), Sound), "");
  EXPECT_TRUE(ReadAll(PathOf("one.mp3")) == ReadAll(PathOf("two.mp3")));
}

TEST_F(MediaGeneratorTest, SoundOnlyMp3AndWav) {
  MediaRequest Request;
  Request.Video = VideoCodec::None;
  Request.DurationSeconds = 1.0;
  Request.MarkSeconds = {0.25, 0.7};
  {
    SCOPED_TRACE("mp3");
    const DecodedMedia Media = Make("sound.mp3", Request);
    EXPECT_EQ(Media.VideoStreams, 0);
    EXPECT_TRUE(Media.Frames.empty());
    EXPECT_EQ(Media.AudioCodecName, "mp3");
    ExpectSound(Media, Request, Mp3Slack);
  }
  {
    SCOPED_TRACE("wav");
    Request.Audio = AudioCodec::Pcm;
    Request.SampleRate = 48000;
    Request.Channels = 1;
    const DecodedMedia Media = Make("sound.wav", Request);
    EXPECT_EQ(Media.VideoStreams, 0);
    EXPECT_EQ(Media.AudioCodecName, "pcm_s16le");
    ExpectSound(Media, Request, 0);
    // Clicks land on the exact sample in uncompressed sound.
    const std::vector<int64_t> Marks = MarkTimesUs(Request);
    for (size_t I = 0; I < Marks.size(); ++I) EXPECT_NEAR(Media.ClickSampleTimesUs[I], Marks[I], 21);
  }
}

TEST_F(MediaGeneratorTest, TwoAudioStreamsOctaveApart) {
  MediaRequest Request;
  Request.AudioStreams = 2;
  Request.DurationSeconds = 1.0;
  Request.MarkSeconds = {0.4};
  for (AudioCodec Audio : {AudioCodec::Mp3, AudioCodec::Pcm}) {
    Request.Audio = Audio;
    const std::string Path = PathOf("two.avi");
    ASSERT_EQ(Generate(Path, Request), "");
    const DecodedMedia First = Decode(Path, 0);
    const DecodedMedia Second = Decode(Path, 1);
    ASSERT_EQ(First.Error, "");
    ASSERT_EQ(Second.Error, "");
    EXPECT_EQ(First.AudioStreams, 2);
    ExpectSound(First, Request, Mp3Slack);
    EXPECT_NEAR(Second.ToneHz, 2 * Request.ToneHz, 2 * Request.ToneHz * 0.03);
    EXPECT_EQ(Second.ClickSampleTimesUs, First.ClickSampleTimesUs);
    EXPECT_NE(Decode(Path, 2).Error, "");
  }
}

TEST_F(MediaGeneratorTest, MarksPastTheEndAreLeftOut) {
  MediaRequest Request;
  Request.DurationSeconds = 1.0;
  Request.MarkSeconds = {0.2, 1.5};
  ASSERT_EQ(MarkTimesUs(Request), std::vector<int64_t>{200000});
  const DecodedMedia Media = Make("late.avi", Request);
  EXPECT_EQ(Media.FlashTimesUs.size(), 1u);
  EXPECT_EQ(Media.ClickSampleTimesUs.size(), 1u);
}

TEST_F(MediaGeneratorTest, FailuresSayWhyAndLeaveNoFile) {
  // A path below a regular file cannot be created, even by a privileged user.
  std::ofstream(PathOf("file")) << "x";
  const std::string Unwritable = PathOf("file") + "/out.avi";
  const std::string Error = Generate(Unwritable, MediaRequest{});
  EXPECT_NE(Error.find("cannot open"), std::string::npos) << Error;
  EXPECT_FALSE(fs::exists(Unwritable));

  struct Case {
    const char* Name;
    MediaRequest Request;
    const char* Reason;
  };
  MediaRequest NoStreams;
  NoStreams.Video = VideoCodec::None;
  NoStreams.Audio = AudioCodec::None;
  MediaRequest VideoInMp3;
  MediaRequest ZeroSize;
  ZeroSize.Width = 0;
  MediaRequest BadRate;
  BadRate.SampleRate = 12345;
  MediaRequest BadPixels;
  BadPixels.Video = VideoCodec::Raw;
  BadPixels.RawPixelFormat = "no-such-format";
  MediaRequest NegativeMark;
  NegativeMark.MarkSeconds = {-1};
  MediaRequest TwoInWav;
  TwoInWav.Video = VideoCodec::None;
  TwoInWav.Audio = AudioCodec::Pcm;
  TwoInWav.AudioStreams = 2;
  MediaRequest FlagInAvi;
  FlagInAvi.FullRangeFlag = true;
  for (const Case& C :
       {Case{"none.avi", NoStreams, "neither"}, Case{"v.mp3", VideoInMp3, "cannot hold video"},
        Case{"zero.avi", ZeroSize, "size"}, Case{"rate.avi", BadRate, "12345"},
        Case{"pix.avi", BadPixels, "no-such-format"}, Case{"mark.avi", NegativeMark, "negative"},
        Case{"two.wav", TwoInWav, "one audio stream"}, Case{"x.mov", MediaRequest{}, ".mov"},
        Case{"flag.avi", FlagInAvi, ".mkv"}}) {
    const std::string Reason = Generate(PathOf(C.Name), C.Request);
    EXPECT_NE(Reason.find(C.Reason), std::string::npos) << C.Name << ": " << Reason;
    EXPECT_FALSE(fs::exists(PathOf(C.Name))) << C.Name;
  }

  // A file already there is left alone when the request is refused.
  std::ofstream(PathOf("kept.avi")) << "old";
  EXPECT_NE(Generate(PathOf("kept.avi"), ZeroSize), "");
  EXPECT_EQ(ReadAll(PathOf("kept.avi")), "old");
}

TEST_F(MediaGeneratorTest, DecodeReportsUnreadableFiles) {
  EXPECT_NE(Decode(PathOf("missing.avi")).Error, "");
  std::ofstream(PathOf("empty.avi")).flush();
  EXPECT_NE(Decode(PathOf("empty.avi")).Error, "");
  std::ofstream(PathOf("junk.avi")) << std::string(4096, 'j');
  EXPECT_NE(Decode(PathOf("junk.avi")).Error, "");

  // A file cut short still decodes what is there.
  MediaRequest Request;
  Request.DurationSeconds = 1.0;
  ASSERT_EQ(Generate(PathOf("whole.avi"), Request), "");
  const std::string Whole = ReadAll(PathOf("whole.avi"));
  std::ofstream(PathOf("cut.avi"), std::ios::binary).write(Whole.data(), static_cast<std::streamsize>(Whole.size() / 2));
  const DecodedMedia Cut = Decode(PathOf("cut.avi"));
  EXPECT_EQ(Cut.Error, "");
  EXPECT_GT(Cut.Frames.size(), 0u);
  EXPECT_LT(Cut.Frames.size(), 25u);
}

// The command-line tool.
int RunTool(const std::string& Arguments) {
  const std::string Command = std::string(VEXAV_MEDIAGEN_TOOL) + " " + Arguments + " >/dev/null 2>&1";
  const int Status = std::system(Command.c_str());
  return WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
}

TEST_F(MediaGeneratorTest, ToolWritesWhatItIsAskedFor) {
  const std::string Path = PathOf("tool.avi");
  ASSERT_EQ(RunTool("--size 176x144 --rate 15 --duration 1 --video mjpeg --audio pcm --sample-rate 16000 "
                    "--channels 1 --audio-streams 2 " + Path),
            0);
  const DecodedMedia Media = Decode(Path);
  ASSERT_EQ(Media.Error, "");
  EXPECT_EQ(Media.Frames.size(), 15u);
  EXPECT_EQ(Media.Frames[0].Width, 176);
  EXPECT_EQ(Media.FrameRateNum, 15);
  EXPECT_EQ(Media.AudioSampleRate, 16000);
  EXPECT_EQ(Media.AudioChannels, 1);
  EXPECT_EQ(Media.AudioStreams, 2);
  EXPECT_EQ(Media.VideoCodecName, "mjpeg");

  EXPECT_EQ(RunTool("--video none --audio pcm --duration 0.5 " + PathOf("tool.wav")), 0);
  EXPECT_TRUE(fs::exists(PathOf("tool.wav")));
}

TEST_F(MediaGeneratorTest, ToolRefusesBadArguments) {
  const std::string Path = PathOf("bad.avi");
  for (const char* Arguments : {"", "--size 320 ", "--rate 0/x ", "--video vp9 ", "--audio aac ", "--frobnicate 1 ",
                                "--duration ", "--size 0x240 ", "--video none --audio none "}) {
    const std::string Line = Arguments + (std::string(Arguments).empty() ? std::string() : Path);
    EXPECT_NE(RunTool(Line), 0) << Line;
    EXPECT_FALSE(fs::exists(Path)) << Line;
  }
}

}  // namespace
