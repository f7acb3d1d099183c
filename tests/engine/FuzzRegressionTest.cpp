// Inputs found by the fuzz target (tests/fuzz), rebuilt here from generated
// media by the same deterministic change, so that the normal suite keeps
// them fixed. Each case names what the input had that broke the engine.
#include <fstream>
#include <iterator>
#include <string>

#include "RunTestSupport.h"

namespace vexav::test {
namespace {

// Copies Source with every occurrence of From (the same length as To)
// replaced by To; the number of replacements.
int ReplaceBytes(const std::string& Source, const std::string& Target, const std::string& From,
                 const std::string& To) {
  std::ifstream In(Source, std::ios::binary);
  std::string Bytes((std::istreambuf_iterator<char>(In)), std::istreambuf_iterator<char>());
  int Count = 0;
  for (size_t At = Bytes.find(From); At != std::string::npos;
       At = Bytes.find(From, At + To.size())) {
    Bytes.replace(At, From.size(), To);
    ++Count;
  }
  std::ofstream Out(Target, std::ios::binary | std::ios::trunc);
  Out << Bytes;
  return Out ? Count : -1;
}

// An MJPEG + PCM clip whose video codec tag ("MJPG" in the stream header
// and in the picture format) names no codec: the stream has a size but no
// decoder and no pixel format.
std::string UnknownVideoCodecClip() {
  mediagen::MediaRequest S;
  S.Width = 32;
  S.Height = 24;
  S.FrameRateNum = 10;
  S.DurationSeconds = 0.4;
  S.MarkSeconds = {0.1};
  S.Video = mediagen::VideoCodec::Mjpeg;
  S.Audio = mediagen::AudioCodec::Pcm;
  S.SampleRate = 8000;
  S.Channels = 1;
  const std::string Source = Media("fuzz-mjpeg-pcm.avi", S);
  const std::string Damaged = TestFolder() + "/fuzz-unknown-video-codec.avi";
  EXPECT_EQ(ReplaceBytes(Source, Damaged, "MJPG", "XQZ9"), 2);
  return Damaged;
}

// An MPEG-4 clip whose video stream header says each picture lasts 5000 s
// (scale 5000, rate 1): at 29.97 frames/s every picture would have been
// written some 150,000 times to fill the gap to the next.
std::string HourLongFramesClip() {
  mediagen::MediaRequest S;
  S.Width = 32;
  S.Height = 24;
  S.FrameRateNum = 10;
  S.DurationSeconds = 0.5;
  S.MarkSeconds = {0.1};
  S.Audio = mediagen::AudioCodec::None;
  const std::string Source = Media("fuzz-mpeg4.avi", S);
  std::ifstream In(Source, std::ios::binary);
  std::string Bytes((std::istreambuf_iterator<char>(In)), std::istreambuf_iterator<char>());
  // "strh", its size, then the stream type "vids"; scale and rate follow
  // 20 and 24 bytes after the type, little-endian.
  const size_t Type = Bytes.find("vids");
  EXPECT_NE(Type, std::string::npos);
  EXPECT_EQ(Bytes.compare(Type - 8, 4, "strh"), 0);
  const auto Put = [&](size_t At, uint32_t Value) {
    for (int I = 0; I < 4; ++I) Bytes[At + I] = static_cast<char>((Value >> (8 * I)) & 0xff);
  };
  Put(Type + 20, 5000);
  Put(Type + 24, 1);
  const std::string Damaged = TestFolder() + "/fuzz-hour-long-frames.avi";
  std::ofstream Out(Damaged, std::ios::binary | std::ios::trunc);
  Out << Bytes;
  return Damaged;
}

class FuzzRegressionTest : public RunTest {};

// The run never ended: each picture was duplicated to fill a gap of 5000 s.
// A gap too long to fill is now skipped with a warning; each picture is
// written once at its own time.
TEST_F(FuzzRegressionTest, PicturesHoursApartAreNotDuplicatedToFillTheGap) {
  const std::string Output = OutPath("hour-long-frames.mp4");
  TRunRecord R;
  RunConversion(Req({}, HourLongFramesClip(),
                    {{"vcodec", "libx264"}, {"r", "29.97"}, {"s", "32x24"}}, Output),
                R);
  ASSERT_TRUE(R.Opened) << R.OpenError;
  EXPECT_EQ(R.Terminations, 1);
  EXPECT_TRUE(R.Finished) << R.ErrorMessage;
  int Skips = 0;
  for (const TLogRecord& Line : R.Log)
    Skips += Line.Text.find("frame duplication too large, skipping") != std::string::npos;
  EXPECT_GE(Skips, 1);
  const TProbedFile File = ProbeFile(Output);
  ASSERT_EQ(File.Error, "");
  const TProbedStream* Video = File.First(AVMEDIA_TYPE_VIDEO);
  ASSERT_NE(Video, nullptr);
  EXPECT_GE(Video->Packets, 1);
  EXPECT_LE(Video->Packets, 10);
}

// The scaler library aborted the process when asked to convert from a
// picture without a pixel format; the run now ends with the engine's error
// (no decoder reads the stream's codec) and removes its output.
TEST_F(FuzzRegressionTest, VideoWithoutDecoderEndsTheRunWithAnError) {
  const std::string Output = OutPath("unknown-codec.mp4");
  TRunRecord R;
  RunConversion(Req({}, UnknownVideoCodecClip(),
                    {{"vcodec", "libx264"}, {"s", "32x24"}, {"t", "0.2"}}, Output),
                R);
  ASSERT_TRUE(R.Opened) << R.OpenError;
  EXPECT_EQ(R.Terminations, 1);
  EXPECT_TRUE(R.ExceptionRaised);
  EXPECT_FALSE(R.Finished);
  EXPECT_EQ(R.ErrorMessage, "Unsupported codec (id=0) for input stream #0.0");
  EXPECT_EQ(FileSize(Output), -1) << "no file is left";
}

// The same file's sound is whole: without video it converts.
TEST_F(FuzzRegressionTest, SoundOfTheSameFileStillConverts) {
  const std::string Output = OutPath("unknown-codec-sound.mp4");
  TRunRecord R;
  RunConversion(Req({}, UnknownVideoCodecClip(), {{"vn", ""}, {"acodec", "aac"}}, Output), R);
  ASSERT_TRUE(R.Opened) << R.OpenError;
  EXPECT_TRUE(R.Finished) << R.ErrorMessage;
  EXPECT_FALSE(R.ExceptionRaised) << R.ErrorMessage;
  const TProbedFile File = ProbeFile(Output);
  ASSERT_EQ(File.Error, "");
  EXPECT_EQ(File.CountOf(AVMEDIA_TYPE_VIDEO), 0);
  ASSERT_EQ(File.CountOf(AVMEDIA_TYPE_AUDIO), 1);
  const TProbedStream* Sound = File.First(AVMEDIA_TYPE_AUDIO);
  EXPECT_EQ(Sound->Codec, "aac");
  EXPECT_GT(Sound->Packets, 0);
  EXPECT_NEAR(Sound->End, 0.4, 0.1);
}

}  // namespace
}  // namespace vexav::test
