// The soak run's growth rule: whether the process's resident memory, open
// file descriptors or threads grew from the first part of the run to the
// last. Kept apart from the run itself so that the rule can be tested.
#pragma once

#include <string>
#include <vector>

namespace vexav::soak {

// One reading of the process, taken at an idle point between rounds.
struct SoakSample {
  double Seconds = 0;  // since the run started
  long RssKiB = 0;     // VmRSS
  int Fds = 0;         // entries of /proc/self/fd
  int Threads = 0;     // Threads of /proc/self/status
};

// The highest readings of the samples of one window.
struct WindowPeak {
  int Samples = 0;
  long RssKiB = 0;
  int Fds = 0;
  int Threads = 0;
};

// Resident memory may exceed the first window's maximum by this much (or
// by RssTolerancePercent of it, whichever is larger) before it counts as
// growth: the allocator keeps freed memory in its arenas, so the figure
// moves a little from one idle point to the next.
inline constexpr long RssToleranceKiB = 4096;
inline constexpr int RssTolerancePercent = 5;
// The length of each window: ten minutes, or a third of a shorter run.
inline constexpr double WindowLimitSeconds = 600;

struct Verdict {
  bool Judged = false;  // enough samples for both windows
  bool Grew = false;
  double WindowSeconds = 0;
  WindowPeak First;
  WindowPeak Last;
  // One line per figure (and the reason when nothing could be judged).
  std::vector<std::string> Lines;
};

// The window length for a run of RunSeconds.
double WindowSeconds(double RunSeconds);

// Compares the first window (samples taken up to WindowSeconds after the
// start) with the last one (samples taken in the WindowSeconds before the
// last sample). It grew when, of the last window's maxima:
// - resident memory is above the first window's maximum by more than
//   max(RssToleranceKiB, RssTolerancePercent % of it);
// - open descriptors or threads are above the first window's maximum at all.
// Samples must be in time order; fewer than two samples, or a window
// without any, cannot be judged (Judged false).
Verdict Judge(const std::vector<SoakSample>& Samples, double RunSeconds);

}  // namespace vexav::soak
