// The default run of a batch on the converter component: every source one
// task of one TVexAVConverter (or, cut into segments, one task a piece),
// --jobs of them at once, each with the preset chosen and an output named
// after its source and reserved before the run. It prints nothing: what
// happens goes to a DefaultRunObserver, which a front end turns into lines,
// JSON or report files.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "batch/ConversionJob.h"
#include "batch/FileReport.h"
#include "batch/OutputFiles.h"
#include "batch/SourceList.h"
#include "batch/segments/SourcePlan.h"
#include "component/VexAVConverter.h"
#include "engine/RunTimings.h"

namespace vexav::batch {

struct DefaultRunRequest {
  std::vector<SourceItem> Sources;
  std::string OutputDir;  // "" the current folder (ignored with SameFolder)
  bool SameFolder = false;
  bool Overwrite = false;
  int Jobs = 1;
  int CodecThreads = 0;         // of each whole-file task (0 automatic)
  int SegmentCodecThreads = 1;  // of each piece's task
  int Segments = 0;             // --segments: 0 none, -1 automatic, else the count
  segments::PresetChoice Preset;  // the format and the size limit of every output
  bool Timings = false;         // tasks record where their time goes
  TLogLevel LogLevel = TLogLevel::llQuiet;
  std::string LibFolder;  // where the media libraries were bound from
  int ProgressIntervalMs = 200;
  // With one source: the output reserved already (a cluster's front end
  // plans the names before submitting).
  const OutputPlan* Planned = nullptr;
  // The joins of segmented files run on jobs of this factory.
  JobFactory MakeJob;
  bool Verbose = false;
  // Asked between sources: true once a stop was asked for.
  std::function<bool()> StopRequested;
};

// What the run tells its front end. Calls come from the run's threads, one
// at a time; none comes after Run has returned.
class DefaultRunObserver {
 public:
  virtual ~DefaultRunObserver() = default;
  // A source became file File of the run (numbered in the sources' order,
  // from 0), to be converted into Output.
  virtual void FileAdded(int File, const std::string& Source, const std::string& Output) = 0;
  // The progress of file File: of the whole file, also when it runs in
  // pieces. ElapsedSeconds: since its first task started.
  virtual void Progress(int File, const std::string& Source, const ProgressInfo& Info,
                        double ElapsedSeconds) = 0;
  // File File ended (-1: a source that never became a file, such as one
  // that could not be opened). Last is its last progress (of the whole file
  // at 100% when it was joined), Elapsed the time it took once it started.
  virtual void Ended(int File, const std::string& Source, const FileResult& Result,
                     const std::optional<ProgressInfo>& Last,
                     const std::optional<double>& ElapsedSeconds) = 0;
  // A remark about a source, such as "its duration is not known; it is
  // converted in one piece".
  virtual void FileNote(const std::string& Source, const std::string& Text) = 0;
  // A line of a task's log (Tag: the source's name and the piece, such as
  // "clip.avi (segment 2 of 4)"; "" for a line of no task), and the notes
  // that read like one (how the preset changes an odd picture size).
  virtual void Log(const std::string& Tag, const std::string& Text) = 0;
  // A task's timings, once its run is over (Request.Timings).
  virtual void Timings(const std::string& Tag, const TRunTimings& Timings) = 0;
  // The run as a whole cannot go on: Subject "" for the libraries and the
  // converter's start, or the output folder that cannot be made.
  virtual void RunError(const std::string& Subject, const std::string& Text) = 0;
};

// How the run went.
struct DefaultRunSummary {
  bool Started = false;        // the component ran (or had nothing to run)
  int Failed = 0;              // files that failed
  int Canceled = 0;            // files stopped before any of them was converted
  int StoppedUnasked = 0;      // files that ended early without a stop asked for
};

class DefaultRunner {
 public:
  DefaultRunner(const DefaultRunRequest& Request, DefaultRunObserver& Observer);
  ~DefaultRunner();
  DefaultRunner(const DefaultRunner&) = delete;
  DefaultRunner& operator=(const DefaultRunner&) = delete;

  // Runs the batch to its end.
  DefaultRunSummary Run();
  // What a stop control holds while the run is on: its Stop asks the
  // component to stop (once the run has started; a stop asked for before
  // reaches it when it starts). Safe from any thread.
  ConversionJob& StopHandle();

 private:
  class Impl;
  std::unique_ptr<Impl> Self;
};

}  // namespace vexav::batch
