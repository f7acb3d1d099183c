#include "cli/segments/SegmentPlan.h"

#include <algorithm>
#include <cstdio>
#include <numeric>

namespace vexav::cli::segments {
namespace {

constexpr int64_t Second = 1000000;

bool ParseCount(const std::string& Text, int64_t& Value) {
  if (Text.empty() || Text.size() > 12) return false;
  Value = 0;
  for (char C : Text) {
    if (C < '0' || C > '9') return false;
    Value = Value * 10 + (C - '0');
  }
  return true;
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

bool IsSoundOption(const std::string& Name) {
  for (const char* Sound : {"acodec", "ac", "ar", "ab", "async", "an", "vol", "alang", "atag"})
    if (Name == Sound) return true;
  return false;
}

int AutoSegments(int64_t DurationUs, int Workers) {
  if (DurationUs < 2 * MinSegmentUs || Workers < 2) return 1;
  return static_cast<int>(std::min<int64_t>(Workers, DurationUs / MinSegmentUs));
}

SegmentPlan MakeSegmentPlan(const std::vector<TEngineOption>& PresetOptions, int64_t DurationUs,
                            int Count, bool HasSound, std::string& Error) {
  SegmentPlan Plan;
  std::vector<TEngineOption> Picture, Sound;
  for (const TEngineOption& Option : PresetOptions) {
    if (Option.Name == "r") Plan.Rate = ParseFrameRate(Option.Value);
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
  const int64_t LeadFrames = LeadInUs * Plan.Rate.Num / (Plan.Rate.Den * Second);
  const int64_t HalfFrameUs = Plan.Rate.FrameTimeUs(1) / 2;
  for (int K = 0; K < Count; ++K) {
    Piece P;
    P.Number = K;
    char Name[32];
    std::snprintf(Name, sizeof Name, "picture-%03d.mp4", K);
    P.FileName = Name;
    P.FirstFrame = Total * K / Count;
    P.Frames = K + 1 < Count ? Total * (K + 1) / Count - P.FirstFrame : -1;
    P.LeadFrames = std::min(LeadFrames, P.FirstFrame);
    P.OutputOptions = Picture;
    P.OutputOptions.push_back({"an", ""});
    // The run starts LeadFrames before the segment. The source is read from
    // a second before that (the seek lands on a key frame at or before it),
    // and every source picture more than half a frame before the start is
    // dropped, so the first one written is the one at the start.
    const int64_t StartUs = Plan.Rate.FrameTimeUs(P.FirstFrame - P.LeadFrames);
    if (StartUs > 0) {
      const int64_t SeekUs = std::max<int64_t>(0, StartUs - Second);
      if (SeekUs > 0) P.InputOptions.push_back({"ss", TimeText(SeekUs)});
      P.OutputOptions.push_back({"ss", TimeText(StartUs - SeekUs - HalfFrameUs)});
    }
    if (P.Frames >= 0)
      P.OutputOptions.push_back({"vframes", std::to_string(P.LeadFrames + P.Frames)});
    if (P.LeadFrames > 0)
      P.OutputOptions.push_back(
          {"force_key_frames", TimeText(Plan.Rate.FrameTimeUs(P.LeadFrames))});
    P.SpanUs =
        P.Frames >= 0 ? Plan.Rate.FrameTimeUs(P.LeadFrames + P.Frames) : DurationUs - StartUs;
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

}  // namespace vexav::cli::segments
