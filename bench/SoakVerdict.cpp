#include "SoakVerdict.h"

#include <algorithm>
#include <cstdio>

namespace vexav::soak {
namespace {

void Add(WindowPeak& Peak, const SoakSample& Sample) {
  ++Peak.Samples;
  Peak.RssKiB = std::max(Peak.RssKiB, Sample.RssKiB);
  Peak.Fds = std::max(Peak.Fds, Sample.Fds);
  Peak.Threads = std::max(Peak.Threads, Sample.Threads);
}

std::string Mib(long KiB) {
  char Text[32];
  std::snprintf(Text, sizeof Text, "%.1f MiB", KiB / 1024.0);
  return Text;
}

std::string Line(const char* Name, const std::string& First, const std::string& Last,
                 const std::string& Allowed, bool Grew) {
  return std::string(Name) + ": first window max " + First + ", last window max " + Last +
         " (allowed up to " + Allowed + "): " + (Grew ? "GREW" : "ok");
}

}  // namespace

double WindowSeconds(double RunSeconds) {
  return std::min(WindowLimitSeconds, std::max(RunSeconds, 0.0) / 3);
}

Verdict Judge(const std::vector<SoakSample>& Samples, double RunSeconds) {
  Verdict Result;
  Result.WindowSeconds = WindowSeconds(RunSeconds);
  if (Samples.size() < 2) {
    Result.Lines.push_back("fewer than two samples: the run is too short to judge");
    return Result;
  }
  const double End = Samples.back().Seconds;
  for (const SoakSample& Sample : Samples) {
    if (Sample.Seconds <= Result.WindowSeconds) Add(Result.First, Sample);
    if (Sample.Seconds >= End - Result.WindowSeconds) Add(Result.Last, Sample);
  }
  if (Result.First.Samples == 0 || Result.Last.Samples == 0) {
    Result.Lines.push_back("a window has no sample: sample more often or run longer");
    return Result;
  }
  Result.Judged = true;
  const WindowPeak& F = Result.First;
  const WindowPeak& L = Result.Last;
  const long RssAllowed =
      F.RssKiB + std::max(RssToleranceKiB, F.RssKiB * RssTolerancePercent / 100);
  const bool RssGrew = L.RssKiB > RssAllowed;
  const bool FdsGrew = L.Fds > F.Fds;
  const bool ThreadsGrew = L.Threads > F.Threads;
  Result.Grew = RssGrew || FdsGrew || ThreadsGrew;
  Result.Lines.push_back(
      Line("resident memory", Mib(F.RssKiB), Mib(L.RssKiB), Mib(RssAllowed), RssGrew));
  Result.Lines.push_back(Line("open descriptors", std::to_string(F.Fds), std::to_string(L.Fds),
                              std::to_string(F.Fds), FdsGrew));
  Result.Lines.push_back(Line("threads", std::to_string(F.Threads), std::to_string(L.Threads),
                              std::to_string(F.Threads), ThreadsGrew));
  return Result;
}

}  // namespace vexav::soak
