// Re-encoding end to end, driven as the component drives the engine: the
// window's MPEG-4 preset (H.264 at 29.97 frames per second and the source's
// size, AAC stereo 44100 Hz) on generated AVIs of three kinds, sound-only
// sources, a refused odd size, and the picture and sound options (crop, pad,
// resize, aspect, volume, audio sync, two passes), each checked by reading
// the output back and decoding it.
#include <algorithm>
#include <cmath>
#include <filesystem>

#include "RunTestSupport.h"

namespace vexav::test {
namespace {

namespace fs = std::filesystem;

constexpr double OutputFrame = 100.0 / 2997.0;  // seconds
constexpr double AacFrame = 1024.0 / 44100.0;   // seconds

struct TSource {
  const char* Name;
  mediagen::MediaRequest Request;
};

mediagen::MediaRequest SourceMedia(mediagen::VideoCodec Video, mediagen::AudioCodec Audio, int RateNum, int RateDen,
                         int SampleRate, int Channels) {
  mediagen::MediaRequest S;
  S.Video = Video;
  S.Audio = Audio;
  S.FrameRateNum = RateNum;
  S.FrameRateDen = RateDen;
  S.SampleRate = SampleRate;
  S.Channels = Channels;
  S.DurationSeconds = 2.0;
  return S;
}

// The window's MPEG-4 preset for a source of Width x Height.
TOptionList Preset(int Width, int Height) {
  return {{"vcodec", "libx264"}, {"acodec", "libfaac"}, {"r", "29.97"},  {"ac", "2"},
          {"ar", "44100"},       {"b", "1500000"},      {"ab", "64000"}, {"s", std::to_string(Width) + "x" + std::to_string(Height)},
          {"vsync", "-1"},       {"async", "0"}};
}

TOptionList AudioPreset() {
  return {{"acodec", "libfaac"}, {"ac", "2"}, {"ar", "44100"}, {"ab", "64000"}, {"async", "0"}};
}

TOptionList With(TOptionList Base, const TOptionList& More) {
  Base.insert(Base.end(), More.begin(), More.end());
  return Base;
}

std::string Clip() {
  return Media("reencode-mpeg4-mp3.avi",
               SourceMedia(mediagen::VideoCodec::Mpeg4, mediagen::AudioCodec::Mp3, 25, 1, 44100, 2));
}

double VideoDuration(const mediagen::DecodedMedia& D) {
  if (D.Frames.size() < 2) return 0;
  const double Step = static_cast<double>(D.Frames[1].PtsUs - D.Frames[0].PtsUs) / 1e6;
  return static_cast<double>(D.Frames.back().PtsUs - D.Frames.front().PtsUs) / 1e6 + Step;
}

class RunPresetTest : public RunTest, public ::testing::WithParamInterface<TSource> {};

TEST_P(RunPresetTest, BecomesH264AndAacAtAConstantNtscRate) {
  const TSource& Source = GetParam();
  const std::string Input = Media(Source.Name, Source.Request);
  const std::string Output = OutPath("preset.mp4");
  TRunRecord R;
  RunConversion(Req({}, Input, Preset(Source.Request.Width, Source.Request.Height), Output), R);
  ASSERT_TRUE(R.Opened) << R.OpenError;
  EXPECT_EQ(R.Terminations, 1);
  ASSERT_TRUE(R.Finished) << R.ErrorMessage << "\n" << R.LogText();
  EXPECT_FALSE(R.ExceptionRaised);
  EXPECT_TRUE(R.LoggedContaining("'libfaac' is not in this build")) << R.LogText();

  const TProbedFile Out = ProbeFile(Output);
  ASSERT_EQ(Out.Error, "");
  ASSERT_EQ(Out.CountOf(AVMEDIA_TYPE_VIDEO), 1);
  ASSERT_EQ(Out.CountOf(AVMEDIA_TYPE_AUDIO), 1);
  const TProbedStream& V = *Out.First(AVMEDIA_TYPE_VIDEO);
  const TProbedStream& A = *Out.First(AVMEDIA_TYPE_AUDIO);
  EXPECT_EQ(V.Codec, "h264");
  EXPECT_EQ(A.Codec, "aac");
  EXPECT_EQ(V.Width, Source.Request.Width);
  EXPECT_EQ(V.Height, Source.Request.Height);
  EXPECT_EQ(A.SampleRate, 44100);
  EXPECT_EQ(A.Channels, 2);
  EXPECT_EQ(V.RFrameRate.num * 100, V.RFrameRate.den * 2997) << V.RFrameRate.num << "/" << V.RFrameRate.den;

  const mediagen::DecodedMedia Src = mediagen::Decode(Input);
  const mediagen::DecodedMedia Dst = mediagen::Decode(Output);
  ASSERT_EQ(Dst.Error, "");
  ASSERT_GT(Dst.Frames.size(), 50u);
  // Exactly 29.97 frames per second, constant: every step is 1/29.97 s to
  // the microsecond's rounding.
  for (std::size_t I = 1; I < Dst.Frames.size(); ++I)
    ASSERT_NEAR(static_cast<double>(Dst.Frames[I].PtsUs - Dst.Frames[I - 1].PtsUs), OutputFrame * 1e6, 1.0) << I;
  // The source's length within one frame, and within one audio frame.
  EXPECT_NEAR(VideoDuration(Dst), VideoDuration(Src), OutputFrame + 1e-6);
  const double SrcSound = static_cast<double>(Src.AudioSamples) / Src.AudioSampleRate;
  const double DstSound = static_cast<double>(Dst.AudioSamples) / Dst.AudioSampleRate;
  EXPECT_NEAR(DstSound, SrcSound, AacFrame + 1e-6);
  // Picture and sound still in step: each flash within one frame of its
  // click, and both where the source had them.
  const std::vector<int64_t> Clicks = ClickTimesUs(Output);
  ASSERT_EQ(Src.FlashTimesUs.size(), 2u);
  ASSERT_EQ(Dst.FlashTimesUs.size(), Src.FlashTimesUs.size());
  ASSERT_EQ(Clicks.size(), Src.FlashTimesUs.size());
  for (std::size_t I = 0; I < Dst.FlashTimesUs.size(); ++I) {
    EXPECT_NEAR(Dst.FlashTimesUs[I], Clicks[I], OutputFrame * 1e6) << I;
    EXPECT_NEAR(Dst.FlashTimesUs[I], Src.FlashTimesUs[I], OutputFrame * 1e6) << I;
  }

  // Progress rose monotonically, with real frame numbers and sizes, and the
  // final report's summary line came.
  ASSERT_FALSE(R.Progress.empty());
  for (std::size_t I = 1; I < R.Progress.size(); ++I) {
    EXPECT_GE(R.Progress[I].FrameNumber, R.Progress[I - 1].FrameNumber);
    EXPECT_GE(R.Progress[I].CurrentDurationMs, R.Progress[I - 1].CurrentDurationMs);
    EXPECT_GE(R.Progress[I].CurrentSize, R.Progress[I - 1].CurrentSize);
  }
  EXPECT_EQ(R.Progress.back().FrameNumber, static_cast<int>(Dst.Frames.size()));
  EXPECT_EQ(R.Progress.back().CurrentSize, FileSize(Output));
  EXPECT_NEAR(R.Progress.back().TotalDurationMs, 2000, 50);
  EXPECT_TRUE(R.LoggedContaining("video:")) << R.LogText();
  EXPECT_TRUE(R.LoggedContaining("muxing overhead")) << R.LogText();
}

INSTANTIATE_TEST_SUITE_P(
    Sources, RunPresetTest,
    ::testing::Values(
        TSource{"mpeg4-mp3-25.avi", SourceMedia(mediagen::VideoCodec::Mpeg4, mediagen::AudioCodec::Mp3, 25, 1, 44100, 2)},
        TSource{"mjpeg-pcm-ntsc.avi",
                SourceMedia(mediagen::VideoCodec::Mjpeg, mediagen::AudioCodec::Pcm, 30000, 1001, 44100, 2)},
        TSource{"raw-pcm-mono-24.avi", SourceMedia(mediagen::VideoCodec::Raw, mediagen::AudioCodec::Pcm, 24, 1, 22050, 1)}),
    [](const ::testing::TestParamInfo<TSource>& Info) {
      std::string Name = Info.param.Name;
      std::replace_if(Name.begin(), Name.end(), [](char C) { return !std::isalnum(static_cast<unsigned char>(C)); }, '_');
      return Name;
    });

class RunSoundOnlyTest : public RunTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(RunSoundOnlyTest, BecomesAnAacOnlyMp4) {
  mediagen::MediaRequest S = SourceMedia(mediagen::VideoCodec::None,
                               std::string(GetParam()) == "wav" ? mediagen::AudioCodec::Pcm : mediagen::AudioCodec::Mp3,
                               25, 1, 44100, 2);
  const std::string Input = Media(std::string("sound.") + GetParam(), S);
  const std::string Output = OutPath("sound.mp4");
  TRunRecord R;
  RunConversion(Req({}, Input, AudioPreset(), Output), R);
  ASSERT_TRUE(R.Opened) << R.OpenError;
  EXPECT_EQ(R.Terminations, 1);
  ASSERT_TRUE(R.Finished) << R.ErrorMessage;
  const TProbedFile Out = ProbeFile(Output);
  ASSERT_EQ(Out.Error, "");
  EXPECT_EQ(Out.CountOf(AVMEDIA_TYPE_VIDEO), 0);
  ASSERT_EQ(Out.CountOf(AVMEDIA_TYPE_AUDIO), 1);
  EXPECT_EQ(Out.First(AVMEDIA_TYPE_AUDIO)->Codec, "aac");
  const mediagen::DecodedMedia Src = mediagen::Decode(Input);
  const mediagen::DecodedMedia Dst = mediagen::Decode(Output);
  ASSERT_EQ(Dst.Error, "");
  EXPECT_NEAR(static_cast<double>(Dst.AudioSamples) / 44100.0, static_cast<double>(Src.AudioSamples) / Src.AudioSampleRate,
              AacFrame + 1e-6);
  const std::vector<int64_t> Clicks = ClickTimesUs(Output);
  ASSERT_EQ(Clicks.size(), Src.ClickSampleTimesUs.size());
  for (std::size_t I = 0; I < Clicks.size(); ++I) EXPECT_NEAR(Clicks[I], Src.ClickSampleTimesUs[I], 1000) << I;
  // Without video the report has no frame part: the progress events carry
  // -1 for frame, rate and quality.
  ASSERT_FALSE(R.Progress.empty());
  EXPECT_EQ(R.Progress.back().FrameNumber, -1);
  EXPECT_TRUE(R.LoggedContaining("muxing overhead")) << R.LogText();
}

INSTANTIATE_TEST_SUITE_P(Extensions, RunSoundOnlyTest, ::testing::Values("mp3", "wav"));

class RunPictureOptionsTest : public RunTest {
 protected:
  // Converts the clip with the preset changed by More (video only) and
  // returns the decoded output.
  mediagen::DecodedMedia Convert(const TOptionList& Before, const TOptionList& More, const std::string& Name,
                                 TProbedFile* Probe = nullptr) {
    const std::string Output = OutPath(Name);
    TRunRecord R;
    RunConversion(Req({}, Clip(), With(With(Before, {{"vcodec", "libx264"}, {"r", "29.97"}, {"an", ""}}), More), Output),
                  R);
    EXPECT_TRUE(R.Opened) << R.OpenError;
    EXPECT_TRUE(R.Finished) << R.ErrorMessage;
    EXPECT_EQ(R.Terminations, 1);
    if (Probe) *Probe = ProbeFile(Output);
    return mediagen::Decode(Output);
  }
};

TEST_F(RunPictureOptionsTest, OddSourceWidthIsRefusedAndLeavesNoFile) {
  mediagen::MediaRequest S = SourceMedia(mediagen::VideoCodec::Raw, mediagen::AudioCodec::Pcm, 25, 1, 44100, 2);
  S.Width = 321;
  S.DurationSeconds = 0.5;
  const std::string Input = Media("odd-width.avi", S);
  const std::string Output = OutPath("odd.mp4");
  TRunRecord R;
  RunConversion(Req({}, Input, Preset(321, 240), Output), R);
  EXPECT_FALSE(R.Opened);
  EXPECT_EQ(R.OpenError, "Frame size must be a multiple of 2");
  EXPECT_EQ(R.Terminations, 0);
  EXPECT_FALSE(fs::exists(Output));
  EXPECT_TRUE(fs::is_empty(fs::path(Output).parent_path()));
}

TEST_F(RunPictureOptionsTest, Crop) {
  const mediagen::DecodedMedia D = Convert({}, {{"croptop", "40"}, {"cropbottom", "40"}, {"cropleft", "16"}}, "crop.mp4");
  ASSERT_EQ(D.Error, "");
  ASSERT_FALSE(D.Frames.empty());
  EXPECT_EQ(D.Frames[0].Width, 304);
  EXPECT_EQ(D.Frames[0].Height, 160);
  EXPECT_EQ(D.FlashTimesUs.size(), 2u);
}

TEST_F(RunPictureOptionsTest, Pad) {
  const mediagen::DecodedMedia Plain = Convert({}, {}, "plain.mp4");
  const mediagen::DecodedMedia D = Convert({}, {{"padtop", "16"}, {"padbottom", "16"}, {"padleft", "8"}}, "pad.mp4");
  ASSERT_EQ(D.Error, "");
  ASSERT_EQ(Plain.Error, "");
  ASSERT_FALSE(D.Frames.empty());
  EXPECT_EQ(D.Frames[0].Width, 328);
  EXPECT_EQ(D.Frames[0].Height, 272);
  // Black bands (luma 16) lower the mean in proportion to their area.
  const double Inner = 320.0 * 240.0, Whole = 328.0 * 272.0;
  const double Expected = (Plain.Frames[5].MeanLuma * Inner + 16.0 * (Whole - Inner)) / Whole;
  EXPECT_NEAR(D.Frames[5].MeanLuma, Expected, 3.0);
}

TEST_F(RunPictureOptionsTest, Resize) {
  const mediagen::DecodedMedia D = Convert({}, {{"s", "160x120"}}, "small.mp4");
  ASSERT_EQ(D.Error, "");
  ASSERT_FALSE(D.Frames.empty());
  EXPECT_EQ(D.Frames[0].Width, 160);
  EXPECT_EQ(D.Frames[0].Height, 120);
  EXPECT_EQ(D.FlashTimesUs.size(), 2u);
}

TEST_F(RunPictureOptionsTest, Aspect) {
  TProbedFile Probe;
  const mediagen::DecodedMedia D = Convert({}, {{"aspect", "16:9"}}, "wide.mp4", &Probe);
  ASSERT_EQ(D.Error, "");
  ASSERT_EQ(Probe.Error, "");
  const TProbedStream& V = *Probe.First(AVMEDIA_TYPE_VIDEO);
  // 16:9 shown from 320 x 240 pixels: pixels 4:3 wide.
  EXPECT_EQ(V.SampleAspect.num * 3, V.SampleAspect.den * 4) << V.SampleAspect.num << "/" << V.SampleAspect.den;
}

class RunSoundOptionsTest : public RunTest {};

TEST_F(RunSoundOptionsTest, VolumeDoublesTheAmplitude) {
  auto Convert = [](const std::string& Volume, const std::string& Name) {
    const std::string Output = OutPath(Name);
    TRunRecord R;
    RunConversion(Req({}, Clip(), {{"vn", ""}, {"acodec", "pcm_s16le"}, {"vol", Volume}}, Output), R);
    EXPECT_TRUE(R.Finished) << R.OpenError << R.ErrorMessage;
    // The tone alone: before the first mark.
    return AudioRms(Output, 0.1, 0.4);
  };
  const double Plain = Convert("256", "plain.wav");
  const double Loud = Convert("512", "loud.wav");
  ASSERT_GT(Plain, 0.05);
  EXPECT_NEAR(Loud / Plain, 2.0, 0.02);
}

TEST_F(RunSoundOptionsTest, AudioSyncFillsALateSoundStart) {
  // A copy whose sound starts about a quarter second after its picture (in
  // a container with time stamps of its own: AVI sound has none).
  const std::string Late = OutPath("late.mkv");
  ASSERT_EQ(CutAudioStart(Clip(), Late, 10), "");
  const mediagen::DecodedMedia Src = mediagen::Decode(Late);
  ASSERT_EQ(Src.Error, "");

  const std::string Output = OutPath("synced.mp4");
  TRunRecord R;
  RunConversion(Req({}, Late, With(Preset(320, 240), {{"async", "1"}}), Output), R);
  ASSERT_TRUE(R.Finished) << R.OpenError << R.ErrorMessage;
  const mediagen::DecodedMedia Dst = mediagen::Decode(Output);
  ASSERT_EQ(Dst.Error, "");
  // Silence was added in front: the sound lasts as long as the picture, its
  // start is silent, and the marks stay in step.
  EXPECT_NEAR(static_cast<double>(Dst.AudioSamples) / 44100.0, VideoDuration(Src), 2 * AacFrame);
  EXPECT_LT(AudioRms(Output, 0.0, 0.2), 0.01);
  EXPECT_GT(AudioRms(Output, 0.3, 0.45), 0.1);
  const std::vector<int64_t> Clicks = ClickTimesUs(Output);
  ASSERT_EQ(Dst.FlashTimesUs.size(), 2u);
  ASSERT_EQ(Clicks.size(), 2u);
  for (std::size_t I = 0; I < 2; ++I) EXPECT_NEAR(Dst.FlashTimesUs[I], Clicks[I], OutputFrame * 1e6);
}

class RunTwoPassTest : public RunTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(RunTwoPassTest, PassOneWritesTheLogAndPassTwoReadsIt) {
  const std::string Encoder = GetParam();
  const std::string Prefix = OutPath("stats");
  const std::string Log = Prefix + "-0.log";
  const TOptionList Common{{"vcodec", Encoder}, {"b", "400000"}, {"an", ""}, {"passlogfile", Prefix}};

  TRunRecord One;
  RunConversion(Req({}, Clip(), With(Common, {{"pass", "1"}}), OutPath("pass1.mp4")), One);
  ASSERT_TRUE(One.Finished) << One.OpenError << One.ErrorMessage;
  ASSERT_TRUE(fs::exists(Log));
  if (Encoder == "mpeg4") {
    EXPECT_GT(FileSize(Log), 100);
  } else {
    // x264 keeps its own statistics, in a file named after the engine's.
    EXPECT_GT(FileSize(Log + ".stats"), 100);
  }

  TRunRecord Two;
  const std::string Output = OutPath("pass2.mp4");
  RunConversion(Req({}, Clip(), With(Common, {{"pass", "2"}}), Output), Two);
  ASSERT_TRUE(Two.Finished) << Two.OpenError << Two.ErrorMessage;
  const mediagen::DecodedMedia D = mediagen::Decode(Output);
  ASSERT_EQ(D.Error, "");
  EXPECT_EQ(D.Frames.size(), 50u);
  EXPECT_EQ(D.FlashTimesUs.size(), 2u);
}

TEST_F(RunTest, PassTwoWithoutItsLogIsRefused) {
  const std::string Prefix = OutPath("missing");
  TRunRecord R;
  RunConversion(
      Req({}, Clip(), {{"vcodec", "mpeg4"}, {"an", ""}, {"passlogfile", Prefix}, {"pass", "2"}}, OutPath("p2.mp4")), R);
  ASSERT_TRUE(R.Opened) << R.OpenError;
  EXPECT_EQ(R.Terminations, 1);
  EXPECT_EQ(R.ErrorMessage, "creat open fail: " + Prefix + "-0.log");
}

INSTANTIATE_TEST_SUITE_P(Encoders, RunTwoPassTest, ::testing::Values("mpeg4", "libx264"));

// H.264 takes a camera's 4:2:2 pictures as they are when nothing names a
// pixel format, and the run says how to get 4:2:0 instead; a named format is
// taken without a word.
TEST_F(RunPictureOptionsTest, H264KeepsA422SourceAndSaysHowToGet420) {
  mediagen::MediaRequest S =
      SourceMedia(mediagen::VideoCodec::Mjpeg, mediagen::AudioCodec::None, 25, 1, 44100, 2);
  S.MjpegPixelFormat = "yuvj422p";
  S.Width = 96;
  S.Height = 64;
  S.DurationSeconds = 0.4;
  S.MarkSeconds = {};
  const std::string Input = Media("mjpeg-422.avi", S);
  const std::string Hint = "the option pix_fmt=yuv420p gives 4:2:0";
  for (const auto& [Named, Expected] :
       {std::pair{"", "yuvj422p"}, std::pair{"yuv422p", "yuv422p"}}) {
    SCOPED_TRACE(std::string("pix_fmt ") + Named);
    TOptionList Options{{"vcodec", "libx264"}};
    if (*Named) Options.push_back({"pix_fmt", Named});
    const std::string Output = OutPath("h264.mp4");
    TRunRecord R;
    RunConversion(Req({}, Input, Options, Output), R);
    ASSERT_TRUE(R.Finished) << R.OpenError << R.ErrorMessage;
    EXPECT_EQ(R.LoggedContaining(Hint), !*Named) << R.LogText();
    EXPECT_EQ(mediagen::Decode(Output).PixelFormat, Expected);
  }
}

}  // namespace
}  // namespace vexav::test
