// The batch system a cluster batch runs on, as the front end, the monitor
// and the task runner use it: submit the batch's tasks, look at the ones
// still queued or running, tell how one ended, cancel. Each batch system
// (Slurm today) is one implementation in a folder of its own; its command
// names, option spellings and state words stay there. What the job folder
// keeps of it is its name, the options the user gave for it and the ids it
// answered, all opaque here.
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vexav::batch::cluster {

// What every submission of a batch's tasks asks for, the first one and
// each task submitted again alike.
struct TaskRequest {
  std::string JobName;  // the batch's name: every job of the batch has it
  std::string Folder;   // the job folder: the tasks run in it, their logs go there
  std::string Script;   // the task script (WriteTaskScript)
  int CpusPerTask = 1;
  std::string Queue;                 // where the tasks run ("": the default)
  std::vector<std::string> Options;  // passed to the batch system as they are
};

// The tasks of one submission: the id of each task, in the order of the
// indexes asked for, and the jobs they belong to (what Cancel takes to
// cancel them all at once).
struct Submission {
  std::vector<std::string> Jobs;
  std::vector<std::string> TaskIds;
};

// A task that the batch system still holds.
struct QueuedState {
  bool Pending = false;  // waiting to start; otherwise running (or ending)
  // Pending: why it waits ("" when nothing is said); Routine: for its turn
  // or for free CPUs, as every task of a busy cluster does, rather than for
  // something that may never come by itself (a node down, a hold, a limit).
  std::string Reason;
  bool Routine = true;
  std::string Host;  // running: the node ("" when not said)
};

// How a task that is no longer queued ended.
struct EndState {
  bool Known = false;         // the batch system still knows the task
  std::string Text;           // its state and reason for messages ("NODE_FAIL (...)")
  std::string ExitCode;       // the exit status as the batch system tells it
  bool Completed = false;     // its program exited with 0: its result was written before
  bool ByItself = false;      // its program exited (with whatever status), nobody ended it
  bool LaunchFailed = false;  // its program could not be started on its node
  bool Retriable = false;     // a node failure or a preemption: a new attempt may succeed
};

class Scheduler {
 public:
  virtual ~Scheduler() = default;

  // The name the job folder keeps ("slurm") and the one messages use ("Slurm").
  virtual std::string Name() const = 0;
  virtual std::string DisplayName() const = 0;
  // Whether batches can be submitted from this machine; false with Error.
  virtual bool Usable(std::string& Error) const = 0;

  // Writes the script each task runs: Command with the task's index in the
  // batch in VEXAV_TASK_INDEX and its CPUs in VEXAV_TASK_CPUS (when known).
  virtual bool WriteTaskScript(const std::string& Path, const std::vector<std::string>& Command,
                               std::string& Error) const = 0;
  // Submits the tasks First .. First + Count - 1 of the batch; on failure
  // nothing of them stays submitted.
  virtual std::optional<Submission> Submit(const TaskRequest& Request, std::size_t First,
                                           std::size_t Count, std::string& Error) = 0;
  // Submits task Index once more, after its last attempt ended.
  std::optional<Submission> Resubmit(const TaskRequest& Request, std::size_t Index,
                                     std::string& Error) {
    return Submit(Request, Index, 1, Error);
  }
  // The tasks of batch JobName that are still queued or running, by id; a
  // task not among them has ended (EndOf tells how). nullopt with Error when
  // the batch system did not answer.
  virtual std::optional<std::map<std::string, QueuedState>> Queued(const std::string& JobName,
                                                                   std::string& Error) = 0;
  virtual EndState EndOf(const std::string& TaskId) = 0;
  // Cancels the jobs or tasks given (ids from Submit); false with Error.
  virtual bool Cancel(const std::vector<std::string>& Ids, std::string& Error) = 0;
  // The batch system's own log of a task (its standard output and error).
  virtual std::string LogPath(const std::string& Folder, const std::string& TaskId) const = 0;
  // The CPUs that Queue ("": the default one) offers on its nodes that are
  // up (busy or idle); 0 when the batch system does not tell them.
  virtual int CpusOffered(const std::string& Queue) = 0;

  // Inside a task: its index in the batch and the CPUs it was given (0 when
  // not known), as its script set them (nullopt: not inside a task).
  virtual std::optional<std::size_t> TaskIndexHere() const;
  virtual int TaskCpusHere() const;
  // Inside a task: the id of this submission of it, as Submit answered it
  // ("" when not known). A task submitted again has another id.
  virtual std::string TaskIdHere() const = 0;
};

// A whole number (0 or more) in environment variable Name; -1 when it holds
// none.
long long NumberInEnvironment(const char* Name);

// The scheduler of that name ("slurm"); nullptr when there is none.
std::unique_ptr<Scheduler> MakeScheduler(const std::string& Name);

}  // namespace vexav::batch::cluster
