#include "batch/ConversionJob.h"

#include <algorithm>

namespace vexav::batch {

int PercentDone(const ProgressInfo& Info) {
  if (Info.TotalOutputDurationMs <= 0) return -1;
  const int64_t Current = std::max<int64_t>(Info.CurrentDurationMs, 0);
  return static_cast<int>(std::min<int64_t>(Current * 100 / Info.TotalOutputDurationMs, 100));
}

}  // namespace vexav::batch
