// Where the time of a conversion run goes: the media libraries' calls the
// engine makes on its run thread, grouped by stage, and the run as a whole.
//
// Each timed call costs two reads of the steady clock and two of the run
// thread's CPU clock (a few hundred nanoseconds); a run makes a few calls
// per frame. Calls on a thread that runs no timed run cost one test of a
// thread-local pointer.
//
// With codec threads (SetThreadCount other than 1) the codecs do much of
// their work on threads of their own, outside the run thread: a stage's
// CpuNs is only the run thread's part of it, and its WallNs includes the
// time the run thread waited for the codec's threads. The engine's own
// share is therefore taken as the run thread's CPU time outside every timed
// call over the CPU time of the whole process during the run, which counts
// the codecs' threads too (and, when several runs share the process at
// once, theirs as well: the share of one run is then understated).
#pragma once

#include <array>
#include <cstdint>

namespace vexav {

enum class TRunStage {
  Demux,     // av_read_frame
  Decode,    // avcodec_send_packet, avcodec_receive_frame on the decoders
  Scale,     // sws_scale
  Filter,    // the filter graph's source and sink
  Encode,    // avcodec_send_frame, avcodec_receive_packet on the encoders
  Resample,  // swr_convert
  Mux,       // avformat_write_header, av_interleaved_write_frame, av_write_trailer
  Codecs,    // opening and closing the encoders and decoders
};
constexpr int RunStageCount = 8;

// One stage: how many calls, the steady-clock time spent inside them, and
// the run thread's CPU time inside them, nanoseconds.
struct TStageTiming {
  int64_t Calls = 0;
  int64_t WallNs = 0;
  int64_t CpuNs = 0;
};

struct TRunTimings {
  // False until a run with timings collected has ended.
  bool Collected = false;
  std::array<TStageTiming, RunStageCount> Stages{};
  // The run (set-up, main loop, end of run): steady-clock time, the run
  // thread's CPU time and the whole process's CPU time, nanoseconds.
  int64_t WallNs = 0;
  int64_t ThreadCpuNs = 0;
  int64_t ProcessCpuNs = 0;

  const TStageTiming& Stage(TRunStage S) const { return Stages[static_cast<int>(S)]; }
  TStageTiming& Stage(TRunStage S) { return Stages[static_cast<int>(S)]; }
  // The run thread's CPU time inside the timed calls.
  int64_t LibraryCpuNs() const;
  // The run thread's CPU time outside them: the engine's own work (and
  // whatever the run's handlers do on the run thread). Never negative.
  int64_t EngineCpuNs() const;
  // EngineCpuNs over ProcessCpuNs, 0 .. 1; 0 without process time.
  double EngineShare() const;
  void Reset() { *this = TRunTimings{}; }
  // The stage's name as the report prints it ("decode", ...).
  static const char* StageName(TRunStage S);
};

// The timings of the run on this thread, nullptr when none is timed.
extern thread_local TRunTimings* CurrentRunTimings;

// Nanosecond clocks: steady, this thread's CPU, the process's CPU.
int64_t SteadyNowNs();
int64_t ThreadCpuNowNs();
int64_t ProcessCpuNowNs();

// Times one library call (the scope it lives in) for Stage of the current
// thread's run; does nothing when no run is timed on this thread.
class TStageTimer {
 public:
  explicit TStageTimer(TRunStage Stage) {
    if (TRunTimings* T = CurrentRunTimings) Start(T->Stage(Stage));
  }
  ~TStageTimer() {
    if (Target) Stop();
  }
  TStageTimer(const TStageTimer&) = delete;
  TStageTimer& operator=(const TStageTimer&) = delete;

 private:
  void Start(TStageTiming& Timing);
  void Stop();
  TStageTiming* Target = nullptr;
  int64_t Wall0 = 0;
  int64_t Cpu0 = 0;
};

// Call() timed as Stage: TimedCall(TRunStage::Demux, [&] { return ff::...; }).
template <class TCall>
inline auto TimedCall(TRunStage Stage, TCall&& Call) {
  TStageTimer Timer(Stage);
  return Call();
}

// The window of one run: makes Timings (reset first) the current thread's
// run timings, and on leaving records the run's totals, marks them
// collected and restores what was current before. Timings nullptr: times
// nothing (and hides an outer run's timings for the duration).
class TRunTimingWindow {
 public:
  explicit TRunTimingWindow(TRunTimings* Timings);
  ~TRunTimingWindow();
  TRunTimingWindow(const TRunTimingWindow&) = delete;
  TRunTimingWindow& operator=(const TRunTimingWindow&) = delete;

 private:
  TRunTimings* Timings;
  TRunTimings* Previous;
  int64_t Wall0 = 0, ThreadCpu0 = 0, ProcessCpu0 = 0;
};

}  // namespace vexav
