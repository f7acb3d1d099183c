// The sound of a segmented conversion in pieces: the plan puts every piece's
// run on the frame grid of a run over the whole source (and, resampling, on
// a whole input sample), and the joined sound, decoded, is the whole run's
// within the encoder's own noise: the same samples in number, the same
// packet times, no click or gap at any seam, and the sound with the picture.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>
#include <string>
#include <vector>

#include "SegmentsFixture.h"
#include "batch/segments/SegmentJoin.h"
#include "batch/segments/SegmentedFile.h"
#include "batch/segments/SoundPieces.h"
#include "binding/Api.h"
#include "binding/Owners.h"

namespace vexav::batch {
namespace {

using namespace test;

// A file's first sound stream decoded, and its packets' times.
struct Sound {
  std::string Error;
  int Rate = 0;
  int Channels = 0;
  std::vector<std::vector<float>> Samples;  // a vector per channel
  std::vector<int64_t> PacketPts;           // in samples of Rate
  int64_t StartUs = 0;                      // the sound's first packet
  int64_t VideoStartUs = -1;                // the picture's first packet
  int64_t VideoEndUs = -1;                  // the picture's last packet's end
  int64_t Frames() const { return Samples.empty() ? 0 : static_cast<int64_t>(Samples[0].size()); }
};

void TakeFrame(const AVFrame* F, Sound& S) {
  const AVSampleFormat Fmt = static_cast<AVSampleFormat>(F->format);
  const int Channels = F->ch_layout.nb_channels;
  if (S.Samples.empty()) S.Samples.resize(Channels);
  const bool Planar = ff::av_sample_fmt_is_planar(Fmt) != 0;
  for (int C = 0; C < Channels; ++C)
    for (int I = 0; I < F->nb_samples; ++I) {
      const int Plane = Planar ? C : 0;
      const int Index = Planar ? I : I * Channels + C;
      float V = 0;
      switch (Fmt) {
        case AV_SAMPLE_FMT_FLT:
        case AV_SAMPLE_FMT_FLTP:
          V = reinterpret_cast<const float*>(F->extended_data[Plane])[Index];
          break;
        case AV_SAMPLE_FMT_S16:
        case AV_SAMPLE_FMT_S16P:
          V = reinterpret_cast<const int16_t*>(F->extended_data[Plane])[Index] / 32768.0f;
          break;
        case AV_SAMPLE_FMT_S32:
        case AV_SAMPLE_FMT_S32P:
          V = static_cast<float>(reinterpret_cast<const int32_t*>(F->extended_data[Plane])[Index] /
                                 2147483648.0);
          break;
        default:
          S.Error = "unexpected sample format";
          return;
      }
      S.Samples[C].push_back(V);
    }
}

Sound DecodeSound(const std::string& Path) {
  Sound S;
  AVFormatContext* Raw = nullptr;
  if (ff::avformat_open_input(&Raw, Path.c_str(), nullptr, nullptr) < 0) {
    S.Error = Path + ": cannot be opened";
    return S;
  }
  InputFormatPtr File(Raw);
  ff::avformat_find_stream_info(Raw, nullptr);
  int Audio = -1, Video = -1;
  for (unsigned I = 0; I < Raw->nb_streams; ++I) {
    const AVMediaType Type = Raw->streams[I]->codecpar->codec_type;
    if (Type == AVMEDIA_TYPE_AUDIO && Audio < 0) Audio = static_cast<int>(I);
    if (Type == AVMEDIA_TYPE_VIDEO && Video < 0) Video = static_cast<int>(I);
  }
  if (Audio < 0) {
    S.Error = Path + ": no sound";
    return S;
  }
  const AVStream* Stream = Raw->streams[Audio];
  CodecContextPtr Dec(ff::avcodec_alloc_context3(ff::avcodec_find_decoder(Stream->codecpar->codec_id)));
  ff::avcodec_parameters_to_context(Dec.get(), Stream->codecpar);
  if (ff::avcodec_open2(Dec.get(), nullptr, nullptr) < 0) {
    S.Error = Path + ": no decoder";
    return S;
  }
  S.Rate = Dec->sample_rate;
  S.Channels = Dec->ch_layout.nb_channels;
  PacketPtr Packet(ff::av_packet_alloc());
  FramePtr Frame(ff::av_frame_alloc());
  bool FirstSound = true;
  auto Drain = [&] {
    while (ff::avcodec_receive_frame(Dec.get(), Frame.get()) >= 0) TakeFrame(Frame.get(), S);
  };
  while (ff::av_read_frame(Raw, Packet.get()) >= 0) {
    const AVStream* From = Raw->streams[Packet->stream_index];
    const int64_t PtsUs = ff::av_rescale_q(Packet->pts, From->time_base, AVRational{1, 1000000});
    if (Packet->stream_index == Video && Packet->pts != AV_NOPTS_VALUE) {
      if (S.VideoStartUs < 0 || PtsUs < S.VideoStartUs) S.VideoStartUs = PtsUs;
      S.VideoEndUs = std::max(
          S.VideoEndUs,
          PtsUs + ff::av_rescale_q(Packet->duration, From->time_base, AVRational{1, 1000000}));
    }
    if (Packet->stream_index == Audio) {
      if (FirstSound) S.StartUs = PtsUs;
      FirstSound = false;
      S.PacketPts.push_back(ff::av_rescale_q(Packet->pts, From->time_base, AVRational{1, S.Rate}));
      ff::avcodec_send_packet(Dec.get(), Packet.get());
      Drain();
    }
    ff::av_packet_unref(Packet.get());
  }
  ff::avcodec_send_packet(Dec.get(), nullptr);
  Drain();
  return S;
}

// The level of A - B against A over [From, To) of every channel, in dB
// (-200 where they are equal, 200 where their channels differ).
double DifferenceDb(const Sound& A, const Sound& B, int64_t From, int64_t To) {
  if (A.Samples.size() != B.Samples.size()) return 200;
  double Signal = 0, Noise = 0;
  From = std::max<int64_t>(From, 0);
  To = std::min({To, A.Frames(), B.Frames()});
  for (size_t C = 0; C < A.Samples.size(); ++C)
    for (int64_t I = From; I < To; ++I) {
      const double X = A.Samples[C][I], D = X - B.Samples[C][I];
      Signal += X * X;
      Noise += D * D;
    }
  if (Noise <= 0) return -200;
  return 10 * std::log10(Noise / std::max(Signal, 1e-30));
}

struct SoundCase {
  const char* Name;  // the source's file name
  int SampleRate;
  int Channels;
  int Segments;
  int Format;  // the preset's row
  const char* Label;
  const char* Ext;
  // The output resamples or mixes the channels down: the source's sound is
  // no reference then, and the marks (clicks) are kept away from the seams.
  bool Resamples;
};

void PrintTo(const SoundCase& C, std::ostream* Out) {
  *Out << C.Name;
}

class SoundPieces : public SegmentsFixture, public ::testing::WithParamInterface<SoundCase> {};

// Each frame-long window within two frames of every seam: the joined sound
// differs from the whole run's by no more than coding the same samples
// differs from them (the source's sound, where the output keeps its rate),
// or stays far below the signal (where it resamples, with no click near a
// seam), and so does the whole sound.
TEST_P(SoundPieces, JoinedSoundIsTheWholeRuns) {
  const SoundCase& C = GetParam();
  mediagen::MediaRequest Request;
  Request.Width = 160;
  Request.Height = 120;
  Request.FrameRateNum = 30000;
  Request.FrameRateDen = 1001;
  Request.DurationSeconds = 12.0;
  Request.SampleRate = C.SampleRate;
  Request.Channels = C.Channels;
  Request.Audio = C.SampleRate == 44100 ? mediagen::AudioCodec::Mp3 : mediagen::AudioCodec::Pcm;
  Request.MarkSeconds.clear();
  for (int S = 1; S < 12; ++S) Request.MarkSeconds.push_back(C.Resamples ? S - 0.5 : S);
  const std::string Source = Make(C.Name, Request);
  segments::PresetChoice Choice;
  Choice.Format = C.Format;
  const segments::SegmentPlan Plan = PlanFor(Source, C.Segments, Choice);
  ASSERT_EQ(Plan.SoundPieces(), C.Segments);
  ASSERT_TRUE(Plan.Sound.InPieces());

  const std::string Base =
      fs::path(Source).stem().string() + " (" + std::string(C.Label) + ")" + C.Ext;
  const std::string Seg = Dir + "/seg", Whole = Dir + "/whole";
  ASSERT_EQ(Run({"--preset", C.Label, "--segments", std::to_string(C.Segments), "--jobs", "2",
                 Source},
                Seg),
            0)
      << ReadFile(Seg + "/.stderr");
  ASSERT_EQ(Run({"--preset", C.Label, "--codec-threads", "1", Source}, Whole), 0)
      << ReadFile(Whole + "/.stderr");
  EXPECT_FALSE(WorkFolderLeft(Seg));
  const Sound Joined = DecodeSound(Seg + "/" + Base);
  const Sound One = DecodeSound(Whole + "/" + Base);
  ASSERT_EQ(Joined.Error, "");
  ASSERT_EQ(One.Error, "");
  ASSERT_GT(One.Frames(), C.SampleRate * 11);
  EXPECT_EQ(Joined.Channels, One.Channels);
  // The same samples in number, the same packets at the same times.
  EXPECT_EQ(Joined.Frames(), One.Frames());
  EXPECT_EQ(Joined.PacketPts, One.PacketPts);
  EXPECT_EQ(Joined.StartUs, One.StartUs);

  // The coding noise (the whole run against the source, where the output
  // keeps the source's rate) is the measure: over the file, and over two
  // frames either side of each seam. The joined sound may differ from the
  // whole run's by that noise and its own (6 dB more: two codings of the
  // same samples whose rate control took different paths). A seam that
  // lost, doubled or shifted samples, or whose frames do not overlap as in
  // one run (a click), is far above it. Where the output resamples (no
  // reference), or mixes 5.1 down to stereo, no mark is near a seam and the
  // difference must stay 25 dB below the signal in every frame around it.
  const Sound Src = DecodeSound(Source);
  ASSERT_EQ(Src.Error, "");
  const int64_t Frame = Plan.Sound.FrameSamples;
  const double Overall = DifferenceDb(One, Joined, 0, One.Frames());
  const double CodingNoise = DifferenceDb(Src, One, 0, One.Frames());
  if (C.Resamples)
    EXPECT_LT(Overall, -20.0);
  else
    EXPECT_LT(Overall, CodingNoise + 6.0);
  for (int S = 1; S < Plan.SoundPieces(); ++S) {
    const int64_t Seam = Plan.Pieces[Plan.FirstSoundPiece() + S].FirstSample;
    if (C.Resamples) {
      for (int64_t At = Seam - 2 * Frame; At < Seam + 2 * Frame; At += Frame)
        EXPECT_LT(DifferenceDb(One, Joined, At, At + Frame), -25.0)
            << "seam " << S << " at sample " << Seam << ", frame at " << At;
      continue;
    }
    const int64_t From = Seam - 2 * Frame, To = Seam + 2 * Frame;
    EXPECT_LT(DifferenceDb(One, Joined, From, To),
              std::max(DifferenceDb(Src, One, From, To), CodingNoise) + 6.0)
        << "seam " << S << " at sample " << Seam;
  }
  // The sound with the picture: both start as in the whole run, and the
  // sound ends within a frame of the picture.
  EXPECT_EQ(Joined.VideoStartUs, One.VideoStartUs);
  const int64_t SoundEndUs = Joined.StartUs + Joined.Frames() * 1000000LL / Joined.Rate;
  EXPECT_NEAR(static_cast<double>(SoundEndUs), static_cast<double>(Joined.VideoEndUs), FrameUs);
}

INSTANTIATE_TEST_SUITE_P(
    Sources, SoundPieces,
    ::testing::Values(
        SoundCase{"stereo.avi", 44100, 2, 3, 0, "MPEG-4 Video", ".mp4", false},
        SoundCase{"mono.avi", 44100, 1, 2, 1, "MPEG-4 Video HQ", ".mp4", false},
        SoundCase{"pcm48.avi", 48000, 2, 3, 0, "MPEG-4 Video", ".mp4", true},
        SoundCase{"hq48.avi", 48000, 2, 2, 1, "MPEG-4 Video HQ", ".mp4", false},
        SoundCase{"webm.avi", 44100, 2, 3, 3, "WebM Video", ".webm", true},
        SoundCase{"surround.avi", 48000, 6, 2, 1, "MPEG-4 Video HQ", ".mp4", true}),
    [](const ::testing::TestParamInfo<SoundCase>& Info) {
      std::string Name = Info.param.Name;
      return Name.substr(0, Name.find('.'));
    });

// Writes the streams of Picture and of Sound into one Matroska file, as
// they are (in the order of their times).
std::string MuxTogether(const std::string& Picture, const std::string& Sound,
                        const std::string& Output, int64_t SoundLateUs = 0) {
  struct Item {
    PacketPtr Packet;
    int64_t Us;
  };
  std::vector<Item> Items;
  AVFormatContext* Raw = nullptr;
  if (ff::avformat_alloc_output_context2(&Raw, nullptr, nullptr, Output.c_str()) < 0)
    return "no output";
  OutputFormatPtr Out(Raw);
  std::vector<InputFormatPtr> Inputs;
  for (const std::string& Path : {Picture, Sound}) {
    AVFormatContext* In = nullptr;
    if (ff::avformat_open_input(&In, Path.c_str(), nullptr, nullptr) < 0) return Path;
    Inputs.emplace_back(In);
    if (ff::avformat_find_stream_info(In, nullptr) < 0 || In->nb_streams != 1) return Path;
    AVStream* Stream = ff::avformat_new_stream(Raw, nullptr);
    ff::avcodec_parameters_copy(Stream->codecpar, In->streams[0]->codecpar);
    Stream->codecpar->codec_tag = 0;
    Stream->time_base = In->streams[0]->time_base;
    for (;;) {
      PacketPtr Packet(ff::av_packet_alloc());
      if (ff::av_read_frame(In, Packet.get()) < 0) break;
      Packet->stream_index = static_cast<int>(Inputs.size()) - 1;
      Packet->pos = -1;
      if (Packet->stream_index == 1) {
        const int64_t Late =
            ff::av_rescale_q(SoundLateUs, AVRational{1, 1000000}, In->streams[0]->time_base);
        Packet->pts += Late;
        Packet->dts += Late;
      }
      const int64_t Us = ff::av_rescale_q(Packet->dts, In->streams[0]->time_base,
                                          AVRational{1, 1000000});
      Items.push_back({std::move(Packet), Us});
    }
  }
  std::stable_sort(Items.begin(), Items.end(),
                   [](const Item& A, const Item& B) { return A.Us < B.Us; });
  if (ff::avio_open(&Raw->pb, Output.c_str(), AVIO_FLAG_WRITE) < 0 ||
      ff::avformat_write_header(Raw, nullptr) < 0)
    return "cannot write";
  for (Item& I : Items) {
    const int Index = I.Packet->stream_index;
    ff::av_packet_rescale_ts(I.Packet.get(), Inputs[Index]->streams[0]->time_base,
                             Raw->streams[Index]->time_base);
    if (ff::av_interleaved_write_frame(Raw, I.Packet.get()) < 0) return "cannot write a packet";
  }
  return ff::av_write_trailer(Raw) < 0 ? "no trailer" : "";
}

// Sound that ends before the picture (4.5 s of 12 s, in three segments from
// 4 s and 8 s): the second sound piece goes to the sound's end, and the
// joined sound is the whole run's. The same in Matroska, whose times are of a
// millisecond: the sound stays one piece; so does sound that starts after
// the pictures. And a source without sound has no sound piece and converts
// to pictures alone.
TEST_F(SoundPieces, SoundShorterOrLaterThanThePictureOrNone) {
  mediagen::MediaRequest Request;
  Request.Width = 160;
  Request.Height = 120;
  Request.FrameRateNum = 30000;
  Request.FrameRateDen = 1001;
  Request.DurationSeconds = 12.0;
  Request.MarkSeconds = {0.5, 1.5, 2.5, 3.5};
  Request.Audio = mediagen::AudioCodec::None;
  const std::string Picture = Make("silent.avi", Request);
  Request.Video = mediagen::VideoCodec::None;
  Request.Audio = mediagen::AudioCodec::Pcm;
  Request.DurationSeconds = 4.5;
  const std::string Wav = Make("short.wav", Request);
  const std::string Source = Dir + "/short.avi";
  ASSERT_EQ(MuxTogether(Picture, Wav, Source), "");
  ASSERT_EQ(MuxTogether(Picture, Wav, Dir + "/short.mkv"), "");
  const segments::SegmentPlan InMilliseconds = PlanFor(Dir + "/short.mkv", 3);
  EXPECT_EQ(InMilliseconds.SoundPieces(), 1);
  EXPECT_FALSE(InMilliseconds.Sound.InPieces());

  // (Where the container does not say that its sound is shorter, the sound
  // is planned over the file's duration: the third piece then starts after
  // the sound's end, holds none, and adds nothing.)
  const segments::SegmentPlan Plan = PlanFor(Source, 3);
  ASSERT_GE(Plan.SoundPieces(), 2);
  ASSERT_EQ(Run({"--segments", "3", "--jobs", "2", Source}, Dir + "/seg"), 0)
      << ReadFile(Dir + "/seg/.stderr");
  ASSERT_EQ(Run({"--codec-threads", "1", Source}, Dir + "/whole"), 0)
      << ReadFile(Dir + "/whole/.stderr");
  EXPECT_FALSE(WorkFolderLeft(Dir + "/seg"));
  const Sound Joined = DecodeSound(Dir + "/seg/short (MPEG-4 Video).mp4");
  const Sound One = DecodeSound(Dir + "/whole/short (MPEG-4 Video).mp4");
  ASSERT_EQ(Joined.Error, "");
  ASSERT_EQ(One.Error, "");
  EXPECT_NEAR(static_cast<double>(One.Frames()), 4.5 * 44100, 2048.0);
  EXPECT_EQ(Joined.Frames(), One.Frames());
  EXPECT_EQ(Joined.PacketPts, One.PacketPts);
  EXPECT_LT(DifferenceDb(One, Joined, 0, One.Frames()), -20.0);
  EXPECT_EQ(Joined.VideoStartUs, One.VideoStartUs);
  EXPECT_EQ(Joined.VideoEndUs, One.VideoEndUs);

  // Sound that starts 10 ms after the pictures (in a QuickTime file, whose
  // times name whole samples): the whole run's frames lie 441 samples off
  // the pieces' grid, so the sound stays one piece, and the join gives the
  // whole run's sound.
  const std::string Late = Dir + "/late.mov";
  Request.DurationSeconds = 12.0;
  ASSERT_EQ(MuxTogether(Picture, Make("long.wav", Request), Late, 10000), "");
  const segments::SegmentPlan LatePlan = PlanFor(Late, 3);
  EXPECT_EQ(LatePlan.SoundPieces(), 1);
  ASSERT_EQ(Run({"--segments", "3", "--jobs", "2", Late}, Dir + "/late-seg"), 0)
      << ReadFile(Dir + "/late-seg/.stderr");
  ASSERT_EQ(Run({"--codec-threads", "1", Late}, Dir + "/late-whole"), 0);
  const Sound LateJoined = DecodeSound(Dir + "/late-seg/late (MPEG-4 Video).mp4");
  const Sound LateOne = DecodeSound(Dir + "/late-whole/late (MPEG-4 Video).mp4");
  EXPECT_EQ(LateJoined.Frames(), LateOne.Frames());
  EXPECT_EQ(LateJoined.PacketPts, LateOne.PacketPts);
  EXPECT_LT(DifferenceDb(LateOne, LateJoined, 0, LateOne.Frames()), -20.0);

  const segments::SegmentPlan Silent = PlanFor(Picture, 3);
  EXPECT_EQ(Silent.SoundPieces(), 0);
  ASSERT_EQ(Run({"--segments", "3", "--jobs", "2", Picture}, Dir + "/silent"), 0)
      << ReadFile(Dir + "/silent/.stderr");
  EXPECT_FALSE(WorkFolderLeft(Dir + "/silent"));
  const mediagen::DecodedMedia Decoded = mediagen::Decode(Dir + "/silent/silent (MPEG-4 Video).mp4");
  ASSERT_EQ(Decoded.Error, "");
  EXPECT_EQ(Decoded.AudioStreams, 0);
  EXPECT_NEAR(static_cast<double>(Decoded.Frames.size()), 12 * 29.97, 1.0);
}

// Several sound pieces that seek, with the pieces run one at a time or
// three at once: the same bytes.
TEST_F(SoundPieces, SameBytesWhateverRanAtOnce) {
  const std::string Source = MakeClip("clip.avi", 12.0);
  const segments::SegmentPlan Plan = PlanFor(Source, 3);
  ASSERT_EQ(Plan.SoundPieces(), 3);
  EXPECT_TRUE(Seeks(Plan.Pieces[Plan.FirstSoundPiece() + 2]));
  ASSERT_EQ(Run({"--segments", "3", "--jobs", "1", Source}, Dir + "/one"), 0);
  ASSERT_EQ(Run({"--segments", "3", "--jobs", "3", Source}, Dir + "/three"), 0);
  const std::string One = ReadFile(Dir + "/one/clip (MPEG-4 Video).mp4");
  ASSERT_FALSE(One.empty());
  EXPECT_TRUE(One == ReadFile(Dir + "/three/clip (MPEG-4 Video).mp4"));
}

// A plan of 60 s at 25 frames/s in three segments (from 20 s and 40 s), its
// sound cut for the preset's codec and rate from a source at SourceRate.
segments::SegmentPlan SoundPlan(const std::vector<output::TEngineOption>& Sound, int SourceRate,
                                int64_t SoundUs = 60000000, bool Exact = true,
                                bool StartsWithFile = true) {
  std::vector<output::TEngineOption> Preset{{"vcodec", "libx264"}, {"r", "25"}};
  Preset.insert(Preset.end(), Sound.begin(), Sound.end());
  std::vector<int64_t> Times;
  for (int64_t T = 0; T < 60000000; T += 40000) Times.push_back(T);
  std::string Error;
  segments::SegmentPlan Plan = segments::MakeSegmentPlan(Preset, 60000000, 3, true, Times, Error);
  EXPECT_EQ(Plan.Segments(), 3) << Error;
  segments::SplitSound(Plan, Preset, {SourceRate, SoundUs, Exact, StartsWithFile}, 60000000);
  return Plan;
}

std::string OptionOf(const std::vector<output::TEngineOption>& Options, const std::string& Name) {
  for (const output::TEngineOption& O : Options)
    if (O.Name == Name) return O.Value;
  return "-";
}

// Each piece keeps from the first frame boundary at or after its segment's
// first picture up to the next piece's, and its run starts at least the
// lead-in before on the grid: a frame boundary that is also a whole input
// sample. Its input seeks a second before, its output drops what lies
// before the run's start, and it encodes a few frames past its end.
void ExpectOnTheGrid(const segments::SegmentPlan& Plan, int SourceRate, int64_t Grid) {
  const segments::SoundGrid& G = Plan.Sound;
  ASSERT_TRUE(G.InPieces());
  ASSERT_EQ(Plan.SoundPieces(), 3);
  int64_t Next = 0;
  for (int S = 0; S < 3; ++S) {
    const segments::Piece& P = Plan.Pieces[Plan.FirstSoundPiece() + S];
    SCOPED_TRACE("sound piece " + std::to_string(S));
    EXPECT_EQ(P.Type, segments::Piece::Kind::Sound);
    EXPECT_EQ(P.Number, S);
    EXPECT_EQ(P.FirstSample, Next);
    EXPECT_EQ(P.FirstSample % G.FrameSamples, 0);
    const int64_t PictureSample = S * 20LL * G.Rate;
    EXPECT_GE(P.FirstSample, PictureSample);
    EXPECT_LT(P.FirstSample, PictureSample + G.FrameSamples);
    const int64_t RunStart = P.FirstSample - P.LeadSamples;
    EXPECT_EQ(RunStart % Grid, 0);
    EXPECT_EQ(RunStart * SourceRate % G.Rate, 0) << "a whole input sample";
    if (S == 0) {
      EXPECT_EQ(P.LeadSamples, 0);
      EXPECT_EQ(OptionOf(P.OutputOptions, "ss"), "-");
    } else {
      EXPECT_GE(P.LeadSamples, 3LL * G.Rate);
      EXPECT_LT(P.LeadSamples, 3LL * G.Rate + Grid);
      const int64_t StartUs = (RunStart * 1000000 + G.Rate / 2) / G.Rate;
      EXPECT_EQ(OptionOf(P.OutputOptions, "ss"), segments::TimeText(StartUs));
      EXPECT_EQ(OptionOf(P.InputOptions, "ss"), segments::TimeText(StartUs - 1000000));
      EXPECT_EQ(OptionOf(P.InputOptions, "itsoffset"), segments::TimeText(StartUs - 1000000));
    }
    EXPECT_EQ(OptionOf(P.OutputOptions, "vn"), "");
    EXPECT_EQ(OptionOf(P.OutputOptions, "vcodec"), "-");
    if (S < 2) {
      Next = P.FirstSample + P.Samples;
      const double LimitS = std::stod(OptionOf(P.OutputOptions, "t"));
      EXPECT_GE(LimitS * G.Rate, P.LeadSamples + P.Samples + 4.0 * G.FrameSamples);
      EXPECT_LE(LimitS * G.Rate, P.LeadSamples + P.Samples + 5.0 * G.FrameSamples);
    } else {
      EXPECT_EQ(P.Samples, -1);
      EXPECT_EQ(OptionOf(P.OutputOptions, "t"), "-");
    }
  }
}

TEST(SoundPlan, PiecesStartOnTheWholeRunsGrid) {
  // AAC at the source's rate: the frame is the grid.
  segments::SegmentPlan Plan =
      SoundPlan({{"acodec", "libfaac"}, {"ar", "44100"}, {"async", "0"}}, 44100);
  ExpectOnTheGrid(Plan, 44100, 1024);
  EXPECT_EQ(Plan.Sound.Priming, 1024);
  EXPECT_EQ(Plan.Pieces[3].FileName, "sound-000.mp4");
  // 48 kHz made 44.1 kHz: every 160th input sample is a 147th output one.
  ExpectOnTheGrid(SoundPlan({{"acodec", "aac"}, {"ar", "44100"}, {"async", "0"}}, 48000), 48000,
                  1024 * 147);
  // 44.1 kHz made 48 kHz for Opus: frames of 960, every 147th input sample
  // is a 160th output one; in Matroska.
  Plan = SoundPlan({{"acodec", "libopus"}, {"ar", "48000"}, {"async", "0"}}, 44100);
  ExpectOnTheGrid(Plan, 44100, 960);
  EXPECT_EQ(Plan.Sound.Priming, 312);
  EXPECT_EQ(Plan.Pieces[5].FileName, "sound-002.mkv");
  // 32 kHz made 44.1 kHz: a grid of 10.24 s, still taken.
  ExpectOnTheGrid(SoundPlan({{"acodec", "aac"}, {"ar", "44100"}}, 32000), 32000, 1024 * 441);
}

TEST(SoundPlan, KeepsTheSoundWholeWhereSeamsCannotBeExact) {
  const auto Whole = [](const segments::SegmentPlan& Plan) {
    return Plan.SoundPieces() == 1 && !Plan.Sound.InPieces() &&
           Plan.Pieces.back().FileName == "sound.mp4" && Plan.Pieces.back().Samples == -1;
  };
  // Samples added or dropped to follow the time stamps.
  EXPECT_TRUE(Whole(SoundPlan({{"acodec", "aac"}, {"ar", "44100"}, {"async", "1"}}, 44100)));
  // A codec whose frames are not known here.
  EXPECT_TRUE(Whole(SoundPlan({{"acodec", "libmp3lame"}, {"ar", "44100"}}, 44100)));
  // Opus at a rate other than 48 kHz, and no rate at all.
  EXPECT_TRUE(Whole(SoundPlan({{"acodec", "libopus"}, {"ar", "24000"}}, 44100)));
  EXPECT_TRUE(Whole(SoundPlan({{"acodec", "aac"}}, 44100)));
  // 44.056 kHz made 44.1 kHz: whole input samples only every 256 s.
  EXPECT_TRUE(Whole(SoundPlan({{"acodec", "aac"}, {"ar", "44100"}}, 44056)));
  // Times that do not name whole samples (a tick of a millisecond).
  EXPECT_TRUE(segments::SampleExactTimes(1, 44100, 44100, 1024));
  EXPECT_TRUE(segments::SampleExactTimes(1152, 44100, 44100, 1152));
  EXPECT_TRUE(segments::SampleExactTimes(1, 48000, 48000, 0));
  EXPECT_FALSE(segments::SampleExactTimes(1, 1000, 44100, 1024));
  EXPECT_FALSE(segments::SampleExactTimes(1, 1000, 48000, 1024));
  EXPECT_FALSE(segments::SampleExactTimes(1, 1000, 48000, 0));
  EXPECT_TRUE(Whole(SoundPlan({{"acodec", "aac"}, {"ar", "44100"}}, 44100, 60000000, false)));
  // Sound that starts after the file (its frames lie off the grid).
  EXPECT_TRUE(
      Whole(SoundPlan({{"acodec", "aac"}, {"ar", "44100"}}, 44100, 60000000, true, false)));
  // A source rate not known.
  EXPECT_TRUE(Whole(SoundPlan({{"acodec", "aac"}, {"ar", "44100"}}, 0)));
  // Sound that ends before the second segment.
  EXPECT_TRUE(Whole(SoundPlan({{"acodec", "aac"}, {"ar", "44100"}}, 44100, 19000000)));
  // Sound that ends in the second: two pieces, the second to the end.
  const segments::SegmentPlan Plan =
      SoundPlan({{"acodec", "aac"}, {"ar", "44100"}}, 44100, 30000000);
  ASSERT_EQ(Plan.SoundPieces(), 2);
  EXPECT_EQ(Plan.Pieces[4].Samples, -1);
  EXPECT_EQ(Plan.Pieces[4].SpanUs,
            60000000 - ((Plan.Pieces[4].FirstSample - Plan.Pieces[4].LeadSamples) * 1000000 + 22050) / 44100);
}

// The file's end and progress with its sound in pieces: the whole file
// once every piece is done; a failed sound piece named; a stop keeps the
// leading sound pieces done and one stopped part-way after them; the sound
// weighs a tenth of the pictures per second of source.
TEST(SoundPlan, TheFileEndsWithItsSoundPieces) {
  const segments::SegmentPlan Plan =
      SoundPlan({{"acodec", "aac"}, {"ar", "44100"}, {"async", "0"}}, 44100);
  ASSERT_EQ(Plan.SoundPieces(), 3);
  using segments::PieceEnd;
  {
    segments::SegmentedFile File(Plan, segments::WorkFolder(), 60000000);
    for (int I = 0; I < 6; ++I) {
      EXPECT_FALSE(File.AllEnded());
      File.Ended(I, PieceEnd::Done, "");
    }
    EXPECT_TRUE(File.AllEnded());
    const segments::FileEnd End = File.Settle();
    EXPECT_EQ(End.Type, segments::FileEnd::Kind::Join);
    EXPECT_EQ(End.KeptSegments, 3);
    EXPECT_EQ(End.SoundPieces, 3);
  }
  {
    segments::SegmentedFile File(Plan, segments::WorkFolder(), 60000000);
    for (int I = 0; I < 6; ++I)
      File.Ended(I, I == 4 ? PieceEnd::Failed : PieceEnd::Done, I == 4 ? "Audio encoding failed" : "");
    const segments::FileEnd End = File.Settle();
    EXPECT_EQ(End.Type, segments::FileEnd::Kind::Failed);
    EXPECT_EQ(End.Message, "sound 2 of 3: Audio encoding failed");
  }
  {
    segments::SegmentedFile File(Plan, segments::WorkFolder(), 60000000);
    ProgressInfo Info;
    Info.CurrentDurationMs = 1000;
    File.Progress(5, Info);
    File.Ended(0, PieceEnd::Done, "");
    File.Ended(1, PieceEnd::Stopped, "");
    File.Ended(2, PieceEnd::NotStarted, "");
    File.Ended(3, PieceEnd::Done, "");
    File.Ended(4, PieceEnd::Done, "");
    File.Ended(5, PieceEnd::Stopped, "");
    segments::FileEnd End = File.Settle();
    EXPECT_EQ(End.Type, segments::FileEnd::Kind::Stopped);
    EXPECT_EQ(End.KeptSegments, 1);
    EXPECT_EQ(End.SoundPieces, 3);
  }
  {
    segments::SegmentedFile File(Plan, segments::WorkFolder(), 60000000);
    File.Ended(0, PieceEnd::Done, "");
    File.Ended(3, PieceEnd::Done, "");
    File.Ended(4, PieceEnd::NotStarted, "");
    File.Ended(5, PieceEnd::Done, "");
    File.Ended(1, PieceEnd::Stopped, "");
    File.Ended(2, PieceEnd::Stopped, "");
    const segments::FileEnd End = File.Settle();
    EXPECT_EQ(End.KeptSegments, 1);
    EXPECT_EQ(End.SoundPieces, 1) << "only the leading sound pieces";
  }
  {
    // All the sound done and nothing of the pictures: the sound's share.
    segments::SegmentedFile File(Plan, segments::WorkFolder(), 60000000);
    ProgressInfo Whole;
    for (int I = 3; I < 6; ++I) {
      ProgressInfo Info;
      Info.CurrentDurationMs = Plan.Pieces[I].SpanUs / 1000;
      Whole = File.Progress(I, Info);
    }
    double Sound = 0, Pictures = 0;
    for (int I = 0; I < 6; ++I)
      (I < 3 ? Pictures : Sound) += static_cast<double>(Plan.Pieces[I].SpanUs);
    const double Share = 0.1 * Sound / (0.1 * Sound + Pictures);
    EXPECT_EQ(Whole.TotalOutputDurationMs, 60000);
    EXPECT_NEAR(static_cast<double>(Whole.CurrentDurationMs), Share * 60000, 2.0);
  }
}

}  // namespace
}  // namespace vexav::batch
