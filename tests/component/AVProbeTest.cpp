// The media probe: summaries, stream records, query failures and their log
// lines, open failures, attaching, and the library checks.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "MediaGenerator.h"
#include "binding/Api.h"
#include "binding/FFmpegLibs.h"
#include "binding/LogLevels.h"
#include "component/AVProbe.h"

namespace vexav {
namespace {

namespace fs = std::filesystem;
using mediagen::AudioCodec;
using mediagen::MediaRequest;
using mediagen::VideoCodec;

// ---------------------------------------------------------------------------
// Library log capture: every av_log line with its level, formatted.

struct LogLine {
  int Level;
  std::string Text;
  bool operator==(const LogLine&) const = default;
};

void PrintTo(const LogLine& Line, std::ostream* Out) {
  *Out << "{" << Line.Level << ", \"" << Line.Text << "\"}";
}

std::mutex LogMutex;
std::vector<LogLine> Captured;

void CaptureLog(void*, int Level, const char* Fmt, va_list Args) {
  char Buffer[1024];
  std::vsnprintf(Buffer, sizeof Buffer, Fmt, Args);
  std::lock_guard<std::mutex> Guard(LogMutex);
  Captured.push_back({Level, Buffer});
}

// Captures the library log while it lives.
class LogCapture {
 public:
  LogCapture() {
    Clear();
    ff::av_log_set_callback(CaptureLog);
  }
  ~LogCapture() { ff::av_log_set_callback(ff::av_log_default_callback); }
  void Clear() {
    std::lock_guard<std::mutex> Guard(LogMutex);
    Captured.clear();
  }
  std::vector<LogLine> Lines() {
    std::lock_guard<std::mutex> Guard(LogMutex);
    return Captured;
  }
};

// ---------------------------------------------------------------------------
// Test media, made once per test program in a folder of its own.

struct Media {
  std::string Folder;
  std::string ThreeStreams;  // MPEG-4 320x240 25 fps 2 s, two MP3 streams 44.1 kHz stereo
  std::string Ntsc;          // MJPEG 176x144 30000/1001 1 s, PCM 48 kHz mono
  std::string VideoOnly;     // MPEG-4 160x120 25 fps 1 s, no sound
  std::string RawVideo;      // raw video 64x48 25 fps, PCM
  std::string Empty;         // zero bytes, named .avi
  std::string Text;          // a line of text, named .avi
  std::string Truncated;     // the first half of ThreeStreams
  std::string Missing;       // no such file
};

void WriteFile(const std::string& Path, const std::string& Content) {
  std::ofstream Out(Path, std::ios::binary);
  Out << Content;
}

std::string ReadFile(const std::string& Path) {
  std::ifstream In(Path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(In), std::istreambuf_iterator<char>());
}

class ProbeEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    ASSERT_TRUE(LoadFFmpegLibs("", true)) << LastLoadError();
    char Template[] = "/tmp/vexav-probe-test-XXXXXX";
    ASSERT_NE(::mkdtemp(Template), nullptr);
    M.Folder = Template;

    MediaRequest Three;
    Three.AudioStreams = 2;
    Three.DurationSeconds = 2.0;
    M.ThreeStreams = Make("three.avi", Three);

    MediaRequest Ntsc;
    Ntsc.Width = 176;
    Ntsc.Height = 144;
    Ntsc.FrameRateNum = 30000;
    Ntsc.FrameRateDen = 1001;
    Ntsc.DurationSeconds = 1.0;
    Ntsc.Video = VideoCodec::Mjpeg;
    Ntsc.Audio = AudioCodec::Pcm;
    Ntsc.SampleRate = 48000;
    Ntsc.Channels = 1;
    M.Ntsc = Make("ntsc.avi", Ntsc);

    MediaRequest Silent;
    Silent.Width = 160;
    Silent.Height = 120;
    Silent.DurationSeconds = 1.0;
    Silent.Audio = AudioCodec::None;
    M.VideoOnly = Make("silent.avi", Silent);

    MediaRequest Raw;
    Raw.Width = 64;
    Raw.Height = 48;
    Raw.DurationSeconds = 0.4;
    Raw.Video = VideoCodec::Raw;
    Raw.Audio = AudioCodec::Pcm;
    Raw.MarkSeconds.clear();
    M.RawVideo = Make("raw.avi", Raw);

    M.Empty = M.Folder + "/empty.avi";
    WriteFile(M.Empty, "");
    M.Text = M.Folder + "/notes.avi";
    WriteFile(M.Text, "These are just some notes, not a video at all.\n");
    M.Truncated = M.Folder + "/truncated.avi";
    std::string Whole = ReadFile(M.ThreeStreams);
    WriteFile(M.Truncated, Whole.substr(0, Whole.size() / 2));
    M.Missing = M.Folder + "/missing.avi";
  }

  void TearDown() override {
    std::error_code Ignored;
    if (!M.Folder.empty()) fs::remove_all(M.Folder, Ignored);
  }

  static const Media& Files() { return M; }

 private:
  std::string Make(const std::string& Name, const MediaRequest& Wanted) {
    std::string Path = M.Folder + "/" + Name;
    std::string Error = mediagen::Generate(Path, Wanted);
    EXPECT_EQ(Error, "") << Path;
    return Path;
  }

  static Media M;
};

Media ProbeEnvironment::M;

[[maybe_unused]] const auto* const Environment =
    ::testing::AddGlobalTestEnvironment(new ProbeEnvironment);

const Media& Files() {
  return ProbeEnvironment::Files();
}

// ---------------------------------------------------------------------------
// Expectations shared by several cases.

constexpr int64_t FrameUs25 = 40000;  // one frame at 25 fps

void ExpectEmpty(const TAVProbe& Probe) {
  EXPECT_EQ(Probe.Context(), nullptr);
  EXPECT_EQ(Probe.FormatName(), "");
  EXPECT_EQ(Probe.StreamCount(), -1);
  EXPECT_EQ(Probe.ProgramCount(), -1);
  EXPECT_EQ(Probe.AudioStreamCount(), -1);
  EXPECT_EQ(Probe.VideoStreamCount(), -1);
  EXPECT_EQ(Probe.SubtitleStreamCount(), -1);
  EXPECT_EQ(Probe.FirstAudioStream(), -1);
  EXPECT_EQ(Probe.FirstVideoStream(), -1);
  EXPECT_EQ(Probe.FirstSubtitleStream(), -1);
}

template <std::size_t Size>
bool AllZero(const char (&Field)[Size]) {
  for (char C : Field)
    if (C != 0) return false;
  return true;
}

void ExpectUnfilled(const TAudioStreamInfo& Info) {
  EXPECT_TRUE(AllZero(Info.Language));
  EXPECT_TRUE(AllZero(Info.CodecName));
  EXPECT_EQ(Info.StartTime, -1);
  EXPECT_EQ(Info.StartTimeUs, -1);
  EXPECT_EQ(Info.Duration, -1);
  EXPECT_EQ(Info.DurationUs, -1);
  EXPECT_EQ(Info.BitRate, -1);
  EXPECT_EQ(Info.Channels, -1);
  EXPECT_EQ(Info.SampleRate, -1);
  EXPECT_EQ(Info.SampleFormat, -1);
}

void ExpectUnfilled(const TVideoStreamInfo& Info) {
  EXPECT_TRUE(AllZero(Info.Language));
  EXPECT_TRUE(AllZero(Info.CodecName));
  EXPECT_EQ(Info.StartTime, -1);
  EXPECT_EQ(Info.StartTimeUs, -1);
  EXPECT_EQ(Info.Duration, -1);
  EXPECT_EQ(Info.DurationUs, -1);
  EXPECT_EQ(Info.BitRate, -1);
  EXPECT_EQ(Info.Height, -1);
  EXPECT_EQ(Info.Width, -1);
  EXPECT_EQ(Info.DisplayAspect, -1.0f);
  EXPECT_EQ(Info.PixelFormat, -1);
  EXPECT_EQ(Info.FrameRateNum, -1);
  EXPECT_EQ(Info.FrameRateDen, -1);
}

// A record with every field set, to see that a failed query resets it.
template <typename TInfo>
TInfo Scribbled() {
  TInfo Info;
  std::memset(static_cast<void*>(&Info), 0x5A, sizeof Info);
  return Info;
}

std::vector<LogLine> OneLine(int SystemLevel, const std::string& Text) {
  return {LogLine{LibraryLogLevel(SystemLevel), Text}};
}

// ---------------------------------------------------------------------------
// Summary and stream records of good files.

TEST(AVProbeSummary, EmptyBeforeOpenAndAfterClose) {
  TAVProbe Probe;
  ExpectEmpty(Probe);
  EXPECT_FALSE(Probe.OwnsContext());
  EXPECT_EQ(Probe.LastError(), "");

  ASSERT_TRUE(Probe.Open(Files().ThreeStreams)) << Probe.LastError();
  Probe.Close();
  ExpectEmpty(Probe);
  EXPECT_FALSE(Probe.OwnsContext());
  Probe.Close();  // closing an empty probe is harmless
  ExpectEmpty(Probe);
}

TEST(AVProbeSummary, OneVideoTwoAudioStreams) {
  TAVProbe Probe;
  ASSERT_TRUE(Probe.Open(Files().ThreeStreams)) << Probe.LastError();
  EXPECT_NE(Probe.Context(), nullptr);
  EXPECT_TRUE(Probe.OwnsContext());
  EXPECT_EQ(Probe.FormatName(), "");
  EXPECT_EQ(Probe.StreamCount(), 3);
  EXPECT_EQ(Probe.ProgramCount(), 0);
  EXPECT_EQ(Probe.VideoStreamCount(), 1);
  EXPECT_EQ(Probe.AudioStreamCount(), 2);
  EXPECT_EQ(Probe.SubtitleStreamCount(), 0);
  EXPECT_EQ(Probe.FirstVideoStream(), 0);
  EXPECT_EQ(Probe.FirstAudioStream(), 1);
  EXPECT_EQ(Probe.FirstSubtitleStream(), -1);
  EXPECT_EQ(Probe.GetFileName(), Files().ThreeStreams);
}

TEST(AVProbeSummary, ForcedFormatIsKept) {
  TAVProbe Probe;
  ASSERT_TRUE(Probe.Open(Files().VideoOnly, "avi")) << Probe.LastError();
  EXPECT_EQ(Probe.FormatName(), "avi");
  EXPECT_EQ(Probe.StreamCount(), 1);
  EXPECT_EQ(Probe.VideoStreamCount(), 1);
  EXPECT_EQ(Probe.AudioStreamCount(), 0);
  EXPECT_EQ(Probe.FirstAudioStream(), -1);
  Probe.Close();
  EXPECT_EQ(Probe.FormatName(), "");
}

TEST(AVProbeStreams, VideoOf25FpsMpeg4) {
  TAVProbe Probe;
  ASSERT_TRUE(Probe.Open(Files().ThreeStreams)) << Probe.LastError();
  TVideoStreamInfo Info;
  Probe.GetDefaultVideoInfo(Info);
  EXPECT_STREQ(Info.CodecName, "mpeg4");
  EXPECT_TRUE(AllZero(Info.Language));
  EXPECT_EQ(Info.Width, 320);
  EXPECT_EQ(Info.Height, 240);
  EXPECT_EQ(Info.FrameRateNum, 25);
  EXPECT_EQ(Info.FrameRateDen, 1);
  EXPECT_EQ(Info.PixelFormat, AV_PIX_FMT_YUV420P);
  EXPECT_EQ(Info.BitRate, 0);  // neither AVI nor MPEG-4 video states one
  EXPECT_EQ(Info.StartTime, 0);
  EXPECT_EQ(Info.StartTimeUs, 0);
  EXPECT_NE(Info.Duration, AV_NOPTS_VALUE);
  EXPECT_NEAR(static_cast<double>(Info.DurationUs), 2000000.0, FrameUs25);
  // Square samples: the picture's own proportions.
  EXPECT_FLOAT_EQ(Info.DisplayAspect, 320.0f / 240.0f);

  TVideoStreamInfo ByIndex;
  Probe.GetVideoInfo(0, ByIndex);
  EXPECT_EQ(Info, ByIndex);
}

TEST(AVProbeStreams, VideoOfNtscRateMjpeg) {
  TAVProbe Probe;
  ASSERT_TRUE(Probe.Open(Files().Ntsc)) << Probe.LastError();
  TVideoStreamInfo Info;
  Probe.GetDefaultVideoInfo(Info);
  EXPECT_STREQ(Info.CodecName, "mjpeg");
  EXPECT_EQ(Info.Width, 176);
  EXPECT_EQ(Info.Height, 144);
  EXPECT_EQ(Info.FrameRateNum, 30000);
  EXPECT_EQ(Info.FrameRateDen, 1001);
  EXPECT_NEAR(static_cast<double>(Info.DurationUs), 1000000.0, 1001000000.0 / 30000);
}

TEST(AVProbeStreams, AudioOfBothMp3Streams) {
  TAVProbe Probe;
  ASSERT_TRUE(Probe.Open(Files().ThreeStreams)) << Probe.LastError();
  TAudioStreamInfo Default, First, Second;
  Probe.GetDefaultAudioInfo(Default);
  Probe.GetAudioInfo(1, First);
  Probe.GetAudioInfo(2, Second);
  EXPECT_EQ(Default, First);
  for (const TAudioStreamInfo* Info : {&First, &Second}) {
    EXPECT_STREQ(Info->CodecName, "mp3");
    EXPECT_EQ(Info->SampleRate, 44100);
    EXPECT_EQ(Info->Channels, 2);
    EXPECT_GE(Info->SampleFormat, 0);
    EXPECT_GT(Info->BitRate, 0);
    EXPECT_NE(Info->StartTime, AV_NOPTS_VALUE);
    EXPECT_NE(Info->Duration, AV_NOPTS_VALUE);
    EXPECT_NEAR(static_cast<double>(Info->DurationUs), 2000000.0, FrameUs25);
  }
}

TEST(AVProbeStreams, AudioOfMonoPcm) {
  TAVProbe Probe;
  ASSERT_TRUE(Probe.Open(Files().Ntsc)) << Probe.LastError();
  TAudioStreamInfo Info;
  Probe.GetDefaultAudioInfo(Info);
  EXPECT_STREQ(Info.CodecName, "pcm_s16le");
  EXPECT_EQ(Info.SampleRate, 48000);
  EXPECT_EQ(Info.Channels, 1);
  EXPECT_EQ(Info.SampleFormat, AV_SAMPLE_FMT_S16);
  EXPECT_EQ(Info.BitRate, 48000 * 16);
  EXPECT_EQ(Info.StartTimeUs, 0);
  // The AVI demuxer gives PCM streams no duration of their own.
  if (Info.Duration == AV_NOPTS_VALUE)
    EXPECT_EQ(Info.DurationUs, -1);
  else
    EXPECT_NEAR(static_cast<double>(Info.DurationUs), 1000000.0, 1001000000.0 / 30000);
}

// Hand-built streams reach the corners no muxer writes: the probe reads
// whatever context it is given.
class HandBuiltContext : public ::testing::Test {
 protected:
  void SetUp() override {
    Context = ff::avformat_alloc_context();
    ASSERT_NE(Context, nullptr);
  }
  void TearDown() override { ff::avformat_free_context(Context); }

  AVStream* AddVideo(int Width, int Height, AVRational SampleAspect) {
    AVStream* Stream = ff::avformat_new_stream(Context, nullptr);
    Stream->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
    Stream->codecpar->codec_id = AV_CODEC_ID_MPEG4;
    Stream->codecpar->width = Width;
    Stream->codecpar->height = Height;
    Stream->codecpar->sample_aspect_ratio = SampleAspect;
    return Stream;
  }

  float AspectOf(int Index) {
    TVideoStreamInfo Info;
    Probe.GetVideoInfo(Index, Info);
    return Info.DisplayAspect;
  }

  AVFormatContext* Context = nullptr;
  TAVProbe Probe;
};

TEST_F(HandBuiltContext, DisplayAspectCorners) {
  AddVideo(720, 576, AVRational{0, 1});    // unknown sample aspect
  AddVideo(720, 576, AVRational{16, 15});  // PAL 4:3
  AddVideo(720, 576, AVRational{64, 45});  // PAL 16:9
  AddVideo(720, 576, AVRational{1, 0});    // zero denominator
  AddVideo(720, 0, AVRational{1, 1});      // zero height
  AddVideo(640, 480, AVRational{1, 1});
  Probe.Attach(Context);
  EXPECT_EQ(AspectOf(0), 0.0f);
  EXPECT_FLOAT_EQ(AspectOf(1), 4.0f / 3.0f);
  EXPECT_FLOAT_EQ(AspectOf(2), 16.0f / 9.0f);
  EXPECT_EQ(AspectOf(3), 0.0f);
  EXPECT_EQ(AspectOf(4), 0.0f);
  EXPECT_FLOAT_EQ(AspectOf(5), 4.0f / 3.0f);
}

TEST_F(HandBuiltContext, UnknownTimesLanguageAndLargeBitRate) {
  AVStream* Video = AddVideo(320, 240, AVRational{1, 1});
  Video->codecpar->bit_rate = int64_t{5} * INT_MAX;
  ff::av_dict_set(&Video->metadata, "language", "eng", 0);
  AVStream* Audio = ff::avformat_new_stream(Context, nullptr);
  Audio->codecpar->codec_type = AVMEDIA_TYPE_AUDIO;
  Audio->codecpar->codec_id = AV_CODEC_ID_AAC;
  Audio->time_base = AVRational{1, 48000};
  Audio->start_time = 480;
  Audio->duration = 96000;
  ff::av_dict_set(&Audio->metadata, "language", "deutsch", 0);
  AVStream* Subtitle = ff::avformat_new_stream(Context, nullptr);
  Subtitle->codecpar->codec_type = AVMEDIA_TYPE_SUBTITLE;
  AVStream* Data = ff::avformat_new_stream(Context, nullptr);
  Data->codecpar->codec_type = AVMEDIA_TYPE_DATA;

  Probe.Attach(Context);
  EXPECT_EQ(Probe.StreamCount(), 4);
  EXPECT_EQ(Probe.VideoStreamCount(), 1);
  EXPECT_EQ(Probe.AudioStreamCount(), 1);
  EXPECT_EQ(Probe.SubtitleStreamCount(), 1);
  EXPECT_EQ(Probe.FirstSubtitleStream(), 2);

  TVideoStreamInfo V;
  Probe.GetVideoInfo(0, V);
  EXPECT_STREQ(V.Language, "eng");
  EXPECT_EQ(V.StartTime, AV_NOPTS_VALUE);  // kept as the library has it
  EXPECT_EQ(V.StartTimeUs, -1);
  EXPECT_EQ(V.Duration, AV_NOPTS_VALUE);
  EXPECT_EQ(V.DurationUs, -1);
  EXPECT_EQ(V.BitRate, INT_MAX);
  EXPECT_EQ(V.FrameRateNum, 0);  // nothing measured
  EXPECT_EQ(V.FrameRateDen, 0);

  TAudioStreamInfo A;
  Probe.GetAudioInfo(1, A);
  EXPECT_STREQ(A.CodecName, "aac");
  // Four bytes, zero-terminated: the first three letters.
  EXPECT_EQ(std::string(A.Language, sizeof A.Language), std::string("deu\0", 4));
  EXPECT_EQ(A.StartTimeUs, 10000);
  EXPECT_EQ(A.DurationUs, 2000000);
  EXPECT_EQ(A.Channels, 0);
}

// ---------------------------------------------------------------------------
// Query failures: one log line each, and a reset record.

TEST(AVProbeQueries, BeforeOpenFileNotLoaded) {
  TAVProbe Probe;
  LogCapture Log;
  auto Audio = Scribbled<TAudioStreamInfo>();
  Probe.GetDefaultAudioInfo(Audio);
  ExpectUnfilled(Audio);
  EXPECT_EQ(Log.Lines(), OneLine(1, "file not loaded.\n"));

  Log.Clear();
  auto Video = Scribbled<TVideoStreamInfo>();
  Probe.GetVideoInfo(0, Video);
  ExpectUnfilled(Video);
  EXPECT_EQ(Log.Lines(), OneLine(1, "file not loaded.\n"));

  Log.Clear();
  EXPECT_EQ(Probe.GetFileName(), "");
  EXPECT_EQ(Log.Lines(), OneLine(1, "file not loaded.\n"));
}

TEST(AVProbeQueries, NoStreamOfTheKind) {
  TAVProbe Probe;
  ASSERT_TRUE(Probe.Open(Files().VideoOnly)) << Probe.LastError();
  LogCapture Log;
  auto Audio = Scribbled<TAudioStreamInfo>();
  Probe.GetDefaultAudioInfo(Audio);
  ExpectUnfilled(Audio);
  EXPECT_EQ(Log.Lines(), OneLine(0, "no audio stream.\n"));

  // A negative index means the first stream of the kind, too.
  Log.Clear();
  Probe.GetAudioInfo(-7, Audio);
  ExpectUnfilled(Audio);
  EXPECT_EQ(Log.Lines(), OneLine(0, "no audio stream.\n"));
}

TEST(AVProbeQueries, InvalidIndexAndWrongKind) {
  TAVProbe Probe;
  ASSERT_TRUE(Probe.Open(Files().ThreeStreams)) << Probe.LastError();
  LogCapture Log;

  TAudioStreamInfo Audio;
  Probe.GetAudioInfo(1, Audio);  // filled, then reset by the failures below
  ASSERT_EQ(Audio.SampleRate, 44100);
  Probe.GetAudioInfo(5, Audio);
  ExpectUnfilled(Audio);
  EXPECT_EQ(Log.Lines(), OneLine(0, "stream index #5 is invalid.\n"));

  Log.Clear();
  Probe.GetAudioInfo(3, Audio);
  EXPECT_EQ(Log.Lines(), OneLine(0, "stream index #3 is invalid.\n"));

  Log.Clear();
  Probe.GetAudioInfo(1, Audio);
  Probe.GetAudioInfo(0, Audio);
  ExpectUnfilled(Audio);
  EXPECT_EQ(Log.Lines(), OneLine(0, "stream #0 is not audio stream.\n"));

  Log.Clear();
  auto Video = Scribbled<TVideoStreamInfo>();
  Probe.GetVideoInfo(2, Video);
  ExpectUnfilled(Video);
  EXPECT_EQ(Log.Lines(), OneLine(0, "stream #2 is not video stream.\n"));

  Log.Clear();
  Probe.GetVideoInfo(9, Video);
  EXPECT_EQ(Log.Lines(), OneLine(0, "stream index #9 is invalid.\n"));

  // Good queries write nothing.
  Log.Clear();
  Probe.GetDefaultVideoInfo(Video);
  Probe.GetDefaultAudioInfo(Audio);
  EXPECT_EQ(Probe.GetFileName(), Files().ThreeStreams);
  EXPECT_TRUE(Log.Lines().empty());
}

// ---------------------------------------------------------------------------
// Open failures: false, a text, and an empty probe.

void ExpectFailedOpen(TAVProbe& Probe, const std::string& File, const std::string& Forced,
                      const std::string& Text) {
  EXPECT_FALSE(Probe.Open(File, Forced)) << File;
  EXPECT_EQ(Probe.LastError(), Text);
  ExpectEmpty(Probe);
}

TEST(AVProbeOpenFailures, MissingFileAndUnknownForcedFormat) {
  TAVProbe Probe;
  ExpectFailedOpen(Probe, Files().Missing, "", Files().Missing + ": no such file or directory");
  // The forced format is looked up before anything is allocated.
  ExpectFailedOpen(Probe, Files().ThreeStreams, "no-such-demuxer",
                   "Unknown input format: no-such-demuxer");
}

TEST(AVProbeOpenFailures, DataNoDemuxerRecognises) {
  TAVProbe Probe;
  // The library picks the AVI demuxer by the name alone and reports invalid
  // data; no demuxer knows the bytes, so the format is unknown.
  ExpectFailedOpen(Probe, Files().Empty, "", Files().Empty + ": Unknown format");
  ExpectFailedOpen(Probe, Files().Text, "", Files().Text + ": Unknown format");
  // Forcing the demuxer makes it a header that could not be read.
  ExpectFailedOpen(Probe, Files().Text, "avi", Files().Text + ": Error while parsing header");
}

TEST(AVProbeOpenFailures, BrokenHeaderOfKnownFormat) {
  const std::string Path = Files().Folder + "/header-only.avi";
  WriteFile(Path, std::string("RIFF\x10\0\0\0AVI LIST", 16));
  TAVProbe Probe;
  ExpectFailedOpen(Probe, Path, "", Path + ": Error while parsing header");
}

TEST(AVProbeOpenFailures, TruncatedFileOpensWithWhatCanBeRead) {
  TAVProbe Probe;
  if (!Probe.Open(Files().Truncated)) {
    // Allowed, as long as the failure is described.
    EXPECT_EQ(Probe.LastError().rfind(Files().Truncated + ": ", 0), 0u) << Probe.LastError();
    ExpectEmpty(Probe);
    return;
  }
  EXPECT_EQ(Probe.StreamCount(), 3);
  TVideoStreamInfo Video;
  Probe.GetDefaultVideoInfo(Video);
  EXPECT_EQ(Video.Width, 320);
  TAudioStreamInfo Audio;
  Probe.GetAudioInfo(2, Audio);
  EXPECT_EQ(Audio.SampleRate, 44100);
}

TEST(AVProbeOpenFailures, FailureAfterSuccessEmptiesTheProbe) {
  TAVProbe Probe;
  ASSERT_TRUE(Probe.Open(Files().ThreeStreams, "avi")) << Probe.LastError();
  ExpectFailedOpen(Probe, Files().Missing, "", Files().Missing + ": no such file or directory");
  ASSERT_TRUE(Probe.Open(Files().ThreeStreams, "avi")) << Probe.LastError();
  ExpectFailedOpen(Probe, Files().ThreeStreams, "nothing", "Unknown input format: nothing");
}

TEST(AVProbeOpenFailures, ErrorTexts) {
  const std::string F = "clip.avi";
  EXPECT_EQ(FormatOpenError(F, AVERROR(ENOENT)), "clip.avi: no such file or directory");
  EXPECT_EQ(FormatOpenError(F, AVERROR(EIO)),
            "clip.avi: I/O error occurred\r\n"
            "Usually that means that input file is truncated and/or corrupted.");
  EXPECT_EQ(FormatOpenError(F, AVERROR(ENOMEM)), "clip.avi: memory allocation error occurred");
  EXPECT_EQ(FormatOpenError(F, AVERROR(EINVAL)), "clip.avi: Error while parsing header");
  EXPECT_EQ(FormatOpenError(F, AVERROR_INVALIDDATA), "clip.avi: Error while parsing header");
  EXPECT_EQ(FormatOpenError(F, AVERROR(EDOM)),
            "clip.avi: Incorrect image filename syntax.\r\n"
            "Use '%d' to specify the image number:\r\n"
            "  for img1.jpg, img2.jpg, ..., use 'img%d.jpg';\r\n"
            "  for img001.jpg, img002.jpg, ..., use 'img%03d.jpg'.");
  EXPECT_EQ(FormatOpenError(F, AVERROR_DEMUXER_NOT_FOUND), "clip.avi: Unknown format");
  EXPECT_EQ(FormatOpenError(F, AVERROR(EISDIR)), "clip.avi: Error while opening file");
  EXPECT_EQ(FormatOpenError("100%.avi", -1), "100%.avi: Error while opening file");
}

// ---------------------------------------------------------------------------
// Ownership: attached contexts stay their owner's; nothing leaks.

TEST(AVProbeOwnership, AttachedContextIsNotClosed) {
  AVFormatContext* Context = nullptr;
  ASSERT_EQ(ff::avformat_open_input(&Context, Files().ThreeStreams.c_str(), nullptr, nullptr), 0);
  ASSERT_GE(ff::avformat_find_stream_info(Context, nullptr), 0);
  {
    TAVProbe Probe;
    Probe.Attach(Context);
    EXPECT_EQ(Probe.Context(), Context);
    EXPECT_FALSE(Probe.OwnsContext());
    EXPECT_EQ(Probe.StreamCount(), 3);
    EXPECT_EQ(Probe.AudioStreamCount(), 2);
    EXPECT_EQ(Probe.GetFileName(), Files().ThreeStreams);
    Probe.Close();
    ExpectEmpty(Probe);
    Probe.Attach(Context);
    // Opening a file of its own lets go of the attached one without closing it.
    ASSERT_TRUE(Probe.Open(Files().VideoOnly)) << Probe.LastError();
    EXPECT_TRUE(Probe.OwnsContext());
    Probe.Attach(Context);
  }  // the probe goes, attached

  // The context is still whole and readable.
  EXPECT_EQ(Context->nb_streams, 3u);
  AVPacket* Packet = ff::av_packet_alloc();
  ASSERT_NE(Packet, nullptr);
  EXPECT_EQ(ff::av_read_frame(Context, Packet), 0);
  ff::av_packet_free(&Packet);
  ff::avformat_close_input(&Context);
}

TEST(AVProbeOwnership, ReopeningReleasesTheFormerFile) {
  TAVProbe Probe;
  for (int Round = 0; Round < 3; ++Round) {
    ASSERT_TRUE(Probe.Open(Files().ThreeStreams)) << Probe.LastError();
    ASSERT_TRUE(Probe.Open(Files().Ntsc)) << Probe.LastError();
    EXPECT_EQ(Probe.StreamCount(), 2);
    EXPECT_EQ(Probe.GetFileName(), Files().Ntsc);
  }
  EXPECT_FALSE(Probe.Open(Files().Text));
  ASSERT_TRUE(Probe.Open(Files().RawVideo)) << Probe.LastError();
  // The probe's destructor closes the last one.
}

TEST(AVProbeOwnership, RawVideoHasNoSampleAspect) {
  TAVProbe Probe;
  ASSERT_TRUE(Probe.Open(Files().RawVideo)) << Probe.LastError();
  TVideoStreamInfo Info;
  Probe.GetDefaultVideoInfo(Info);
  EXPECT_STREQ(Info.CodecName, "rawvideo");
  EXPECT_EQ(Info.Width, 64);
  EXPECT_EQ(Info.Height, 48);
  EXPECT_EQ(Info.DisplayAspect, 0.0f);  // sample aspect 0/1
}

// ---------------------------------------------------------------------------
// The libraries the probe needs.

TEST(AVProbeLibraries, CheckNamesTheFirstUnboundLibrary) {
  TAVProbe Probe;
  EXPECT_NO_THROW(TAVProbe::CheckLibraries());
  EXPECT_TRUE(Probe.LoadLibraries("", true));  // bound already

  auto CheckText = [] {
    try {
      TAVProbe::CheckLibraries();
    } catch (const ELibraryNotLoaded& E) {
      return std::string(E.what());
    }
    return std::string("no exception");
  };

  Probe.UnloadLibraries();
  EXPECT_EQ(CheckText(), "LibAVCodec not loaded.");
  EXPECT_THROW(Probe.Open(Files().ThreeStreams), ELibraryNotLoaded);
  EXPECT_THROW(Probe.Attach(nullptr), ELibraryNotLoaded);
  ExpectEmpty(Probe);

  std::string Ignored;
  ASSERT_TRUE(AVCodecHlpr::LoadLib(Ignored, "", true, true));
  EXPECT_EQ(CheckText(), "LibAVFormat not loaded.");
  ASSERT_TRUE(AVFormatHlpr::LoadLib(Ignored, "", true, true));
  EXPECT_EQ(CheckText(), "LibAVUtil not loaded.");
  ASSERT_TRUE(AVUtilHlpr::LoadLib(Ignored, "", true));
  EXPECT_EQ(CheckText(), "LibSwScale not loaded.");
  ASSERT_TRUE(SwScaleHlpr::LoadLib(Ignored, "", true));
  EXPECT_EQ(CheckText(), "no exception");

  Probe.UnloadLibraries();
  ASSERT_TRUE(Probe.LoadLibraries("", true)) << Probe.LastError();
  EXPECT_NO_THROW(TAVProbe::CheckLibraries());
  EXPECT_TRUE(Probe.Open(Files().ThreeStreams)) << Probe.LastError();
}

TEST(AVProbeLibraries, FailedLoadUnbindsAndTellsWhy) {
  // A folder whose libavformat is not a library: libavcodec binds from the
  // system, libavformat fails.
  const std::string Folder = Files().Folder + "/badlib";
  fs::create_directories(Folder);
  WriteFile(Folder + "/" + AVFormatHlpr::LibFileName(), "not a shared object");

  TAVProbe Probe;
  Probe.UnloadLibraries();
  EXPECT_FALSE(Probe.LoadLibraries(Folder, true));
  EXPECT_NE(Probe.LastError().find(AVFormatHlpr::LibFileName()), std::string::npos)
      << Probe.LastError();
  EXPECT_FALSE(AVCodecHlpr::LibLoaded());
  EXPECT_FALSE(AVFormatHlpr::LibLoaded());
  EXPECT_FALSE(AVUtilHlpr::LibLoaded());
  EXPECT_FALSE(SwScaleHlpr::LibLoaded());

  ASSERT_TRUE(Probe.LoadLibraries("", true)) << Probe.LastError();
  EXPECT_NO_THROW(TAVProbe::CheckLibraries());
}

}  // namespace
}  // namespace vexav
