// What the default mode tells an observer about each file besides its
// display: progress, and how the file ended with the output it left. A
// cluster task writes these into its report file for the front end.
#pragma once

#include <string>

#include "cli/ConversionJob.h"

namespace vexav::cli {

enum class FileOutcome {
  Done,     // converted; Output is the finished file
  Failed,   // not converted; Message says why, no output is left
  Stopped,  // stopped on request; Output is what was kept (empty: nothing)
};

class FileReport {
 public:
  virtual ~FileReport() = default;
  // Called on a worker thread, under the display's lock.
  virtual void Progress(const std::string& Source, const ProgressInfo& Info) = 0;
  virtual void Ended(const std::string& Source, FileOutcome Outcome, const std::string& Message,
                     const std::string& Output) = 0;
};

}  // namespace vexav::cli
