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

// An array task that Slurm still lists: its state (PENDING, RUNNING,
// COMPLETING, ...) and Slurm's reason for it ("None", or why a pending task
// waits: "Resources", "ReqNodeNotAvail, UnavailableNodes:n1", ...).
struct QueuedTask {
  std::string State;
  std::string Reason;
  bool Pending() const;
  // Slurm's reason, or "" when it gives none ("None").
  std::string Why() const;
  // Waiting for its turn or for CPUs, as every task of a busy cluster does,
  // rather than for something that may never come by itself (a node down
  // or drained, a hold, a limit).
  bool RoutineWait() const;
};

// The array tasks of jobs named JobName that Slurm still lists, by their
// id "<job>_<index>". nullopt with Error when squeue could not answer.
std::optional<std::map<std::string, QueuedTask>> QueuedTasks(const std::string& JobName,
                                                             std::string& Error);
// squeue's lines as QueuedTasks asks for them ("<id>|<state>|<reason>").
std::map<std::string, QueuedTask> ParseQueue(const std::string& Text);

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
  // Completed with exit 0: the task wrote its result before it exited.
  bool CompletedCleanly() const;
  // Ended by its own program (completed, or failed with an exit code of
  // its own) rather than by Slurm.
  bool EndedByItself() const;
  // Slurm could not start the task's program on its node: it could not
  // open the task's log or enter its folder there, for example.
  bool LaunchFailed() const;
  // Ended for a node failure or a preemption: worth submitting again.
  bool Retriable() const;
};
TaskEnd EndOfTask(const std::string& JobId);

// scancel of the jobs (or array tasks) given; false with Error.
bool Cancel(const std::vector<std::string>& Ids, std::string& Error);

}  // namespace vexav::cli::cluster
