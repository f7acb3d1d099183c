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
// (-200 where they are equal).
double DifferenceDb(const Sound& A, const Sound& B, int64_t From, int64_t To) {
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
  // The output resamples: the source's sound is no reference then, and
  // the marks (clicks) are kept away from the seams.
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
  // reference), no mark is near a seam and the difference must stay 25 dB
  // below the signal in every frame around it.
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
  // (The whole run of WebM, with Opus, writes its first picture 7 ms late;
  // the join, 7 ms early against it; within a frame both.)
  EXPECT_NEAR(static_cast<double>(Joined.VideoStartUs), static_cast<double>(One.VideoStartUs),
              7000.0);
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
        SoundCase{"webm.avi", 44100, 2, 3, 3, "WebM Video", ".webm", true}),
    [](const ::testing::TestParamInfo<SoundCase>& Info) {
      std::string Name = Info.param.Name;
      return Name.substr(0, Name.find('.'));
    });

}  // namespace
}  // namespace vexav::batch
