// Opening input files: what a generated file gives the option fields and the
// per-stream decoder contexts, the options handed to the demuxer, forced
// decoders, start time and offsets, discard levels, the per-file resets,
// and files that are missing, empty, not media, truncated or damaged.
#include <stdlib.h>

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "EngineFixture.h"
#include "MediaGenerator.h"
#include "binding/Owners.h"
#include "binding/Text.h"
#include "engine/CodecLock.h"

namespace vexav::test {
namespace {

namespace fs = std::filesystem;
using mediagen::AudioCodec;
using mediagen::MediaRequest;
using mediagen::VideoCodec;

void WriteFile(const std::string& Path, const std::string& Content) {
  std::ofstream Out(Path, std::ios::binary);
  Out << Content;
}

std::string ReadFile(const std::string& Path) {
  std::ifstream In(Path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(In), std::istreambuf_iterator<char>());
}

// Copies the first stream of Type of each input, one after the other, into
// one file of the muxer its name suggests, leaving out the packets for which Keep (the packet's
// number in its stream) is false. Returns an empty text or the reason.
std::string Remux(const std::string& Output, const std::vector<std::string>& Inputs, AVMediaType Type,
                  const std::function<bool(int)>& Keep) {
  AVFormatContext* Raw = nullptr;
  if (ff::avformat_alloc_output_context2(&Raw, nullptr, nullptr, Output.c_str()) < 0 || !Raw)
    return "no muxer for " + Output;
  OutputFormatPtr Out(Raw);
  std::vector<InputFormatPtr> Sources;
  std::vector<int> Chosen;
  for (const std::string& Path : Inputs) {
    AVFormatContext* In = nullptr;
    if (ff::avformat_open_input(&In, Path.c_str(), nullptr, nullptr) < 0) return "cannot open " + Path;
    Sources.emplace_back(In);
    if (ff::avformat_find_stream_info(In, nullptr) < 0) return "no stream info in " + Path;
    int Index = -1;
    for (unsigned I = 0; I < In->nb_streams && Index < 0; ++I)
      if (In->streams[I]->codecpar->codec_type == Type) Index = static_cast<int>(I);
    if (Index < 0) return "no stream of the type in " + Path;
    Chosen.push_back(Index);
    AVStream* Target = ff::avformat_new_stream(Out.get(), nullptr);
    // The parameters travel through a codec context, whose two copies are
    // the library calls the system binds.
    CodecContextPtr Through(ff::avcodec_alloc_context3(nullptr));
    if (!Target || !Through || ff::avcodec_parameters_to_context(Through.get(), In->streams[Index]->codecpar) < 0 ||
        ff::avcodec_parameters_from_context(Target->codecpar, Through.get()) < 0)
      return "cannot copy the stream parameters";
    Target->codecpar->codec_tag = 0;
    Target->time_base = In->streams[Index]->time_base;
  }
  if (ff::avio_open(&Out->pb, Output.c_str(), AVIO_FLAG_WRITE) < 0) return "cannot create " + Output;
  if (ff::avformat_write_header(Out.get(), nullptr) < 0) return "cannot write the header";
  PacketPtr Packet(ff::av_packet_alloc());
  for (std::size_t S = 0; S < Sources.size(); ++S) {
    AVStream* From = Sources[S]->streams[Chosen[S]];
    int Number = 0;
    while (ff::av_read_frame(Sources[S].get(), Packet.get()) >= 0) {
      if (Packet->stream_index == Chosen[S] && Keep(Number++)) {
        if (Packet->pts == AV_NOPTS_VALUE) Packet->pts = Packet->dts;
        Packet->stream_index = static_cast<int>(S);
        ff::av_packet_rescale_ts(Packet.get(), From->time_base, Out->streams[S]->time_base);
        Packet->pos = -1;
        if (ff::av_interleaved_write_frame(Out.get(), Packet.get()) < 0) return "cannot write a packet";
      }
      ff::av_packet_unref(Packet.get());
    }
  }
  if (ff::av_write_trailer(Out.get()) < 0) return "cannot finish the file";
  return "";
}

// ---------------------------------------------------------------------------
// Test media, made once per test program in a folder of its own.

struct Media {
  std::string Folder;
  std::string Clip;        // MPEG-4 320x240 25 fps 2 s, MP3 44.1 kHz stereo
  std::string Ntsc;        // MJPEG 176x144 30000/1001 1 s, PCM 48 kHz mono
  std::string RawVideo;    // raw video 64x48 25 fps 0.4 s, PCM 22.05 kHz mono
  std::string Sound;       // MP3 only, 1 s, 32 kHz mono
  std::string HeaderOnly;  // Clip cut right after its header: no frame, no sound
  std::string Truncated;   // the first half of Clip
  std::string Damaged;     // Clip's header and first part, then random bytes
  std::string Empty;       // zero bytes, named .avi
  std::string Text;        // a line of text, named .avi
  std::string Missing;     // no such file
  std::string PgmYuv;      // one 16x12 picture in the pgmyuv layout (PGM 16x18)
  std::string RawYuv;      // two raw 16x16 yuv420p pictures, no header
  std::string RawPcm;      // 0.5 s of 16-bit little-endian silence, no header
  std::string TwoVideos;   // Clip's and Ntsc's pictures as two video streams
  std::string Gaps;        // Clip's pictures with every third one left out, MP4
  std::string Program;     // Clip's pictures in an MPEG transport stream: one program
};

// Deterministic bytes that no demuxer makes sense of.
std::string RandomBytes(std::size_t Count, uint32_t Seed) {
  std::string Bytes(Count, '\0');
  for (char& B : Bytes) {
    Seed = Seed * 1664525u + 1013904223u;
    B = static_cast<char>(Seed >> 24);
  }
  return Bytes;
}

class InputEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    ASSERT_TRUE(LoadFFmpegLibs("", true)) << LastLoadError();
    // The descriptions of opened files would fill the test output.
    ff::av_log_set_level(AV_LOG_ERROR);
    char Template[] = "/tmp/vexav-input-test-XXXXXX";
    ASSERT_NE(::mkdtemp(Template), nullptr);
    M.Folder = Template;

    MediaRequest Clip;
    Clip.DurationSeconds = 2.0;
    M.Clip = Make("clip.avi", Clip);

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

    MediaRequest Raw;
    Raw.Width = 64;
    Raw.Height = 48;
    Raw.DurationSeconds = 0.4;
    Raw.Video = VideoCodec::Raw;
    Raw.Audio = AudioCodec::Pcm;
    Raw.SampleRate = 22050;
    Raw.Channels = 1;
    Raw.MarkSeconds.clear();
    M.RawVideo = Make("raw.avi", Raw);

    MediaRequest Sound;
    Sound.Video = VideoCodec::None;
    Sound.SampleRate = 32000;
    Sound.Channels = 1;
    Sound.DurationSeconds = 1.0;
    M.Sound = Make("sound.mp3", Sound);

    const std::string Whole = ReadFile(M.Clip);
    // An AVI's data follows the "movi" list tag: the bytes up to it are the
    // header.
    const std::size_t Movi = Whole.find("movi");
    ASSERT_NE(Movi, std::string::npos);
    M.HeaderOnly = Save("header-only.avi", Whole.substr(0, Movi + 4));
    M.Truncated = Save("truncated.avi", Whole.substr(0, Whole.size() / 2));
    M.Damaged = Save("damaged.avi", Whole.substr(0, Movi + 4 + 6000) + RandomBytes(40000, 7));
    M.Empty = Save("empty.avi", "");
    M.Text = Save("notes.avi", "These are just some notes, not a video at all.\n");
    M.Missing = M.Folder + "/missing.avi";

    // pgmyuv: a grey PGM as tall as the picture and a half, the luma plane
    // above the two chroma planes side by side.
    std::string Pgm = "P5\n16 18\n255\n";
    Pgm += std::string(16 * 12, '\x80');
    Pgm += std::string(16 * 6, '\x80');
    M.PgmYuv = Save("frame.pgm", Pgm);
    M.RawYuv = Save("pictures.yuv", std::string(16 * 16 * 3 / 2 * 2, '\x40'));
    M.RawPcm = Save("silence.pcm", std::string(22050 * 2 / 2, '\0'));

    M.TwoVideos = M.Folder + "/two-videos.mkv";
    ASSERT_EQ(Remux(M.TwoVideos, {M.Clip, M.Ntsc}, AVMEDIA_TYPE_VIDEO, [](int) { return true; }), "");
    M.Gaps = M.Folder + "/gaps.mp4";
    ASSERT_EQ(Remux(M.Gaps, {M.Clip}, AVMEDIA_TYPE_VIDEO, [](int Number) { return Number % 3 != 2; }), "");
    M.Program = M.Folder + "/program.ts";
    ASSERT_EQ(Remux(M.Program, {M.Clip}, AVMEDIA_TYPE_VIDEO, [](int) { return true; }), "");
  }

  void TearDown() override {
    std::error_code Ignored;
    if (!M.Folder.empty()) fs::remove_all(M.Folder, Ignored);
  }

  static const Media& Files() { return M; }

 private:
  std::string Make(const std::string& Name, const MediaRequest& Wanted) {
    std::string Path = M.Folder + "/" + Name;
    EXPECT_EQ(mediagen::Generate(Path, Wanted), "") << Path;
    return Path;
  }
  std::string Save(const std::string& Name, const std::string& Content) {
    std::string Path = M.Folder + "/" + Name;
    WriteFile(Path, Content);
    return Path;
  }

  static Media M;
};

Media InputEnvironment::M;

[[maybe_unused]] const auto* const Environment = ::testing::AddGlobalTestEnvironment(new InputEnvironment);

const Media& Files() {
  return InputEnvironment::Files();
}

// ---------------------------------------------------------------------------

class InputFiles : public EngineFixture {
 protected:
  AVFormatContext* File(int Index = 0) const { return E.InputFiles[Index].get(); }
  AVStream* Stream(int Index, int File = 0) const { return E.InputFiles[File]->streams[Index]; }

  // The per-file options are used up, whatever the outcome.
  void ExpectFileOptionsReset() const {
    EXPECT_EQ(E.InputFormat, nullptr);
    EXPECT_EQ(E.OutputFormat, nullptr);
    EXPECT_EQ(E.VideoChannel, 0);
    EXPECT_EQ(E.RateEmu, 0);
    EXPECT_EQ(E.VideoCodecName, "");
    EXPECT_EQ(E.AudioCodecName, "");
    EXPECT_EQ(E.SubtitleCodecName, "");
  }

  // Opening fails with Text, and nothing of the file is kept.
  void ExpectFails(const std::string& Path, const std::string& Text) {
    const int Count = E.InputFileCount;
    EXPECT_FALSE(E.OpenInputFile(Path)) << Path;
    EXPECT_EQ(E.LastError, Text);
    EXPECT_EQ(E.InputFileCount, Count);
    EXPECT_EQ(E.InputFiles[Count], nullptr);
    EXPECT_TRUE(E.InputCodecs[Count].empty());
    ExpectFileOptionsReset();
  }

  // A demuxer's private option as text.
  static std::string ReadText(AVFormatContext* Context, const char* Name) {
    uint8_t* Text = nullptr;
    if (ff::av_opt_get(Context, Name, AV_OPT_SEARCH_CHILDREN, &Text) < 0 || !Text) return "<none>";
    std::string Value(reinterpret_cast<const char*>(Text));
    ff::av_free(Text);
    return Value;
  }

  // The first video packet read from input File, in microseconds.
  int64_t FirstVideoPacketUs(int FileIndex = 0) {
    PacketPtr Packet(ff::av_packet_alloc());
    AVFormatContext* Context = File(FileIndex);
    for (int Tries = 0; Tries < 200 && ff::av_read_frame(Context, Packet.get()) >= 0; ++Tries) {
      const AVStream* S = Context->streams[Packet->stream_index];
      const bool Video = S->codecpar->codec_type == AVMEDIA_TYPE_VIDEO;
      const int64_t Time = Packet->pts != AV_NOPTS_VALUE ? Packet->pts : Packet->dts;
      ff::av_packet_unref(Packet.get());
      if (Video && Time != AV_NOPTS_VALUE) return ff::av_rescale_q(Time, S->time_base, AVRational{1, 1000000});
    }
    return -1;
  }
};

// ---- What an opened file gives -----------------------------------------

TEST_F(InputFiles, VideoAndSoundParametersComeFromTheFile) {
  ASSERT_TRUE(E.OpenInputFile(Files().Clip)) << E.LastError;
  EXPECT_EQ(E.InputFileCount, 1);
  ASSERT_NE(File(), nullptr);
  ASSERT_EQ(File()->nb_streams, 2u);
  const AVCodecParameters* Video = Stream(0)->codecpar;
  const AVCodecParameters* Sound = Stream(1)->codecpar;
  ASSERT_EQ(Video->codec_type, AVMEDIA_TYPE_VIDEO);
  ASSERT_EQ(Sound->codec_type, AVMEDIA_TYPE_AUDIO);

  EXPECT_EQ(E.FrameWidth, 320);
  EXPECT_EQ(E.FrameHeight, 240);
  EXPECT_EQ(E.FrameWidth, Video->width);
  EXPECT_EQ(E.FrameHeight, Video->height);
  EXPECT_EQ(E.FramePixFmt, AV_PIX_FMT_YUV420P);
  EXPECT_EQ(E.FramePixFmt, Video->format);
  EXPECT_EQ(E.FrameRate.num, 25);
  EXPECT_EQ(E.FrameRate.den, 1);
  EXPECT_EQ(E.FrameRate.num, Stream(0)->r_frame_rate.num);
  EXPECT_EQ(E.FrameRate.den, Stream(0)->r_frame_rate.den);
  // Square pixels: 320 x 1 / 240.
  EXPECT_EQ(E.FrameAspectRatio, 4.0f / 3.0f);
  EXPECT_EQ(E.AudioChannels, 2);
  EXPECT_EQ(E.AudioSampleRate, 44100);
  EXPECT_EQ(E.AudioChannels, Sound->ch_layout.nb_channels);
  EXPECT_EQ(E.AudioSampleRate, Sound->sample_rate);
  EXPECT_EQ(E.AudioSampleFmt, Sound->format);
  EXPECT_NE(E.AudioSampleFmt, AV_SAMPLE_FMT_NONE);

  // The expected duration is the file's, in milliseconds.
  ASSERT_NE(File()->duration, AV_NOPTS_VALUE);
  EXPECT_EQ(E.TotalOutputDuration, File()->duration / 1000);
  EXPECT_GT(E.TotalOutputDuration, 1500);
  EXPECT_LT(E.TotalOutputDuration, 2500);
  EXPECT_EQ(E.InputTsOffsets[0], File()->start_time == AV_NOPTS_VALUE ? 0 : -File()->start_time);
  ExpectFileOptionsReset();
}

TEST_F(InputFiles, EveryStreamGetsADecoderContextFromItsParameters) {
  ASSERT_TRUE(E.OpenInputFile(Files().Clip)) << E.LastError;
  ASSERT_EQ(E.InputCodecs[0].size(), 2u);
  EXPECT_EQ(E.InputCodec(0, 2), nullptr);
  EXPECT_EQ(E.InputCodec(1, 0), nullptr);
  EXPECT_EQ(E.InputCodec(-1, 0), nullptr);
  EXPECT_EQ(E.InputCodec(0, -1), nullptr);

  const AVCodecContext* Video = E.InputCodec(0, 0);
  ASSERT_NE(Video, nullptr);
  EXPECT_EQ(Video->codec_type, AVMEDIA_TYPE_VIDEO);
  EXPECT_EQ(Video->codec_id, AV_CODEC_ID_MPEG4);
  EXPECT_EQ(Video->width, 320);
  EXPECT_EQ(Video->height, 240);
  EXPECT_EQ(Video->pix_fmt, AV_PIX_FMT_YUV420P);
  EXPECT_EQ(Video->pkt_timebase.num, Stream(0)->time_base.num);
  EXPECT_EQ(Video->pkt_timebase.den, Stream(0)->time_base.den);
  EXPECT_EQ(Video->thread_count, 1);
  EXPECT_EQ(Video->framerate.num, Stream(0)->avg_frame_rate.num);
  EXPECT_EQ(Video->framerate.den, Stream(0)->avg_frame_rate.den);
  ASSERT_NE(E.InputCodecs[0][0].Decoder, nullptr);
  EXPECT_EQ(E.InputCodecs[0][0].Decoder->id, AV_CODEC_ID_MPEG4);

  const AVCodecContext* Sound = E.InputCodec(0, 1);
  ASSERT_NE(Sound, nullptr);
  EXPECT_EQ(Sound->codec_type, AVMEDIA_TYPE_AUDIO);
  EXPECT_EQ(Sound->codec_id, AV_CODEC_ID_MP3);
  EXPECT_EQ(Sound->sample_rate, 44100);
  EXPECT_EQ(Sound->ch_layout.nb_channels, 2);
  EXPECT_EQ(Sound->pkt_timebase.den, Stream(1)->time_base.den);
  ASSERT_NE(E.InputCodecs[0][1].Decoder, nullptr);
  EXPECT_EQ(E.InputCodecs[0][1].Decoder->id, AV_CODEC_ID_MP3);

  // The contexts go with the files.
  E.ReleaseFiles();
  EXPECT_EQ(E.InputFileCount, 0);
  EXPECT_TRUE(E.InputCodecs[0].empty());
}

TEST_F(InputFiles, RecordedDecoderAndFormatOptionsReachTheirContexts) {
  E.SetOption("lowres", "1");       // a decoding option of every codec
  E.SetOption("fflags", "+genpts");  // a decoding option of every demuxer
  E.SetOption("re", "");
  ASSERT_TRUE(E.OpenInputFile(Files().Clip)) << E.LastError;
  EXPECT_EQ(E.InputCodec(0, 0)->lowres, 1);
  EXPECT_EQ(E.InputCodec(0, 1)->lowres, 1);
  EXPECT_NE(File()->flags & AVFMT_FLAG_GENPTS, 0);
  // Rate emulation goes to the video stream, and is used up.
  EXPECT_EQ(E.InputCodecs[0][0].RateEmu, 1);
  EXPECT_EQ(E.InputCodecs[0][1].RateEmu, 0);
  EXPECT_EQ(E.RateEmu, 0);
}

TEST_F(InputFiles, FieldsGivenBeforeTheFileAreOverwrittenByIt) {
  E.SetOption("s", "640x480");
  E.SetOption("r", "30");
  E.SetOption("aspect", "16:9");
  E.SetOption("pix_fmt", "rgb24");
  E.SetOption("ar", "8000");
  E.SetOption("ac", "6");
  ASSERT_TRUE(E.OpenInputFile(Files().Ntsc)) << E.LastError;
  EXPECT_EQ(E.FrameWidth, 176);
  EXPECT_EQ(E.FrameHeight, 144);
  EXPECT_EQ(E.FrameRate.num, 30000);
  EXPECT_EQ(E.FrameRate.den, 1001);
  EXPECT_EQ(E.FrameAspectRatio, 176.0f / 144.0f);
  EXPECT_EQ(E.FramePixFmt, Stream(0)->codecpar->format);
  EXPECT_EQ(E.AudioSampleRate, 48000);
  EXPECT_EQ(E.AudioChannels, 1);
  EXPECT_EQ(E.AudioSampleFmt, AV_SAMPLE_FMT_S16);
}

TEST_F(InputFiles, TheLastVideoStreamOfAFileWins) {
  ASSERT_TRUE(E.OpenInputFile(Files().TwoVideos)) << E.LastError;
  ASSERT_EQ(File()->nb_streams, 2u);
  EXPECT_EQ(Stream(0)->codecpar->width, 320);
  EXPECT_EQ(Stream(1)->codecpar->width, 176);
  EXPECT_EQ(E.InputCodec(0, 0)->width, 320);
  EXPECT_EQ(E.InputCodec(0, 1)->width, 176);
  EXPECT_EQ(E.FrameWidth, 176);
  EXPECT_EQ(E.FrameHeight, 144);
  EXPECT_EQ(E.FrameRate.num, Stream(1)->r_frame_rate.num);
  EXPECT_EQ(E.FrameRate.den, Stream(1)->r_frame_rate.den);
  EXPECT_EQ(E.FrameAspectRatio, TCustomFFmpeg::InputFrameAspect(176, 144, Stream(1)->sample_aspect_ratio,
                                                                E.InputCodec(0, 1)->sample_aspect_ratio));
  EXPECT_EQ(E.FramePixFmt, Stream(1)->codecpar->format);
}

TEST_F(InputFiles, ASoundFileLeavesThePictureFieldsAlone) {
  E.SetOption("s", "640x480");
  ASSERT_TRUE(E.OpenInputFile(Files().Sound)) << E.LastError;
  EXPECT_EQ(E.FrameWidth, 640);
  EXPECT_EQ(E.FrameHeight, 480);
  EXPECT_EQ(E.FramePixFmt, -1);
  EXPECT_EQ(E.FrameRate.num, 0);
  EXPECT_EQ(E.AudioSampleRate, 32000);
  EXPECT_EQ(E.AudioChannels, 1);
}

TEST_F(InputFiles, TheLongestInputGivesTheExpectedDuration) {
  ASSERT_TRUE(E.OpenInputFile(Files().Sound)) << E.LastError;
  const int64_t SoundMs = File(0)->duration / 1000;
  EXPECT_EQ(E.TotalOutputDuration, SoundMs);
  ASSERT_TRUE(E.OpenInputFile(Files().Clip)) << E.LastError;
  EXPECT_EQ(E.TotalOutputDuration, File(1)->duration / 1000);
  EXPECT_GT(E.TotalOutputDuration, SoundMs);
  // A shorter file does not make it shorter.
  const int64_t Longest = E.TotalOutputDuration;
  ASSERT_TRUE(E.OpenInputFile(Files().Sound)) << E.LastError;
  EXPECT_EQ(E.TotalOutputDuration, Longest);
  EXPECT_EQ(E.InputFileCount, 3);

  // A recording time longer than the input stays.
  TCustomFFmpeg Other;
  Other.InitOptions();
  Other.SetOption("t", "00:00:10");
  ASSERT_TRUE(Other.OpenInputFile(Files().Clip)) << Other.LastError;
  EXPECT_EQ(Other.TotalOutputDuration, 10000);
}

// ---- Aspect ratio ------------------------------------------------------

TEST(InputFrameAspect, EveryRule) {
  const AVRational None{0, 1};
  // Square pixels.
  EXPECT_EQ(TCustomFFmpeg::InputFrameAspect(640, 480, {1, 1}, None), 1.3333334f);
  // PAL 4:3 with its 16/15 sample aspect, from the stream or from the codec.
  EXPECT_EQ(TCustomFFmpeg::InputFrameAspect(720, 576, {16, 15}, None), 1.3333334f);
  EXPECT_EQ(TCustomFFmpeg::InputFrameAspect(720, 576, None, {16, 15}), 1.3333334f);
  // The stream's ratio wins over the codec's.
  EXPECT_EQ(TCustomFFmpeg::InputFrameAspect(720, 576, {64, 45}, {16, 15}), static_cast<float>(720.0 * 64 / 45 / 576));
  // No ratio: width / height.
  EXPECT_EQ(TCustomFFmpeg::InputFrameAspect(640, 480, None, None), 640.0f / 480.0f);
  EXPECT_EQ(TCustomFFmpeg::InputFrameAspect(720, 576, None, None), 1.25f);
  // A ratio with a zero denominator counts as none.
  EXPECT_EQ(TCustomFFmpeg::InputFrameAspect(720, 576, {0, 0}, {1, 0}), 1.25f);
  // No size and no ratio: 4/3.
  EXPECT_EQ(TCustomFFmpeg::InputFrameAspect(0, 0, None, None), 1.3333334f);
  EXPECT_EQ(TCustomFFmpeg::InputFrameAspect(720, 0, None, None), 1.3333334f);
  // No size with a ratio: the ratio itself.
  EXPECT_EQ(TCustomFFmpeg::InputFrameAspect(0, 0, {16, 15}, None), 16.0f / 15.0f);
}

TEST_F(InputFiles, AspectOfGeneratedFiles) {
  ASSERT_TRUE(E.OpenInputFile(Files().Clip)) << E.LastError;
  EXPECT_EQ(E.FrameAspectRatio, TCustomFFmpeg::InputFrameAspect(320, 240, Stream(0)->sample_aspect_ratio,
                                                                E.InputCodec(0, 0)->sample_aspect_ratio));
  EXPECT_EQ(E.FrameAspectRatio, 1.3333334f);

  // Raw video: whatever sample aspect the file keeps, 64 x 48 is 4:3 with
  // square pixels and without a ratio alike.
  ASSERT_TRUE(E.OpenInputFile(Files().RawVideo)) << E.LastError;
  const AVRational Sample = Stream(0, 1)->sample_aspect_ratio.num != 0 ? Stream(0, 1)->sample_aspect_ratio
                                                                       : E.InputCodec(1, 0)->sample_aspect_ratio;
  EXPECT_TRUE(Sample.num == 0 || Sample.num == Sample.den) << Sample.num << "/" << Sample.den;
  EXPECT_EQ(E.FrameAspectRatio, 64.0f / 48.0f);
  EXPECT_EQ(E.FrameWidth, 64);
  EXPECT_EQ(E.FrameHeight, 48);
}

// ---- Forced formats, decoders and demuxer options -----------------------

TEST_F(InputFiles, FindCodecIdLooksUpEncodersAndDecoders) {
  int Id = -5;
  EXPECT_TRUE(E.FindCodecId("", AVMEDIA_TYPE_VIDEO, Id, true));
  EXPECT_EQ(Id, AV_CODEC_ID_NONE);
  EXPECT_TRUE(E.FindCodecId("mpeg4", AVMEDIA_TYPE_VIDEO, Id, true));
  EXPECT_EQ(Id, AV_CODEC_ID_MPEG4);
  EXPECT_TRUE(E.FindCodecId("libx264", AVMEDIA_TYPE_VIDEO, Id, true));
  EXPECT_EQ(Id, AV_CODEC_ID_H264);
  EXPECT_TRUE(E.FindCodecId("mp3float", AVMEDIA_TYPE_AUDIO, Id, false));
  EXPECT_EQ(Id, AV_CODEC_ID_MP3);

  EXPECT_FALSE(E.FindCodecId("nosuchcodec", AVMEDIA_TYPE_VIDEO, Id, true));
  EXPECT_EQ(E.LastError, "Unknown encoder 'nosuchcodec'");
  EXPECT_FALSE(E.FindCodecId("aac", AVMEDIA_TYPE_VIDEO, Id, true));
  EXPECT_EQ(E.LastError, "Invalid encoder type 'aac'");
  // libx264 only encodes.
  EXPECT_FALSE(E.FindCodecId("libx264", AVMEDIA_TYPE_VIDEO, Id, false));
  EXPECT_EQ(E.LastError, "Unknown decoder 'libx264'");
  EXPECT_FALSE(E.FindCodecId("mpeg4", AVMEDIA_TYPE_SUBTITLE, Id, false));
  EXPECT_EQ(E.LastError, "Invalid decoder type 'mpeg4'");
}

TEST_F(InputFiles, ForcedDecodersThatCannotDecodeTheirTypeFailTheOpen) {
  E.SetOption("vcodec", "x");
  ExpectFails(Files().Clip, "Unknown decoder 'x'");
  E.SetOption("vcodec", "libx264");
  ExpectFails(Files().Clip, "Unknown decoder 'libx264'");
  E.SetOption("vcodec", "mp3");
  ExpectFails(Files().Clip, "Invalid decoder type 'mp3'");
  E.SetOption("acodec", "mpeg4");
  ExpectFails(Files().Clip, "Invalid decoder type 'mpeg4'");
  E.SetOption("scodec", "nosub");
  ExpectFails(Files().Clip, "Unknown decoder 'nosub'");
  // The names were used up: the same file now opens.
  ASSERT_TRUE(E.OpenInputFile(Files().Clip)) << E.LastError;
}

TEST_F(InputFiles, AForcedDecoderDecodesItsStreams) {
  // The fixed-point MP3 decoder gives 16-bit planar sound where the
  // library's default MP3 decoder gives float.
  E.SetOption("acodec", "mp3");
  E.SetOption("vcodec", "mpeg4");
  ASSERT_TRUE(E.OpenInputFile(Files().Clip)) << E.LastError;
  ASSERT_NE(E.InputCodecs[0][1].Decoder, nullptr);
  EXPECT_STREQ(E.InputCodecs[0][1].Decoder->name, "mp3");
  EXPECT_EQ(File()->audio_codec_id, AV_CODEC_ID_MP3);
  EXPECT_EQ(File()->video_codec_id, AV_CODEC_ID_MPEG4);
  EXPECT_EQ(E.AudioSampleFmt, AV_SAMPLE_FMT_S16P);
  EXPECT_EQ(Stream(1)->codecpar->format, AV_SAMPLE_FMT_S16P);
  ExpectFileOptionsReset();

  ASSERT_TRUE(E.OpenInputFile(Files().Clip)) << E.LastError;
  EXPECT_STREQ(E.InputCodecs[1][1].Decoder->name, "mp3float");
  EXPECT_EQ(E.AudioSampleFmt, AV_SAMPLE_FMT_FLTP);
}

TEST_F(InputFiles, PgmyuvReadsThePictureWithThePgmyuvDecoder) {
  E.SetOption("f", "pgmyuv");
  EXPECT_EQ(E.PgmyuvCompat, 1);
  ASSERT_TRUE(E.OpenInputFile(Files().PgmYuv)) << E.LastError;
  EXPECT_STREQ(File()->iformat->name, "image2");
  EXPECT_EQ(File()->video_codec_id, AV_CODEC_ID_PGMYUV);
  EXPECT_EQ(static_cast<int>(AV_CODEC_ID_PGMYUV), 65);
  EXPECT_EQ(Stream(0)->codecpar->codec_id, AV_CODEC_ID_PGMYUV);
  EXPECT_EQ(E.InputCodec(0, 0)->codec_id, AV_CODEC_ID_PGMYUV);
  EXPECT_EQ(E.FrameWidth, 16);
  EXPECT_EQ(E.FrameHeight, 12);
  EXPECT_EQ(E.FramePixFmt, AV_PIX_FMT_YUV420P);

  // The rule stays on, but binds only the image demuxer: another file
  // keeps its own codec.
  EXPECT_EQ(E.PgmyuvCompat, 1);
  ASSERT_TRUE(E.OpenInputFile(Files().Clip)) << E.LastError;
  EXPECT_EQ(File(1)->video_codec_id, AV_CODEC_ID_NONE);
  EXPECT_EQ(E.InputCodec(1, 0)->codec_id, AV_CODEC_ID_MPEG4);
  EXPECT_EQ(E.FrameWidth, 320);
}

TEST_F(InputFiles, FrameRateAndLoopReachTheImageDemuxer) {
  E.SetOption("f", "image2");
  E.SetOption("r", "10");
  E.SetOption("loop_input", "");
  ASSERT_TRUE(E.OpenInputFile(Files().PgmYuv)) << E.LastError;
  EXPECT_EQ(E.FrameRate.num, 10);
  EXPECT_EQ(E.FrameRate.den, 1);
  EXPECT_EQ(ReadInt(File(), "loop", AV_OPT_SEARCH_CHILDREN), 1);
  EXPECT_EQ(ReadText(File(), "framerate"), "10/1");

  // Without them the demuxer keeps its own defaults.
  E.LoopInput = 0;
  E.FrameRate = AVRational{0, 0};
  E.SetOption("f", "image2");
  ASSERT_TRUE(E.OpenInputFile(Files().PgmYuv)) << E.LastError;
  EXPECT_EQ(ReadInt(File(1), "loop", AV_OPT_SEARCH_CHILDREN), 0);
  EXPECT_EQ(E.FrameRate.num, 25);
}

TEST_F(InputFiles, PictureSizeWithPadsAndPixelFormatReachTheRawDemuxer) {
  E.SetOption("f", "rawvideo");
  E.SetOption("s", "16x12");
  E.SetOption("padtop", "2");
  E.SetOption("padbottom", "2");
  E.SetOption("pix_fmt", "yuv420p");
  E.SetOption("r", "5");
  // No demuxer takes a capture channel or TV standard: they go unused.
  E.SetOption("vc", "3");
  E.SetOption("tvstd", "pal");
  ASSERT_TRUE(E.OpenInputFile(Files().RawYuv)) << E.LastError;
  EXPECT_EQ(Stream(0)->codecpar->width, 16);
  EXPECT_EQ(Stream(0)->codecpar->height, 16);
  EXPECT_EQ(E.FrameWidth, 16);
  EXPECT_EQ(E.FrameHeight, 16);
  EXPECT_EQ(E.FramePixFmt, AV_PIX_FMT_YUV420P);
  EXPECT_EQ(E.FrameRate.num, 5);
  EXPECT_EQ(E.FrameRate.den, 1);
  EXPECT_EQ(E.VideoChannel, 0);
}

TEST_F(InputFiles, SampleRateAndChannelsReachTheRawSoundDemuxer) {
  E.SetOption("f", "s16le");
  E.SetOption("ar", "22050");
  E.SetOption("ac", "1");
  ASSERT_TRUE(E.OpenInputFile(Files().RawPcm)) << E.LastError;
  EXPECT_EQ(Stream(0)->codecpar->sample_rate, 22050);
  EXPECT_EQ(Stream(0)->codecpar->ch_layout.nb_channels, 1);
  EXPECT_EQ(E.AudioSampleRate, 22050);
  EXPECT_EQ(E.AudioChannels, 1);

  // Unset, the engine's defaults go to the demuxer: 44100 Hz, 2 channels.
  TCustomFFmpeg Other;
  Other.InitOptions();
  Other.SetOption("f", "s16le");
  ASSERT_TRUE(Other.OpenInputFile(Files().RawPcm)) << Other.LastError;
  EXPECT_EQ(Other.AudioSampleRate, 44100);
  EXPECT_EQ(Other.AudioChannels, 2);
}

TEST_F(InputFiles, APrivateDemuxerOptionReachesTheDemuxer) {
  E.SetOption("start_number", "0");  // the image demuxer's own
  ASSERT_NE(PrivateValue("start_number"), "<none>");
  E.SetOption("pattern_type", "none");
  E.SetOption("f", "image2");
  ASSERT_TRUE(E.OpenInputFile(Files().PgmYuv)) << E.LastError;
  // The value of the pattern type "none".
  EXPECT_EQ(ReadInt(File(), "pattern_type", AV_OPT_SEARCH_CHILDREN), 3);
  // Other demuxers leave it unused; the AVI still opens.
  ASSERT_TRUE(E.OpenInputFile(Files().Clip)) << E.LastError;
}

TEST_F(InputFiles, AForcedFormatIsUsedAndUsedUp) {
  E.SetOption("f", "avi");
  ASSERT_NE(E.InputFormat, nullptr);
  ASSERT_TRUE(E.OpenInputFile(Files().Clip)) << E.LastError;
  EXPECT_STREQ(File()->iformat->name, "avi");
  ExpectFileOptionsReset();
  // A demuxer that does not fit the data.
  E.SetOption("f", "mp3");
  EXPECT_FALSE(E.OpenInputFile(Files().Text));
  EXPECT_EQ(E.LastError.rfind(Files().Text + ": ", 0), 0u) << E.LastError;
  ExpectFileOptionsReset();
}

// ---- Start time and offsets -------------------------------------------

TEST_F(InputFiles, StartTimeSeeksAndGivesTheOffset) {
  E.SetOption("ss", "1");
  ASSERT_EQ(E.StartTime, 1000000);
  ASSERT_TRUE(E.OpenInputFile(Files().Clip)) << E.LastError;
  const int64_t Start = File()->start_time == AV_NOPTS_VALUE ? 0 : File()->start_time;
  EXPECT_EQ(E.StartTime, 0);
  EXPECT_EQ(E.InputTsOffsets[0], -(1000000 + Start));
  // The backward seek lands on the key frame at or before 1 s (one every
  // 12 frames: 0.96 s).
  const int64_t First = FirstVideoPacketUs();
  EXPECT_GT(First, 500000);
  EXPECT_LE(First, 1000000);
}

TEST_F(InputFiles, CopyTsKeepsTheGivenOffset) {
  E.SetOption("ss", "1");
  E.SetOption("itsoffset", "3");
  E.SetOption("copyts", "");
  ASSERT_TRUE(E.OpenInputFile(Files().Clip)) << E.LastError;
  EXPECT_EQ(E.InputTsOffsets[0], 3000000);
  EXPECT_EQ(E.StartTime, 0);
  EXPECT_EQ(E.InputTsOffset, 3000000);
}

TEST_F(InputFiles, InputOffsetWithoutStartTime) {
  E.SetOption("itsoffset", "2");
  ASSERT_TRUE(E.OpenInputFile(Files().Clip)) << E.LastError;
  const int64_t Start = File()->start_time == AV_NOPTS_VALUE ? 0 : File()->start_time;
  EXPECT_EQ(E.InputTsOffsets[0], 2000000 - Start);
  // Not seeked: the first picture is the file's first.
  EXPECT_EQ(FirstVideoPacketUs(), 0);
  // The offset is not used up: the next file gets it too.
  ASSERT_TRUE(E.OpenInputFile(Files().Sound)) << E.LastError;
  const int64_t SoundStart = File(1)->start_time == AV_NOPTS_VALUE ? 0 : File(1)->start_time;
  EXPECT_EQ(E.InputTsOffsets[1], 2000000 - SoundStart);
}

// ---- Discard levels ----------------------------------------------------

TEST_F(InputFiles, DisabledTypesAreDiscardedByTheDemuxer) {
  E.SetOption("vn", "");
  E.SetOption("an", "");
  ASSERT_TRUE(E.OpenInputFile(Files().Clip)) << E.LastError;
  EXPECT_EQ(Stream(0)->discard, AVDISCARD_ALL);
  EXPECT_EQ(Stream(1)->discard, AVDISCARD_ALL);
  // The streams' parameters still reach the fields.
  EXPECT_EQ(E.FrameWidth, 320);
  EXPECT_EQ(E.AudioChannels, 2);
  // They are not used up by an input.
  EXPECT_EQ(E.VideoDisable, 1);
  EXPECT_EQ(E.AudioDisable, 1);
}

TEST_F(InputFiles, VideoDiscardLevel) {
  E.SetOption("vdt", std::to_string(AVDISCARD_NONKEY));
  ASSERT_TRUE(E.OpenInputFile(Files().Clip)) << E.LastError;
  EXPECT_EQ(Stream(0)->discard, AVDISCARD_NONKEY);
  EXPECT_EQ(Stream(1)->discard, AVDISCARD_DEFAULT);
}

TEST_F(InputFiles, ProgramsOtherThanTheChosenOneAreDiscarded) {
  // Without a program id every program is read.
  ASSERT_TRUE(E.OpenInputFile(Files().Program)) << E.LastError;
  ASSERT_EQ(File()->nb_programs, 1u);
  const int Id = File()->programs[0]->id;
  EXPECT_LT(File()->programs[0]->discard, AVDISCARD_ALL);

  E.SetOption("programid", std::to_string(Id));
  ASSERT_TRUE(E.OpenInputFile(Files().Program)) << E.LastError;
  EXPECT_LT(File(1)->programs[0]->discard, AVDISCARD_ALL);
  EXPECT_EQ(E.FrameWidth, 320);

  // Another program id: the file's only program is not read, and nothing
  // is left to find the picture's parameters in. Quiet, it opens anyway.
  E.SetOption("programid", std::to_string(Id + 1));
  E.Verbose = -1;
  ASSERT_TRUE(E.OpenInputFile(Files().Program)) << E.LastError;
  EXPECT_EQ(File(2)->programs[0]->discard, AVDISCARD_ALL);
}

// ---- Failures and the per-file resets -----------------------------------

TEST_F(InputFiles, AMissingFileFailsAndUsesUpTheFileOptions) {
  E.SetOption("f", "avi");
  E.SetOption("vcodec", "mpeg4");
  E.SetOption("acodec", "mp3");
  E.SetOption("vc", "2");
  E.SetOption("re", "");
  E.SetOption("ss", "1");
  E.SetOption("s", "640x480");
  ExpectFails(Files().Missing, Files().Missing + ": no such file or directory");
  // Kept after a failure: the start time and the fields.
  EXPECT_EQ(E.StartTime, 1000000);
  EXPECT_EQ(E.FrameWidth, 640);
  EXPECT_EQ(E.TotalOutputDuration, -1);
}

TEST_F(InputFiles, FilesThatAreNotMediaAreOfUnknownFormat) {
  ExpectFails(Files().Empty, Files().Empty + ": Unknown format");
  ExpectFails(Files().Text, Files().Text + ": Unknown format");
}

TEST_F(InputFiles, ATruncatedFileOpensWithWhatCanBeRead) {
  if (!E.OpenInputFile(Files().Truncated)) {
    EXPECT_EQ(E.LastError.rfind(Files().Truncated + ": ", 0), 0u) << E.LastError;
    EXPECT_EQ(E.InputFileCount, 0);
    return;
  }
  EXPECT_EQ(E.InputFileCount, 1);
  EXPECT_EQ(E.FrameWidth, 320);
  EXPECT_EQ(E.InputCodecs[0].size(), File()->nb_streams);
}

TEST_F(InputFiles, RandomBytesAfterAValidHeaderDoNotCrash) {
  if (E.OpenInputFile(Files().Damaged)) {
    EXPECT_EQ(E.InputFileCount, 1);
    EXPECT_EQ(E.InputCodecs[0].size(), File()->nb_streams);
    // Reading on through the damage ends without a crash.
    PacketPtr Packet(ff::av_packet_alloc());
    for (int I = 0; I < 10000 && ff::av_read_frame(File(), Packet.get()) >= 0; ++I) ff::av_packet_unref(Packet.get());
  } else {
    EXPECT_EQ(E.LastError.rfind(Files().Damaged + ": ", 0), 0u) << E.LastError;
  }
}

TEST_F(InputFiles, AFileWithoutCodecParametersFailsUnlessQuiet) {
  ExpectFails(Files().HeaderOnly, Files().HeaderOnly + ": could not find codec parameters");

  // At the quiet verbosity the file is taken with what its header says.
  E.Verbose = -1;
  ASSERT_TRUE(E.OpenInputFile(Files().HeaderOnly)) << E.LastError;
  EXPECT_EQ(E.FrameWidth, 320);
  EXPECT_EQ(E.FrameHeight, 240);
  EXPECT_EQ(E.FramePixFmt, AV_PIX_FMT_NONE);
  EXPECT_EQ(E.InputCodecs[0].size(), 2u);
}

TEST_F(InputFiles, RealMediaNamesGetPlanarYuvWhenThePixelFormatIsUnknown) {
  E.Verbose = -1;
  const std::string Rm = Files().Folder + "/header-only.RM";
  const std::string Rmvb = Files().Folder + "/header-only.rmvb";
  const std::string Mkv = Files().Folder + "/header-only.mkv";
  for (const std::string& Name : {Rm, Rmvb, Mkv}) {
    std::error_code Ignored;
    fs::copy_file(Files().HeaderOnly, Name, fs::copy_options::overwrite_existing, Ignored);
  }
  E.SetOption("f", "avi");
  ASSERT_TRUE(E.OpenInputFile(Rm)) << E.LastError;
  EXPECT_EQ(E.FramePixFmt, AV_PIX_FMT_YUV420P);
  EXPECT_EQ(E.InputCodec(0, 0)->pix_fmt, AV_PIX_FMT_YUV420P);
  E.SetOption("f", "avi");
  ASSERT_TRUE(E.OpenInputFile(Rmvb)) << E.LastError;
  EXPECT_EQ(E.FramePixFmt, AV_PIX_FMT_YUV420P);
  E.SetOption("f", "avi");
  ASSERT_TRUE(E.OpenInputFile(Mkv)) << E.LastError;
  EXPECT_EQ(E.FramePixFmt, AV_PIX_FMT_NONE);
}

TEST_F(InputFiles, ATwentyFirstInputIsRefused) {
  for (int I = 0; I < MAX_FILES; ++I) ASSERT_TRUE(E.OpenInputFile(Files().Sound)) << I << ": " << E.LastError;
  EXPECT_EQ(E.InputFileCount, MAX_FILES);
  E.SetOption("acodec", "mp3");
  E.SetOption("ss", "1");
  EXPECT_FALSE(E.OpenInputFile(Files().Sound));
  EXPECT_EQ(E.LastError, "Too many input files (at most 20)");
  EXPECT_EQ(E.InputFileCount, MAX_FILES);
  EXPECT_EQ(E.StartTime, 1000000);
  ExpectFileOptionsReset();
  for (int I = 0; I < MAX_FILES; ++I) EXPECT_NE(E.InputFiles[I], nullptr);
}

TEST_F(InputFiles, WithoutInitOptionsTheDefaultsAreUsed) {
  TCustomFFmpeg Other;
  // InitOptions was not called: there are no option objects, and the file
  // still opens with the defaults.
  ASSERT_TRUE(Other.OpenInputFile(Files().Clip)) << Other.LastError;
  EXPECT_EQ(Other.FrameWidth, 320);
}

// ---- Logging -------------------------------------------------------------

TEST_F(InputFiles, TheFrameRateLineAppearsOnlyWhereTheRatesDiffer) {
  ASSERT_TRUE(E.OpenInputFile(Files().Clip)) << E.LastError;
  ASSERT_TRUE(E.OpenInputFile(Files().Ntsc)) << E.LastError;
  for (const LoggedLine& Line : Lines)
    EXPECT_EQ(Line.Text.find("Seems stream"), std::string::npos) << LogText();

  // Pictures missing here and there: on average fewer per second than the
  // rate their time stamps are laid out on.
  ASSERT_TRUE(E.OpenInputFile(Files().Gaps)) << E.LastError;
  const AVRational Average = Stream(0, 2)->avg_frame_rate;
  const AVRational Real = Stream(0, 2)->r_frame_rate;
  ASSERT_EQ(Real.num, 25);
  ASSERT_EQ(Real.den, 1);
  ASSERT_GT(Average.num, 0);
  ASSERT_NE(Average.num * Real.den, Real.num * Average.den);
  EXPECT_EQ(E.InputCodec(2, 0)->framerate.num, Average.num);
  EXPECT_TRUE(Logged(Format("Seems stream 0 codec frame rate differs from container frame rate: "
                            "%2.2f (%d/%d) -> 25.00 (25/1)",
                            static_cast<double>(Average.num) / Average.den, Average.num, Average.den)))
      << LogText();
  EXPECT_EQ(E.FrameRate.num, 25);
  EXPECT_EQ(E.FrameRate.den, 1);

  // Only above the normal verbosity.
  Lines.clear();
  E.Verbose = 0;
  ASSERT_TRUE(E.OpenInputFile(Files().Gaps)) << E.LastError;
  EXPECT_TRUE(Lines.empty()) << LogText();
}

std::mutex LibraryLogMutex;
std::vector<std::string> LibraryLog;

void KeepLibraryLine(void*, int, const char* Fmt, va_list Args) {
  char Line[1024];
  std::vsnprintf(Line, sizeof Line, Fmt, Args);
  std::lock_guard<std::mutex> Guard(LibraryLogMutex);
  LibraryLog.emplace_back(Line);
}

int DescriptionsLogged() {
  std::lock_guard<std::mutex> Guard(LibraryLogMutex);
  int Count = 0;
  for (const std::string& Line : LibraryLog)
    if (Line.rfind("Input #", 0) == 0) ++Count;
  return Count;
}

TEST_F(InputFiles, TheDescriptionGoesToTheLibraryLogUnlessQuiet) {
  LibraryLog.clear();
  ff::av_log_set_callback(KeepLibraryLine);
  const bool Opened = E.OpenInputFile(Files().Clip);
  const int AtNormal = DescriptionsLogged();
  E.Verbose = -1;
  const bool OpenedQuietly = E.OpenInputFile(Files().Clip);
  const int AfterQuiet = DescriptionsLogged();
  ff::av_log_set_callback(ff::av_log_default_callback);
  ASSERT_TRUE(Opened);
  ASSERT_TRUE(OpenedQuietly);
  EXPECT_EQ(AtNormal, 1);
  EXPECT_EQ(AfterQuiet, 1);
}

TEST_F(InputFiles, TheCodecLockIsReentrantForItsHolder) {
  std::unique_lock<std::recursive_mutex> Held(CodecLock());
  // Re-entrant for the holder.
  ASSERT_TRUE(CodecLock().try_lock());
  CodecLock().unlock();
  // An open from this thread while it holds the lock goes through.
  ASSERT_TRUE(E.OpenInputFile(Files().Sound)) << E.LastError;
}

}  // namespace
}  // namespace vexav::test
