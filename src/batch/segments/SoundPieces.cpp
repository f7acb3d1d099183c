#include "batch/segments/SoundPieces.h"

#include <algorithm>
#include <cstdio>
#include <numeric>

#include "batch/segments/PieceFile.h"
#include "binding/Api.h"
#include "binding/Owners.h"

namespace vexav::batch::segments {
namespace {

constexpr int64_t Second = 1000000;

int64_t CeilDiv(int64_t A, int64_t B) {
  return A >= 0 ? (A + B - 1) / B : -((-A) / B);
}
int64_t FloorDiv(int64_t A, int64_t B) {
  return A >= 0 ? A / B : -((-A + B - 1) / B);
}

// Sample N of Rate as microseconds, to the nearest one.
int64_t SampleUs(int64_t N, int Rate) {
  return (N * Second + Rate / 2) / Rate;
}

std::string OptionValue(const std::vector<TEngineOption>& Options, const std::string& Name) {
  std::string Value;
  for (const TEngineOption& Option : Options)
    if (Option.Name == Name) Value = Option.Value;
  return Value;
}

}  // namespace

std::string JoinedSoundName(const SegmentPlan& Plan) {
  const std::string& First = Plan.Pieces[Plan.FirstSoundPiece()].FileName;
  return "sound-joined" + First.substr(First.rfind('.'));
}

SoundGrid SoundGridOf(const std::string& Codec, int Rate) {
  SoundGrid Grid;
  if (Rate <= 0) return Grid;
  // The native AAC encoder (which also stands in for "libfaac"): frames of
  // 1024 samples after one frame of priming.
  if (Codec == "aac" || Codec == "libfaac") {
    Grid.Rate = Rate;
    Grid.FrameSamples = 1024;
    Grid.Priming = 1024;
  } else if (Codec == "libopus" && Rate == 48000) {
    // 20 ms frames, and the encoder's look-ahead of 6.5 ms as its priming
    // (the stream's pre-skip).
    Grid.Rate = Rate;
    Grid.FrameSamples = 960;
    Grid.Priming = 312;
  }
  return Grid;
}

bool SampleExactTimes(int TimeBaseNum, int TimeBaseDen, int Rate, int FrameSamples) {
  if (TimeBaseNum <= 0 || TimeBaseDen <= 0 || Rate <= 0) return false;
  const int64_t Ticks = static_cast<int64_t>(Rate) * TimeBaseNum;
  if (Ticks % TimeBaseDen != 0) return false;
  const int64_t Tick = Ticks / TimeBaseDen;  // samples
  return Tick == 1 || (FrameSamples > 0 && FrameSamples % Tick == 0);
}

void SplitSound(SegmentPlan& Plan, const std::vector<TEngineOption>& PresetOptions,
                const SoundSource& Source, int64_t DurationUs) {
  if (Plan.SoundPieces() != 1 || Plan.Segments() < 2 || Source.SampleRate <= 0 ||
      !Source.SampleExact || !Source.StartsWithFile)
    return;
  std::vector<TEngineOption> Sound;
  for (const TEngineOption& Option : PresetOptions)
    if (IsSoundOption(Option.Name)) Sound.push_back(Option);
  const std::string Rate = OptionValue(Sound, "ar");
  const std::string Sync = OptionValue(Sound, "async");
  // Only the plain rule (the sound's time taken from the input, samples
  // neither added nor dropped) makes a piece's samples those of the whole
  // run.
  if (Rate.empty() || Rate.find_first_not_of("0123456789") != std::string::npos ||
      Rate.size() > 6 || !(Sync.empty() || Sync == "0"))
    return;
  const SoundGrid Grid = SoundGridOf(OptionValue(Sound, "acodec"), std::stoi(Rate));
  if (!Grid.InPieces()) return;
  // A run starts at an output sample that is a whole input sample and on
  // the frame grid.
  const int64_t Step = Grid.Rate / std::gcd<int64_t>(Grid.Rate, Source.SampleRate);
  const int64_t Start = std::lcm<int64_t>(Step, Grid.FrameSamples);
  if (Start * Second / Grid.Rate > MaxSoundGridUs) return;
  const int64_t SoundUs =
      Source.DurationUs > 0 ? std::min(Source.DurationUs, DurationUs) : DurationUs;
  const int64_t End = SoundUs * Grid.Rate / Second;  // the samples of the sound
  const int64_t Frame = Grid.FrameSamples;
  const int64_t Lead = CeilDiv(SoundLeadUs * Grid.Rate, Second);

  // The kept part of piece K begins at the first frame boundary at or after
  // segment K's first picture; one less than a frame from the sound's end
  // is not worth a piece.
  std::vector<int64_t> Firsts{0};
  for (int K = 1; K < Plan.Segments(); ++K) {
    const int64_t PictureUs = Plan.Rate.FrameTimeUs(Plan.Pieces[K].FirstFrame);
    const int64_t First = CeilDiv(CeilDiv(PictureUs * Grid.Rate, Second), Frame) * Frame;
    if (First + Frame >= End || First <= Firsts.back()) break;
    Firsts.push_back(First);
  }
  if (Firsts.size() < 2) return;

  const std::vector<TEngineOption> Preset = Plan.Pieces.back().OutputOptions;
  Plan.Pieces.pop_back();
  Plan.Sound = Grid;
  const int Count = static_cast<int>(Firsts.size());
  for (int K = 0; K < Count; ++K) {
    Piece P;
    P.Type = Piece::Kind::Sound;
    P.Number = K;
    // Opus pieces in Matroska, which keeps the samples the last packet
    // leaves out (MPEG-4 would lose them, and the joined sound would run on
    // by them); AAC in MPEG-4.
    char Name[32];
    std::snprintf(Name, sizeof Name, "sound-%03d.%s", K, Grid.FrameSamples == 960 ? "mkv" : "mp4");
    P.FileName = Name;
    P.FirstSample = Firsts[K];
    P.Samples = K + 1 < Count ? Firsts[K + 1] - Firsts[K] : -1;
    const int64_t RunStart =
        std::max<int64_t>(FloorDiv(P.FirstSample - Lead, Start) * Start, 0);
    P.LeadSamples = P.FirstSample - RunStart;
    P.OutputOptions = Preset;  // the sound's options and "vn"
    const int64_t RunStartUs = SampleUs(RunStart, Grid.Rate);
    P.StartUs = RunStartUs;
    if (RunStart > 0) {
      // The source is read from a second before (the seek lands at or
      // before that), with the time stamps a run from the start has; the
      // samples before the run's start are dropped, to the sample.
      const int64_t SeekUs = RunStartUs - Second;
      if (SeekUs > 0) {
        P.InputOptions.push_back({"ss", TimeText(SeekUs)});
        P.InputOptions.push_back({"itsoffset", TimeText(SeekUs)});
      }
      P.OutputOptions.push_back({"ss", TimeText(RunStartUs)});
    }
    if (P.Samples >= 0) {
      // Up to a few frames past the kept end, in whole milliseconds (as the
      // engine takes the limit).
      const int64_t Through = P.LeadSamples + P.Samples + SoundTailFrames * Frame;
      const int64_t Ms = CeilDiv(Through * 1000, Grid.Rate) + 1;
      P.OutputOptions.push_back({"t", TimeText(Ms * 1000)});
      P.SpanUs = Ms * 1000;
    } else {
      P.SpanUs = std::max<int64_t>(DurationUs - RunStartUs, 0);
    }
    Plan.Pieces.push_back(std::move(P));
  }
}

namespace {

struct PacketUnref {
  AVPacket* Packet;
  ~PacketUnref() { ff::av_packet_unref(Packet); }
};

// The joined file: its stream is made from the first piece's.
class Writer {
 public:
  ~Writer() {
    // A file that never got its trailer is the caller's to remove.
    File.reset();
  }
  std::string Open(const std::string& Path, const AVStream* From, int Rate) {
    AVFormatContext* Raw = nullptr;
    int Ret = ff::avformat_alloc_output_context2(&Raw, nullptr, nullptr, Path.c_str());
    if (Ret < 0 || !Raw) return Path + ": " + LibraryWords(Ret);
    File.reset(Raw);
    AVStream* Stream = ff::avformat_new_stream(Raw, nullptr);
    if (!Stream) return Path + ": cannot add the sound";
    Ret = ff::avcodec_parameters_copy(Stream->codecpar, From->codecpar);
    if (Ret < 0) return Path + ": " + LibraryWords(Ret);
    Stream->codecpar->codec_tag = 0;
    Stream->time_base = AVRational{1, Rate};
    Ret = ff::avio_open(&Raw->pb, Path.c_str(), AVIO_FLAG_WRITE);
    if (Ret < 0) return Path + ": " + LibraryWords(Ret);
    Ret = ff::avformat_write_header(Raw, nullptr);
    if (Ret < 0) return Path + ": " + LibraryWords(Ret);
    Base = AVRational{1, Rate};
    return std::string();
  }
  bool IsOpen() const { return static_cast<bool>(File); }
  // Packet's time stamps are in samples of the output rate.
  std::string Write(AVPacket* Packet, const std::string& Path) {
    Packet->stream_index = 0;
    Packet->pos = -1;
    ff::av_packet_rescale_ts(Packet, Base, File->streams[0]->time_base);
    const int Ret = ff::av_interleaved_write_frame(File.get(), Packet);
    return Ret < 0 ? Path + ": " + LibraryWords(Ret) : std::string();
  }
  std::string Close(const std::string& Path) {
    const int Ret = ff::av_write_trailer(File.get());
    File.reset();
    return Ret < 0 ? Path + ": " + LibraryWords(Ret) : std::string();
  }

 private:
  OutputFormatPtr File;
  AVRational Base{1, 1};
};

}  // namespace

std::optional<int64_t> KeptSoundStamp(const SoundGrid& Grid, const Piece& P, int64_t Pts,
                                      bool First) {
  // Which frame of the run the packet codes: its time in the run, less the
  // encoder's priming, on the frame grid; that frame's first sample in a run
  // over the whole source.
  const int64_t RunStart = P.FirstSample - P.LeadSamples;
  const int64_t KeepTo = P.Samples >= 0 ? P.FirstSample + P.Samples : INT64_MAX;
  const int64_t Frame = FloorDiv(Pts + Grid.Priming + Grid.FrameSamples / 2, Grid.FrameSamples);
  const int64_t At = RunStart + Frame * Grid.FrameSamples;
  if ((!First && At < P.FirstSample) || At >= KeepTo) return std::nullopt;
  return At - Grid.Priming;
}

std::string JoinSoundPieces(const SegmentPlan& Plan, const std::string& Folder, int Count,
                            const std::string& Output) {
  const SoundGrid& Grid = Plan.Sound;
  if (!Grid.InPieces() || Count < 1 || Count > Plan.SoundPieces()) return "no sound to join";
  const AVRational Samples{1, Grid.Rate};
  Writer Out;
  PacketPtr Packet(ff::av_packet_alloc());
  if (!Packet) return "out of memory";
  int64_t Next = 0;  // the sample the next packet kept must start at
  bool Any = false;
  for (int K = 0; K < Count; ++K) {
    const Piece& P = Plan.Pieces[Plan.FirstSoundPiece() + K];
    const std::string Path = Folder + "/" + P.FileName;
    PieceInput In;
    if (std::string Error = OpenPieceInput(Path, AVMEDIA_TYPE_AUDIO, In); !Error.empty())
      return Error;
    // A piece that starts after the sound has ended holds none (where the
    // source did not say how long its sound is); one after it that holds
    // some would not follow on, which is an error below.
    if (In.Stream < 0) continue;
    const AVStream* Stream = In.File->streams[In.Stream];
    if (!Out.IsOpen())
      if (std::string Error = Out.Open(Output, Stream, Grid.Rate); !Error.empty()) return Error;
    const bool First = K == 0;
    // A piece whose run ended early (stopped) gives what it wrote.
    while (ff::av_read_frame(In.File.get(), Packet.get()) >= 0) {
      PacketUnref Release{Packet.get()};
      if (Packet->stream_index != In.Stream || Packet->pts == AV_NOPTS_VALUE) continue;
      const std::optional<int64_t> Kept = KeptSoundStamp(
          Grid, P, ff::av_rescale_q(Packet->pts, Stream->time_base, Samples), First);
      if (!Kept) continue;
      // Time stamps exactly on the grid, as the whole run's; each packet
      // follows the last one kept, so a gap or an overlap between two
      // pieces would show as one here.
      const int64_t Stamp = *Kept;
      if (Any && Stamp != Next)
        return Path + ": the sound's frame at sample " + std::to_string(Stamp) +
               " does not follow the one before (" + std::to_string(Next) + ")";
      Any = true;
      const int64_t Duration =
          Packet->duration > 0 ? ff::av_rescale_q(Packet->duration, Stream->time_base, Samples)
                               : Grid.FrameSamples;
      Packet->pts = Stamp;
      Packet->dts = Stamp;
      Packet->duration = Duration;
      Next = Stamp + Grid.FrameSamples;
      if (std::string Error = Out.Write(Packet.get(), Output); !Error.empty()) return Error;
    }
  }
  if (!Out.IsOpen()) return "no sound to join";
  return Out.Close(Output);
}

}  // namespace vexav::batch::segments
