#include "batch/segments/SegmentPlan.h"

#include <algorithm>
#include <cstdio>
#include <numeric>

#include "engine/video/FrameRateRule.h"

namespace vexav::batch::segments {
namespace {

constexpr int64_t Second = 1000000;
// How far before its first picture a segment's run may seek to find a
// point where the source reads as it does from the start.
constexpr int64_t MaxSeekBackUs = 10 * Second;

bool ParseCount(const std::string& Text, int64_t& Value) {
  if (Text.empty() || Text.size() > 12) return false;
  Value = 0;
  for (char C : Text) {
    if (C < '0' || C > '9') return false;
    Value = Value * 10 + (C - '0');
  }
  return true;
}

// A whole number with an optional leading minus.
void ParseSignedCount(const std::string& Text, int& Value) {
  const bool Negative = !Text.empty() && Text[0] == '-';
  int64_t Magnitude = 0;
  if (ParseCount(Negative ? Text.substr(1) : Text, Magnitude) && Magnitude <= 1000)
    Value = static_cast<int>(Negative ? -Magnitude : Magnitude);
}

}  // namespace

std::string TimeText(int64_t Us) {
  char Text[40];
  std::snprintf(Text, sizeof Text, "%lld.%06lld", static_cast<long long>(Us / Second),
                static_cast<long long>(Us % Second));
  return Text;
}

int64_t FrameRate::FrameTimeUs(int64_t N) const {
  return Valid() ? N * Den * Second / Num : 0;
}

FrameRate ParseFrameRate(const std::string& Text) {
  FrameRate Rate;
  const size_t Slash = Text.find('/');
  if (Slash != std::string::npos) {
    if (!ParseCount(Text.substr(0, Slash), Rate.Num) ||
        !ParseCount(Text.substr(Slash + 1), Rate.Den))
      return FrameRate{};
  } else {
    const size_t Point = Text.find('.');
    const std::string Whole = Text.substr(0, Point);
    const std::string Fraction = Point == std::string::npos ? "" : Text.substr(Point + 1);
    int64_t W = 0, F = 0;
    if (!ParseCount(Whole.empty() ? "0" : Whole, W) || Fraction.size() > 6 ||
        (!Fraction.empty() && !ParseCount(Fraction, F)))
      return FrameRate{};
    Rate.Den = 1;
    for (size_t I = 0; I < Fraction.size(); ++I) Rate.Den *= 10;
    Rate.Num = W * Rate.Den + F;
  }
  if (!Rate.Valid()) return FrameRate{};
  const int64_t Common = std::gcd(Rate.Num, Rate.Den);
  Rate.Num /= Common;
  Rate.Den /= Common;
  return Rate;
}

int SegmentPlan::Segments() const {
  return static_cast<int>(std::count_if(
      Pieces.begin(), Pieces.end(), [](const Piece& P) { return P.Type == Piece::Kind::Picture; }));
}

std::string PieceName(const SegmentPlan& Plan, int I) {
  const Piece& P = Plan.Pieces[I];
  if (P.Type == Piece::Kind::Picture)
    return "segment " + std::to_string(P.Number + 1) + " of " + std::to_string(Plan.Segments());
  if (Plan.SoundPieces() == 1) return "sound";
  return "sound " + std::to_string(P.Number + 1) + " of " + std::to_string(Plan.SoundPieces());
}

bool IsSoundOption(const std::string& Name) {
  for (const char* Sound : {"acodec", "ac", "ar", "ab", "async", "an", "vol", "alang", "atag"})
    if (Name == Sound) return true;
  return false;
}

int64_t LeadInFor(const std::vector<TEngineOption>& PresetOptions) {
  for (const TEngineOption& Option : PresetOptions)
    if (Option.Name == "crf") return QualityLeadInUs;
  return LeadInUs;
}

int AutoSegments(int64_t DurationUs, int Workers, int64_t MinUs) {
  if (MinUs <= 0 || DurationUs < 2 * MinUs || Workers < 2) return 1;
  return static_cast<int>(
      std::min<int64_t>({Workers, DurationUs / MinUs, static_cast<int64_t>(MaxSegments)}));
}

std::vector<WholeRunPicture> FollowWholeRun(const std::vector<int64_t>& TimesUs, FrameRate Rate,
                                            int VideoSyncMethod) {
  std::vector<WholeRunPicture> Run;
  Run.reserve(TimesUs.size());
  // The encoder's time base is one frame of the output rate.
  const AVRational Base{static_cast<int>(Rate.Den), static_cast<int>(Rate.Num)};
  int64_t Counter = 0;
  bool Written = false;
  for (const int64_t Time : TimesUs) {
    // As the engine has it: the picture's time in seconds from the start.
    TFrameRateInput In;
    In.VideoSyncMethod = VideoSyncMethod;
    In.EncoderTimeBase = Base;
    In.InTime = static_cast<double>(Time) / 1000000.0;
    In.SyncPts = Counter;
    In.PictureWritten = Written;
    const TFrameRateDecision D = DecideFrameCount(In);
    WholeRunPicture P;
    P.TimeUs = Time;
    P.Before = Counter;
    P.First = D.SyncPts;
    P.Count = std::max<int64_t>(D.Count, 0);
    Counter = D.SyncPts + P.Count;
    Written = Written || P.Count > 0;
    Run.push_back(P);
  }
  return Run;
}

namespace {

// The picture of Run a segment keeping frames from First on can start its
// run at, as late as possible with its frame at or before Target: one that
// is written (a dropped one leaves its successor without the picture it
// repeats), at the frame the counter stood at, with no copy past First
// (the copies but the last repeat a picture the segment's run never had),
// and later than the picture before it (the "ss" that drops every earlier
// one goes by time). 0 is the source's first picture, from which a run is
// the whole run's anyway.
size_t StartPicture(const std::vector<WholeRunPicture>& Run, int64_t Target, int64_t First) {
  auto After = std::upper_bound(Run.begin(), Run.end(), Target,
                                [](int64_t T, const WholeRunPicture& P) { return T < P.Before; });
  size_t J = static_cast<size_t>(After - Run.begin());
  if (J > 0) --J;
  for (; J > 0; --J) {
    const WholeRunPicture& P = Run[J];
    if (P.Count >= 1 && P.First == P.Before && P.First + P.Count - 1 <= First && P.TimeUs > 0 &&
        P.TimeUs > Run[J - 1].TimeUs)
      return J;
  }
  return 0;
}

}  // namespace

SegmentPlan MakeSegmentPlan(const std::vector<TEngineOption>& PresetOptions, int64_t DurationUs,
                            int Count, bool HasSound, const std::vector<int64_t>& PictureTimesUs,
                            std::string& Error, const SeekTest& Seekable) {
  SegmentPlan Plan;
  std::vector<TEngineOption> Picture, Sound;
  int VideoSyncMethod = -1;
  for (const TEngineOption& Option : PresetOptions) {
    if (Option.Name == "r") Plan.Rate = ParseFrameRate(Option.Value);
    if (Option.Name == "vsync") ParseSignedCount(Option.Value, VideoSyncMethod);
    (IsSoundOption(Option.Name) ? Sound : Picture).push_back(Option);
  }
  if (!Plan.Rate.Valid()) {
    Error = "the output has no frame rate to cut segments at";
    return Plan;
  }
  // The whole output frames the source fills; each segment gets a share of
  // at least a second.
  const int64_t Total = DurationUs * Plan.Rate.Num / (Plan.Rate.Den * Second);
  if (Count < 2 || DurationUs <= 0 || Plan.Rate.FrameTimeUs(Total / Count) < Second) {
    Error = "the source is too short to be converted in " + std::to_string(Count) + " segments";
    return Plan;
  }
  if (PictureTimesUs.empty()) {
    Error = "the times of the source's pictures are not known";
    return Plan;
  }
  const std::vector<WholeRunPicture> Run =
      FollowWholeRun(PictureTimesUs, Plan.Rate, VideoSyncMethod);
  const int64_t LeadFrames = LeadInFor(PresetOptions) * Plan.Rate.Num / (Plan.Rate.Den * Second);
  for (int K = 0; K < Count; ++K) {
    Piece P;
    P.Number = K;
    char Name[32];
    std::snprintf(Name, sizeof Name, "picture-%03d.mp4", K);
    P.FileName = Name;
    P.FirstFrame = Total * K / Count;
    P.Frames = K + 1 < Count ? Total * (K + 1) / Count - P.FirstFrame : -1;
    P.OutputOptions = Picture;
    P.OutputOptions.push_back({"an", ""});
    const size_t Start =
        K == 0 ? 0
               : StartPicture(Run, std::max<int64_t>(P.FirstFrame - LeadFrames, 0), P.FirstFrame);
    if (Start > 0) {
      const WholeRunPicture& From = Run[Start];
      P.StartUs = From.TimeUs;
      P.LeadFrames = P.FirstFrame - From.Before;
      // The source is read from a second or more before the picture (the
      // seek lands on a key frame at or before that), with the time stamps
      // the whole run has; every picture before it is dropped.
      int64_t SeekUs = 0;
      for (int64_t Back = Second; Back <= MaxSeekBackUs && From.TimeUs - Back > 0; Back += Second)
        if (!Seekable || Seekable(From.TimeUs - Back, From.TimeUs)) {
          SeekUs = From.TimeUs - Back;
          break;
        }
      if (SeekUs > 0) {
        P.InputOptions.push_back({"ss", TimeText(SeekUs)});
        P.InputOptions.push_back({"itsoffset", TimeText(SeekUs)});
      }
      P.OutputOptions.push_back({"ss", TimeText(From.TimeUs)});
      P.OutputOptions.push_back({"vsync_start", std::to_string(From.Before)});
    } else {
      P.LeadFrames = P.FirstFrame;
    }
    if (P.Frames >= 0)
      P.OutputOptions.push_back({"vframes", std::to_string(P.LeadFrames + P.Frames)});
    if (P.LeadFrames > 0)
      P.OutputOptions.push_back(
          {"force_key_frames", TimeText(Plan.Rate.FrameTimeUs(P.LeadFrames))});
    P.SpanUs = P.Frames >= 0 ? Plan.Rate.FrameTimeUs(P.LeadFrames + P.Frames)
                             : std::max<int64_t>(DurationUs - P.StartUs, 0);
    Plan.Pieces.push_back(std::move(P));
  }
  if (HasSound) {
    Piece P;
    P.Type = Piece::Kind::Sound;
    P.FileName = "sound.mp4";
    P.OutputOptions = Sound;
    P.OutputOptions.push_back({"vn", ""});
    P.SpanUs = DurationUs;
    Plan.Pieces.push_back(std::move(P));
  }
  return Plan;
}

}  // namespace vexav::batch::segments
