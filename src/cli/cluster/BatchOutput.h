// What the front end of a batch tells about each of its files, as the local
// default mode does: the progress (a display per file, or --json's lines),
// each output's path (and each part kept of a stopped one) on standard
// output, failures and stops on standard error, and with --json the same
// objects as the local mode (file, percent, frame, fps, elapsed, eta,
// output, status, error). While a task waits in the queue for something
// other than its turn, the scheduler's reason is shown on the file's line.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "batch/cluster/JobFolder.h"
#include "cli/ConvertCommand.h"

namespace vexav::cli::cluster {

class BatchOutput {
 public:
  // Follow: the batch is followed to its end (otherwise one look at it),
  // which is when displays are drawn.
  BatchOutput(const ConvertEnvironment& Env, const batch::cluster::Manifest& M, bool Follow);
  ~BatchOutput();

  // A task of file I began on its node at StartedMs (ms since 1970; 0: not
  // known, then from now): the file's time is counted from its first task.
  void Started(std::size_t I, int64_t StartedMs);
  void Progress(std::size_t I, const batch::ProgressInfo& Info);
  // File I took Ms on its node, all told (the time its result tells).
  void Took(std::size_t I, int64_t Ms);
  // A task of file I waits in the queue for Reason ("" when the scheduler gives
  // none; Routine: its turn or CPUs, which plain lines leave out); shown
  // once per change.
  void Pending(std::size_t I, const std::string& Reason, bool Routine);

  // How file I ended. Done: its output. Failed: why. Stopped: Text is the
  // line's text ("stopped at 24%; the part converted so far is kept as
  // ..."), Kept the part kept ("" when nothing was), Error what --json
  // tells besides. NotConverted: stopped before it began.
  void Done(std::size_t I, const std::string& Output);
  void Failed(std::size_t I, const std::string& Reason);
  void Stopped(std::size_t I, const std::string& Text, const std::string& Kept,
               const std::string& Error = std::string());
  void NotConverted(std::size_t I);
  // A line about file I (a task submitted again, ...), printed as it is.
  // EndsFile: the file is settled elsewhere, its display ends.
  void Note(std::size_t I, const std::string& Line, bool EndsFile = false);

  // The progress last shown for file I.
  const std::optional<batch::ProgressInfo>& Last(std::size_t I) const;
  // One look: with --json, a "converting" object for file I, which runs.
  void Running(std::size_t I);

 private:
  struct File;
  void EndLine(File& F, bool Succeeded);
  void Json(std::size_t I, const char* Status, const std::string& Output, const std::string& Error);

  const ConvertEnvironment& Env;
  const batch::cluster::Manifest& M;
  bool Follow;
  std::vector<File> Files;
};

}  // namespace vexav::cli::cluster
