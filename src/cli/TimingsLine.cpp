#include "cli/TimingsLine.h"

#include <cstdio>

namespace vexav::cli {
namespace {

long long Ms(int64_t Ns) {
  return static_cast<long long>((Ns + 500000) / 1000000);
}

}  // namespace

std::string TimingsLine(const std::string& Name, const TRunTimings& Timings) {
  std::string Line = Name + ": timings: ";
  if (!Timings.Collected) return Line + "not collected";
  // Filtering is shown only when a filter graph was used.
  const TRunStage Order[] = {TRunStage::Decode, TRunStage::Scale,    TRunStage::Filter,
                             TRunStage::Encode, TRunStage::Resample, TRunStage::Mux,
                             TRunStage::Demux,  TRunStage::Codecs};
  char Buffer[128];
  for (TRunStage S : Order) {
    const TStageTiming& Stage = Timings.Stage(S);
    if (S == TRunStage::Filter && Stage.Calls == 0) continue;
    std::snprintf(Buffer, sizeof Buffer, "%s %lld ms, ", TRunTimings::StageName(S),
                  Ms(Stage.WallNs));
    Line += Buffer;
  }
  std::snprintf(Buffer, sizeof Buffer, "engine %lld ms = %.2f%% of %lld ms CPU; run %lld ms",
                Ms(Timings.EngineCpuNs()), 100.0 * Timings.EngineShare(), Ms(Timings.ProcessCpuNs),
                Ms(Timings.WallNs));
  return Line + Buffer;
}

}  // namespace vexav::cli
