// What a user reads back from an output: each option on the stream it is
// meant for, the buffer size a disc format needs in its header, the final
// size in the last progress event, every picture kept with sync method 0,
// and sound that starts and stays with its picture (input start time,
// sources with B-frames).
#include <algorithm>
#include <cmath>
#include <fstream>
#include <iterator>

#include "RunTestSupport.h"
#include "binding/FFmpegLibs.h"
#include "binding/Owners.h"

namespace vexav::test {
namespace {

constexpr double OutputFrameUs = 1e6 * 100.0 / 2997.0;

mediagen::MediaRequest Source(mediagen::VideoCodec Video, double Seconds,
                           std::vector<double> Marks = {0.5, 1.5}) {
  mediagen::MediaRequest S;
  S.Video = Video;
  S.Audio = mediagen::AudioCodec::Mp3;
  S.DurationSeconds = Seconds;
  S.MarkSeconds = std::move(Marks);
  return S;
}

std::string Clip() {
  return Media("fidelity-mpeg4.avi", Source(mediagen::VideoCodec::Mpeg4, 2.0));
}

// Bytes of each media type's packets over the file's length, bits/s.
struct TRates {
  double Video = 0, Audio = 0;
  std::string VideoSettings;  // the encoder's settings text (H.264 SEI), when it writes one
};
TRates PayloadRates(const std::string& Path) {
  TRates R;
  std::string Error;
  InputFormatPtr File = OpenMediaFile(Path, Error);
  if (!File) return R;
  const double Seconds = File->duration > 0 ? File->duration / 1e6 : 0;
  int64_t Bytes[2] = {0, 0};
  PacketPtr Packet(ff::av_packet_alloc());
  while (ff::av_read_frame(File.get(), Packet.get()) >= 0) {
    const AVMediaType Type = File->streams[Packet->stream_index]->codecpar->codec_type;
    if (Type == AVMEDIA_TYPE_VIDEO || Type == AVMEDIA_TYPE_AUDIO) Bytes[Type] += Packet->size;
    if (Type == AVMEDIA_TYPE_VIDEO && R.VideoSettings.empty()) {
      const std::string Data(reinterpret_cast<const char*>(Packet->data), Packet->size);
      const std::size_t At = Data.find("options: ");
      if (At != std::string::npos) R.VideoSettings = Data.substr(At, Data.find('\0', At) - At);
    }
    ff::av_packet_unref(Packet.get());
  }
  if (Seconds > 0) {
    R.Video = Bytes[AVMEDIA_TYPE_VIDEO] * 8 / Seconds;
    R.Audio = Bytes[AVMEDIA_TYPE_AUDIO] * 8 / Seconds;
  }
  return R;
}

TRates Convert(const std::string& Name, const TOptionList& Options) {
  const std::string Output = OutPath(Name);
  TRunRecord R;
  RunConversion(Req({}, Clip(), Options, Output), R);
  EXPECT_TRUE(R.Finished) << R.OpenError << R.ErrorMessage;
  return PayloadRates(Output);
}

// "b" and its rate-control companions are video options: the sound keeps
// the rate "ab" gives it (or the encoder's own), whatever the order.
TEST_F(RunTest, VideoRateOptionsLeaveTheSoundAlone) {
  const TOptionList Base = {{"vcodec", "libx264"}, {"acodec", "aac"}, {"s", "320x240"}};
  for (const bool AudioFirst : {true, false}) {
    TOptionList Options = Base;
    const TOptionList Rates = {{"maxrate", "2000000"}, {"bufsize", "4000000"}, {"b", "1500000"}};
    if (AudioFirst) Options.push_back({"ab", "64000"});
    Options.insert(Options.end(), Rates.begin(), Rates.end());
    if (!AudioFirst) Options.push_back({"ab", "64000"});
    const TRates Got = Convert(AudioFirst ? "ab-then-b.mp4" : "b-then-ab.mp4", Options);
    EXPECT_NEAR(Got.Audio, 64000, 64000 * 0.15) << (AudioFirst ? "ab first" : "ab last");
    // What the video encoder was told (too little happens in the clip for
    // it to spend the whole rate).
    EXPECT_NE(Got.VideoSettings.find(" bitrate=1500 "), std::string::npos) << Got.VideoSettings;
    EXPECT_NE(Got.VideoSettings.find(" vbv_maxrate=2000 vbv_bufsize=4000 "), std::string::npos)
        << Got.VideoSettings;
  }
  // "b" alone changes nothing of the sound.
  TOptionList WithB = Base;
  WithB.push_back({"b", "1500000"});
  const TRates Plain = Convert("plain.mp4", Base);
  const TRates VideoRate = Convert("b-only.mp4", WithB);
  EXPECT_NEAR(VideoRate.Audio, Plain.Audio, Plain.Audio * 0.05);
}

// The first system header of an MPEG program stream declares each stream's
// buffer: for video, a 13-bit bound in units of 1024 bytes.
int DeclaredVideoBufferKiB(const std::string& Path) {
  std::ifstream In(Path, std::ios::binary);
  const std::vector<unsigned char> Data((std::istreambuf_iterator<char>(In)),
                                        std::istreambuf_iterator<char>());
  for (std::size_t I = 0; I + 12 < Data.size(); ++I) {
    if (Data[I] != 0 || Data[I + 1] != 0 || Data[I + 2] != 1 || Data[I + 3] != 0xBB) continue;
    const std::size_t End = I + 6 + (Data[I + 4] << 8 | Data[I + 5]);
    for (std::size_t J = I + 12; J + 2 < End && J + 2 < Data.size(); J += 3) {
      if (Data[J] >= 0xE0 && Data[J] <= 0xEF) return (Data[J + 1] & 0x1F) << 8 | Data[J + 2];
    }
    return -1;
  }
  return -1;
}

TEST_F(RunTest, VcdDeclaresTheVideoBufferADiscPlayerNeeds) {
  const std::string Output = OutPath("disc.mpg");
  TRunRecord R;
  RunConversion(Req({}, Clip(), {{"target", "vcd"}}, Output), R);
  ASSERT_TRUE(R.Finished) << R.OpenError << R.ErrorMessage;
  // 40 KiB of VBV buffer (327680 bits) plus the 6 KiB the multiplexer adds.
  EXPECT_EQ(DeclaredVideoBufferKiB(Output), 46);
}

// The AVI muxer leaves its write position at the header after the trailer:
// the size reported is the file's, and never shrinks during a run.
TEST_F(RunTest, FinalProgressReportsTheFileSize) {
  const std::string Output = OutPath("sized.avi");
  TRunRecord R;
  RunConversion(Req({}, Clip(), {{"vcodec", "mpeg4"}, {"acodec", "mp2"}}, Output), R);
  ASSERT_TRUE(R.Finished) << R.OpenError << R.ErrorMessage;
  ASSERT_FALSE(R.Progress.empty());
  for (std::size_t I = 1; I < R.Progress.size(); ++I)
    EXPECT_GE(R.Progress[I].CurrentSize, R.Progress[I - 1].CurrentSize) << I;
  EXPECT_EQ(R.Progress.back().CurrentSize, FileSize(Output));
  EXPECT_FALSE(R.LoggedContaining("muxing overhead -")) << R.LogText();
}

// Sync method 0 writes every picture once, even when the output's rate is
// below the source's: the stamps still rise.
TEST_F(RunTest, SyncMethodZeroKeepsEveryPictureAtALowerRate) {
  const std::string Output = OutPath("vsync0.mp4");
  TRunRecord R;
  RunConversion(
      Req({}, Clip(), {{"vcodec", "libx264"}, {"an", ""}, {"r", "10"}, {"vsync", "0"}}, Output), R);
  ASSERT_TRUE(R.Finished) << R.OpenError << R.ErrorMessage;
  const mediagen::DecodedMedia Src = mediagen::Decode(Clip());
  const mediagen::DecodedMedia Dst = mediagen::Decode(Output);
  ASSERT_EQ(Dst.Error, "");
  EXPECT_EQ(Dst.Frames.size(), Src.Frames.size());
  for (std::size_t I = 1; I < Dst.Frames.size(); ++I)
    EXPECT_GT(Dst.Frames[I].PtsUs, Dst.Frames[I - 1].PtsUs) << I;
}

// The first decoded picture's and sound's times, microseconds, as a player
// sees them (the container's start included, encoder delay removed).
struct TStarts {
  int64_t Video = INT64_MIN, Audio = INT64_MIN;
};
TStarts FirstTimes(const std::string& Path) {
  TStarts S;
  std::string Error;
  InputFormatPtr File = OpenMediaFile(Path, Error);
  if (!File) return S;
  CodecContextPtr Decoders[2];
  for (unsigned I = 0; I < File->nb_streams; ++I) {
    const AVCodecParameters* Par = File->streams[I]->codecpar;
    if (Par->codec_type != AVMEDIA_TYPE_VIDEO && Par->codec_type != AVMEDIA_TYPE_AUDIO) continue;
    if (Decoders[Par->codec_type]) continue;
    const AVCodec* Codec = ff::avcodec_find_decoder(Par->codec_id);
    CodecContextPtr Dec(ff::avcodec_alloc_context3(Codec));
    if (!Codec || !Dec || ff::avcodec_parameters_to_context(Dec.get(), Par) < 0) continue;
    Dec->pkt_timebase = File->streams[I]->time_base;
    if (ff::avcodec_open2(Dec.get(), Codec, nullptr) < 0) continue;
    Decoders[Par->codec_type] = std::move(Dec);
  }
  PacketPtr Packet(ff::av_packet_alloc());
  FramePtr Frame(ff::av_frame_alloc());
  while ((S.Video == INT64_MIN || S.Audio == INT64_MIN) &&
         ff::av_read_frame(File.get(), Packet.get()) >= 0) {
    const AVStream* Stream = File->streams[Packet->stream_index];
    const int Type = Stream->codecpar->codec_type;
    int64_t& Slot = Type == AVMEDIA_TYPE_VIDEO ? S.Video : S.Audio;
    if ((Type == AVMEDIA_TYPE_VIDEO || Type == AVMEDIA_TYPE_AUDIO) && Decoders[Type] &&
        Slot == INT64_MIN && ff::avcodec_send_packet(Decoders[Type].get(), Packet.get()) >= 0) {
      while (Slot == INT64_MIN &&
             ff::avcodec_receive_frame(Decoders[Type].get(), Frame.get()) >= 0) {
        if (Frame->best_effort_timestamp != AV_NOPTS_VALUE)
          Slot = ff::av_rescale_q(Frame->best_effort_timestamp, Stream->time_base,
                                  AVRational{1, 1000000});
        ff::av_frame_unref(Frame.get());
      }
    }
    ff::av_packet_unref(Packet.get());
  }
  return S;
}

// "ss" before the input: sound and picture both start at the time asked
// for, and the marks after it stay together.
TEST_F(RunTest, InputStartTimeTrimsTheSoundToo) {
  const std::string Input =
      Media("fidelity-seek.avi", Source(mediagen::VideoCodec::Mpeg4, 3.0, {1.0, 2.0}));
  // AVI keeps no presentation times and no encoder delay: codecs without
  // either, so that the file reads back as it was written.
  const TOptionList Mp4 = {{"vcodec", "libx264"}, {"acodec", "aac"}, {"ar", "44100"}};
  const TOptionList Avi = {{"vcodec", "mpeg4"}, {"acodec", "mp2"}, {"ar", "44100"}};
  for (const char* Name : {"seek.mkv", "seek.mp4", "seek.avi"}) {
    const std::string Output = OutPath(Name);
    TRunRecord R;
    RunConversion(Req({{"ss", "0.7"}}, Input, std::string(Name) == "seek.avi" ? Avi : Mp4, Output),
                  R);
    ASSERT_TRUE(R.Finished) << R.OpenError << R.ErrorMessage;
    const TStarts Starts = FirstTimes(Output);
    ASSERT_NE(Starts.Video, INT64_MIN) << Name;
    ASSERT_NE(Starts.Audio, INT64_MIN) << Name;
    EXPECT_NEAR(Starts.Audio, Starts.Video, 1e6 * 1024 / 44100) << Name;
    const mediagen::DecodedMedia Dst = mediagen::Decode(Output);
    const std::vector<int64_t> Clicks = ClickTimesUs(Output);
    ASSERT_EQ(Dst.FlashTimesUs.size(), 2u) << Name;
    ASSERT_EQ(Clicks.size(), 2u) << Name;
    for (std::size_t I = 0; I < 2; ++I) {
      EXPECT_NEAR(Dst.FlashTimesUs[I], Clicks[I], 40000) << Name << " mark " << I;
      EXPECT_NEAR(Dst.FlashTimesUs[I], (I == 0 ? 0.3 : 1.3) * 1e6, 45000) << Name << " mark " << I;
    }
  }
}

// "ss" before the input cuts the sound to the sample: with PCM written out,
// every click comes exactly "ss" earlier than in the source. AVI counts MP3
// sound in whole packets of 1152 samples (26 ms); a start between two
// packets must not be rounded to either. "ss" given for the output does
// the same.
TEST_F(RunTest, StartTimeCutsTheSoundToTheSample) {
  const std::string Mp3 =
      Media("fidelity-seek-mp3.avi", Source(mediagen::VideoCodec::Mpeg4, 3.0, {1.0, 2.0}));
  mediagen::MediaRequest PcmRequest = Source(mediagen::VideoCodec::Mpeg4, 3.0, {1.0, 2.0});
  PcmRequest.Audio = mediagen::AudioCodec::Pcm;
  const std::string Pcm = Media("fidelity-seek-pcm.avi", PcmRequest);
  const TOptionList ToWav = {{"acodec", "pcm_s16le"}};
  const TOptionList ToMkv = {{"vcodec", "mpeg4"}, {"acodec", "pcm_s16le"}};
  struct TCase {
    const char* Name;
    const std::string& Input;
    const char* Start;
    bool BeforeInput;
    const TOptionList& Options;
  };
  const TCase Cases[] = {
      {"mp3-0.7.wav", Mp3, "0.7", true, ToWav},        {"mp3-0.71.wav", Mp3, "0.71", true, ToWav},
      {"mp3-0.733.mkv", Mp3, "0.733", true, ToMkv},    {"pcm-0.71.wav", Pcm, "0.71", true, ToWav},
      {"mp3-out-0.71.wav", Mp3, "0.71", false, ToWav},
  };
  for (const TCase& Case : Cases) {
    const std::string Output = OutPath(std::string("seek-") + Case.Name);
    TOptionList Options = Case.Options;
    TOptionList Before;
    if (Case.BeforeInput)
      Before.push_back({"ss", Case.Start});
    else
      Options.push_back({"ss", Case.Start});
    TRunRecord R;
    RunConversion(Req(Before, Case.Input, Options, Output), R);
    ASSERT_TRUE(R.Finished) << Case.Name << R.OpenError << R.ErrorMessage;
    const std::vector<int64_t> Clicks = ClickTimesUs(Output);
    ASSERT_EQ(Clicks.size(), 2u) << Case.Name;
    const double Start = std::stod(Case.Start);
    EXPECT_NEAR(Clicks[0], (1.0 - Start) * 1e6, 2000) << Case.Name;
    EXPECT_NEAR(Clicks[1], (2.0 - Start) * 1e6, 2000) << Case.Name;
  }
}

// Sources whose pictures are stored out of order (B-frames) and whose
// container keeps no presentation times (AVI): the window's preset keeps
// every flash within one output frame of its click.
TEST_F(RunTest, BFrameSourcesStayInSync) {
  struct TCase {
    const char* Name;
    mediagen::VideoCodec Video;
  };
  for (const TCase& Case : {TCase{"fidelity-h264-bpyramid.avi", mediagen::VideoCodec::H264},
                            TCase{"fidelity-mpeg4-bframes.avi", mediagen::VideoCodec::Mpeg4}}) {
    mediagen::MediaRequest S = Source(Case.Video, 4.0, {0.5, 1.0, 1.5, 2.0, 2.5, 3.0, 3.5});
    S.FrameRateNum = 30000;
    S.FrameRateDen = 1001;
    S.BFrames = 3;
    const std::string Input = Media(Case.Name, S);
    const std::string Output = OutPath(std::string(Case.Name) + ".mp4");
    TRunRecord R;
    RunConversion(Req({}, Input,
                      {{"vcodec", "libx264"},
                       {"acodec", "libfaac"},
                       {"r", "29.97"},
                       {"ac", "2"},
                       {"ar", "44100"},
                       {"b", "1500000"},
                       {"ab", "64000"},
                       {"s", "320x240"},
                       {"vsync", "-1"},
                       {"async", "0"}},
                      Output),
                  R);
    ASSERT_TRUE(R.Finished) << R.OpenError << R.ErrorMessage;
    const mediagen::DecodedMedia Dst = mediagen::Decode(Output);
    const std::vector<int64_t> Clicks = ClickTimesUs(Output);
    ASSERT_EQ(Dst.FlashTimesUs.size(), 7u) << Case.Name;
    ASSERT_EQ(Clicks.size(), 7u) << Case.Name;
    for (std::size_t I = 0; I < Clicks.size(); ++I)
      EXPECT_NEAR(Dst.FlashTimesUs[I], Clicks[I], OutputFrameUs) << Case.Name << " mark " << I;
  }
}

}  // namespace
}  // namespace vexav::test
