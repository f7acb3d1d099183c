#include "cli/EngineJob.h"

#include <condition_variable>
#include <cstdio>
#include <mutex>

#include "engine/FFmpeg.h"

namespace vexav::cli {

using batch::ConversionJob;
using batch::ProgressHandler;
using batch::RunOutcome;
using batch::SourceFacts;
namespace {

// Progress reports during a run: every 200 ms, often enough for a bar.
constexpr int64_t ProgressIntervalUs = 200000;

class EngineJob : public ConversionJob {
 public:
  explicit EngineJob(bool Verbose) {
    Engine.InitOptions();
    Engine.SetVerbose(Verbose ? 1 : -1);
    // One conversion at a time: the codecs may use every core.
    Engine.SetThreadCount(0);
    if (Verbose) {
      Engine.OnLog = [](TCustomFFmpeg&, int, const std::string& Text) {
        std::string Line = Text;
        while (!Line.empty() && (Line.back() == '\n' || Line.back() == '\r')) Line.pop_back();
        std::fputs((Line + "\n").c_str(), stderr);
        std::fflush(stderr);
      };
    }
  }

  ~EngineJob() override {
    // A run that is still going (only after an error of this program) is
    // stopped, and its thread let go of the engine before it is destroyed.
    Stop();
    Engine.WaitForRun();
  }

  void SetOption(const std::string& Name, const std::string& Value) override {
    Engine.SetOption(Name, Value);
  }
  bool OpenInputFile(const std::string& FileName) override {
    return Engine.OpenInputFile(FileName);
  }
  bool OpenOutputFile(const std::string& FileName) override {
    return Engine.OpenOutputFile(FileName);
  }
  std::string LastError() const override { return Engine.LastError; }

  SourceFacts InputFacts() override {
    SourceFacts Facts;
    if (Engine.InputFileCount < 1 || !Engine.InputFiles[0]) return Facts;
    TAVProbe Probe;
    Probe.Attach(Engine.InputFiles[0].get());
    Facts.VideoStreams = Probe.VideoStreamCount();
    Facts.AudioStreams = Probe.AudioStreamCount();
    if (Facts.VideoStreams > 0) Probe.GetDefaultVideoInfo(Facts.Video);
    if (Facts.AudioStreams > 0) Probe.GetDefaultAudioInfo(Facts.Audio);
    Probe.Close();
    return Facts;
  }

  RunOutcome Run(const ProgressHandler& OnProgress) override {
    Engine.ProgressInterval = ProgressIntervalUs;
    Engine.OnProgress = [&OnProgress](TCustomFFmpeg&, const TRunProgress& Progress) {
      if (OnProgress) OnProgress(Progress);
    };
    Engine.OnTerminate = [this](TCustomFFmpeg&) {
      std::lock_guard<std::mutex> Guard(DoneLock);
      Done = true;
      DoneSignal.notify_all();
    };

    RunOutcome Outcome;
    bool Threaded = false;
    {
      std::lock_guard<std::mutex> Guard(StartLock);
      if (StopWanted) {
        Outcome.Started = false;
        return Outcome;
      }
      TFFmpegThread* Thread = Engine.Start(true, TThreadPriority::tpNormal);
      // Once resumed the thread belongs to itself; it is not touched again.
      if (Thread) Thread->Resume();
      Threaded = Thread != nullptr;
      Started = true;
    }
    {
      std::unique_lock<std::mutex> Guard(DoneLock);
      if (!Threaded && !Done) {
        // Start refused without a notification: nothing will come.
        Outcome.ExceptionRaised = true;
        Outcome.ErrorMessage =
            Engine.ErrorMessage.empty() ? "the conversion could not start" : Engine.ErrorMessage;
        return Outcome;
      }
      // A refused start notifies on this thread, before Start returns.
      DoneSignal.wait(Guard, [this] { return Done; });
    }
    // The notification is the run's last use of the engine's state; wait for
    // its thread to be gone all the same before the fields are read.
    Engine.WaitForRun();
    Engine.OnProgress = nullptr;
    Outcome.Finished = Engine.Finished;
    Outcome.ExceptionRaised = Engine.ExceptionRaised;
    Outcome.ErrorMessage = Engine.ErrorMessage;
    return Outcome;
  }

  void Stop() override {
    std::lock_guard<std::mutex> Guard(StartLock);
    StopWanted = true;
    if (Started) Engine.Stop();
  }

  void SetCodecThreads(int Count) override { Engine.SetThreadCount(Count); }
  void SetCollectTimings(bool Collect) override { Engine.SetCollectTimings(Collect); }
  TRunTimings Timings() const override { return Engine.RunTimings(); }

 private:
  TCustomFFmpeg Engine;
  // Start and Stop exclude each other, so that a stop is never lost between
  // the two (Start clears the engine's stop request) and never meets a
  // thread object that is being resumed.
  std::mutex StartLock;
  bool StopWanted = false;
  bool Started = false;
  std::mutex DoneLock;
  std::condition_variable DoneSignal;
  bool Done = false;
};

}  // namespace

std::unique_ptr<ConversionJob> MakeEngineJob(bool Verbose) {
  return std::make_unique<EngineJob>(Verbose);
}

}  // namespace vexav::cli
