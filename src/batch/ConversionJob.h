// One conversion straight on the engine, for what runs outside the converter
// component: the joins of segmented files, a cluster task's piece, and the
// command line's explicit mode. It offers the engine's option and file
// calls, a look at the opened input, and a run on a worker thread that can
// be stopped. The program makes them over the engine (cli/EngineJob); the
// explicit mode's own tests use a stand-in. Also the progress record and
// the outcome of a run, which the whole batch layer speaks in.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "component/AVProbe.h"
#include "engine/RunProgress.h"
#include "engine/RunTimings.h"

namespace vexav::batch {

// One progress report of a run: the engine's record, passed up as it is.
using ProgressInfo = TRunProgress;

// The share of the output converted so far in percent (integer division, at
// most 100), or -1 when the expected duration is not known.
int PercentDone(const ProgressInfo& Info);

// How a run ended.
struct RunOutcome {
  bool Finished = false;         // the run reached the end of its input
  bool ExceptionRaised = false;  // the run ended by an error
  std::string ErrorMessage;      // that error's text
  bool Started = true;           // false: stopped before the run began
  bool Succeeded() const { return Finished && !ExceptionRaised; }
};

// What the opened input holds.
struct SourceFacts {
  int VideoStreams = 0;
  int AudioStreams = 0;
  TVideoStreamInfo Video;  // the default video stream; unfilled without one
  TAudioStreamInfo Audio;  // the default audio stream; unfilled without one
};

using ProgressHandler = std::function<void(const ProgressInfo&)>;

// One conversion: created with the engine's options initialised; used from
// one thread, except Stop.
class ConversionJob {
 public:
  virtual ~ConversionJob() = default;
  // Sets one engine option; throws std::exception with the engine's message
  // for a bad value.
  virtual void SetOption(const std::string& Name, const std::string& Value) = 0;
  // False with LastError when the file cannot be opened or created.
  virtual bool OpenInputFile(const std::string& FileName) = 0;
  virtual bool OpenOutputFile(const std::string& FileName) = 0;
  virtual std::string LastError() const = 0;
  // The first opened input's streams.
  virtual SourceFacts InputFacts() = 0;
  // Runs the conversion on a worker thread and returns when it has ended;
  // OnProgress is called on that thread. When Stop came before the run
  // could begin, nothing runs and the outcome has Started false.
  virtual RunOutcome Run(const ProgressHandler& OnProgress) = 0;
  // Asks the run to end as soon as it can (trailers are still written).
  // Safe from any thread, at any time, also before Run.
  virtual void Stop() = 0;
  // Threads of each decoder and encoder (0 automatic); before
  // OpenInputFile, so that decoders and encoders both take it. Throws
  // std::exception for a value outside 0..64.
  virtual void SetCodecThreads(int) {}
  // Whether Run records where its time goes, and what it recorded
  // (Collected false when nothing was).
  virtual void SetCollectTimings(bool) {}
  virtual TRunTimings Timings() const { return TRunTimings{}; }
};

// Makes a job; Verbose lets the engine's log lines through to standard
// error. Throws std::exception when no engine can be made.
using JobFactory = std::function<std::unique_ptr<ConversionJob>(bool Verbose)>;

}  // namespace vexav::batch
