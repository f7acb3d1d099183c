// How a file of a batch ended (FileOutcome, FileResult), and the observer of
// a file's progress and end that a cluster task writes into its report file
// for the front end.
#pragma once

#include <string>

#include "batch/ConversionJob.h"

namespace vexav::batch {

enum class FileOutcome {
  Done,      // converted; Output is the finished file
  Failed,    // not converted; Message says why, no output is left
  Stopped,   // stopped on request; Output is what was kept (empty: nothing)
  Canceled,  // stopped before any of it was converted; nothing is left
};

// How one file of a batch ended, with the text that says so.
struct FileResult {
  FileOutcome Outcome = FileOutcome::Done;
  // Failed: the reason. Stopped: "stopped at 42%; the part converted so far
  // is kept as ..." and the like.
  std::string Message;
  // Done: the output. Stopped: the part kept ("" when nothing is).
  std::string Output;
  // Stopped: why the part was not kept under its partial name ("" when it
  // was, or when nothing is kept).
  std::string Error;
};

class FileReport {
 public:
  virtual ~FileReport() = default;
  // Called on a worker thread, under the display's lock.
  virtual void Progress(const std::string& Source, const ProgressInfo& Info) = 0;
  virtual void Ended(const std::string& Source, FileOutcome Outcome, const std::string& Message,
                     const std::string& Output) = 0;
};

}  // namespace vexav::batch
