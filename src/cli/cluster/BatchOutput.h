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

#include "batch/cluster/BatchMonitor.h"
#include "batch/cluster/JobFolder.h"
#include "cli/ConvertCommand.h"

namespace vexav::cli::cluster {

class BatchOutput : public batch::cluster::BatchObserver {
 public:
  // Follow: the batch is followed to its end (otherwise one look at it),
  // which is when displays are drawn.
  BatchOutput(const ConvertEnvironment& Env, const batch::cluster::Manifest& M, bool Follow);
  ~BatchOutput() override;

  // The file's time is counted from its first task (from now when its start
  // is not known).
  void Started(std::size_t I, int64_t StartedMs) override;
  void Progress(std::size_t I, const batch::ProgressInfo& Info) override;
  void Took(std::size_t I, int64_t Ms) override;
  // Shown once per change; a plain line leaves out a routine reason (its
  // turn or CPUs).
  void Pending(std::size_t I, const std::string& Reason, bool Routine) override;

  void Done(std::size_t I, const std::string& Output) override;
  void Failed(std::size_t I, const std::string& Reason) override;
  void Stopped(std::size_t I, const std::string& Text, const std::string& Kept,
               const std::string& Error) override;
  void NotConverted(std::size_t I) override;
  // "<subject>: <text>" on standard error.
  void Note(std::size_t I, const std::string& Subject, const std::string& Text,
            bool EndsFile) override;
  // "vexav-convert: <text>" on standard error.
  void Problem(const std::string& Text) override;
  // A line for the file ("clip.avi: running 40% (12_0)"), and with --json
  // a "converting" object for a file that runs.
  void Unfinished(std::size_t I, const batch::cluster::UnfinishedFile& State) override;

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
