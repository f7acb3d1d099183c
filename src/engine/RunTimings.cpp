#include "engine/RunTimings.h"

#include <time.h>

namespace vexav {
namespace {

int64_t ClockNs(clockid_t Clock) {
  timespec Now{};
  if (clock_gettime(Clock, &Now) != 0) return 0;
  return static_cast<int64_t>(Now.tv_sec) * 1000000000 + Now.tv_nsec;
}

}  // namespace

thread_local TRunTimings* CurrentRunTimings = nullptr;

int64_t SteadyNowNs() {
  return ClockNs(CLOCK_MONOTONIC);
}
int64_t ThreadCpuNowNs() {
  return ClockNs(CLOCK_THREAD_CPUTIME_ID);
}
int64_t ProcessCpuNowNs() {
  return ClockNs(CLOCK_PROCESS_CPUTIME_ID);
}

int64_t TRunTimings::LibraryCpuNs() const {
  int64_t Sum = 0;
  for (const TStageTiming& S : Stages) Sum += S.CpuNs;
  return Sum;
}

int64_t TRunTimings::EngineCpuNs() const {
  const int64_t Own = ThreadCpuNs - LibraryCpuNs();
  return Own > 0 ? Own : 0;
}

double TRunTimings::EngineShare() const {
  if (ProcessCpuNs <= 0) return 0.0;
  const double Share = static_cast<double>(EngineCpuNs()) / static_cast<double>(ProcessCpuNs);
  return Share > 1.0 ? 1.0 : Share;
}

const char* TRunTimings::StageName(TRunStage S) {
  switch (S) {
    case TRunStage::Demux:
      return "demux";
    case TRunStage::Decode:
      return "decode";
    case TRunStage::Scale:
      return "scale";
    case TRunStage::Filter:
      return "filter";
    case TRunStage::Encode:
      return "encode";
    case TRunStage::Resample:
      return "resample";
    case TRunStage::Mux:
      return "mux";
    case TRunStage::Codecs:
      return "codecs";
  }
  return "?";
}

void TStageTimer::Start(TStageTiming& Timing) {
  Target = &Timing;
  Wall0 = SteadyNowNs();
  Cpu0 = ThreadCpuNowNs();
}

void TStageTimer::Stop() {
  // CPU clock first: the steady clock's read is the cheaper one to count
  // inside the call.
  const int64_t Cpu = ThreadCpuNowNs();
  const int64_t Wall = SteadyNowNs();
  Target->Calls += 1;
  Target->CpuNs += Cpu - Cpu0;
  Target->WallNs += Wall - Wall0;
}

TRunTimingWindow::TRunTimingWindow(TRunTimings* Timings)
    : Timings(Timings), Previous(CurrentRunTimings) {
  CurrentRunTimings = Timings;
  if (!Timings) return;
  Timings->Reset();
  // The process's interval encloses the thread's, the thread's the
  // steady clock's, so that each total holds the next.
  ProcessCpu0 = ProcessCpuNowNs();
  ThreadCpu0 = ThreadCpuNowNs();
  Wall0 = SteadyNowNs();
}

TRunTimingWindow::~TRunTimingWindow() {
  if (Timings) {
    Timings->WallNs = SteadyNowNs() - Wall0;
    Timings->ThreadCpuNs = ThreadCpuNowNs() - ThreadCpu0;
    Timings->ProcessCpuNs = ProcessCpuNowNs() - ProcessCpu0;
    Timings->Collected = true;
  }
  CurrentRunTimings = Previous;
}

}  // namespace vexav
