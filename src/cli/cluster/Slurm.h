// Slurm's commands as the front end uses them: sbatch to submit a job array,
// squeue for the tasks still pending or running, scontrol (and sacct, where
// the cluster keeps accounting) for how a task ended, scancel to cancel.
// Each runs as a child process with its output read back; none goes
// through a shell.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vexav::cli::cluster {

struct CommandResult {
  bool Started = false;  // the program could be run at all
  int ExitCode = -1;
  std::string Out;
  std::string Err;
  // One line about a failure: the command's own error text, or why it
  // could not be run.
  std::string Problem(const std::string& Name) const;
};

// Runs Args[0] (looked up in PATH) with the arguments given, with standard
// input from /dev/null, and waits for it.
CommandResult RunCommand(const std::vector<std::string>& Args);

// Finds Name in PATH; empty when it is not there.
std::string FindInPath(const std::string& Name);

struct SubmitRequest {
  std::string Script;
  std::string JobName;
  std::string Array;  // "0-3", "2", ...
  std::string LogPattern;
  std::string WorkFolder;
  int CpusPerTask = 1;
  std::string Partition;
  std::vector<std::string> ExtraOptions;
};

// sbatch --parsable: the job id, or nullopt with Error.
std::optional<std::string> Submit(const SubmitRequest& Request, std::string& Error);

// The array tasks of jobs named JobName that Slurm still lists, by their
// id "<job>_<index>": their state (PENDING, RUNNING, COMPLETING, ...).
// nullopt with Error when squeue could not answer.
std::optional<std::map<std::string, std::string>> QueuedTasks(const std::string& JobName,
                                                              std::string& Error);

// How an array task ended according to Slurm: its state (COMPLETED, FAILED,
// CANCELLED, TIMEOUT, NODE_FAIL, PREEMPTED, OUT_OF_MEMORY, ...), Slurm's
// reason and the exit code. Asks scontrol first (which keeps ended jobs for
// a while), then sacct; Known is false when neither knows the task.
struct TaskEnd {
  bool Known = false;
  std::string State;
  std::string Reason;
  std::string ExitCode;
  // "CANCELLED (reason: ...)" for messages.
  std::string Text() const;
};
TaskEnd EndOfTask(const std::string& JobId);

// scancel of the jobs (or array tasks) given; false with Error.
bool Cancel(const std::vector<std::string>& Ids, std::string& Error);

}  // namespace vexav::cli::cluster
