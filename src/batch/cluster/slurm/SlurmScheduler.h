// Slurm as the batch system of a cluster batch: sbatch submits the batch as
// job arrays (several when it has more tasks than the cluster's
// MaxArraySize), squeue tells the tasks still pending or running, scontrol
// (and sacct, where the cluster keeps accounting) how a task ended, scancel
// cancels. Each command runs as a child process with its output read back;
// none goes through a shell.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "batch/cluster/Scheduler.h"

namespace vexav::batch::cluster::slurm {

// One job array of a submission: the batch's tasks Base + First ..
// Base + First + Count - 1 as the array's indexes First .. First + Count - 1.
// Slurm takes no array index at or past MaxArraySize, so a task past it is
// in an array of its own whose indexes start at 0 and whose Base says where.
struct ArrayPart {
  std::size_t Base = 0;
  std::size_t First = 0;
  std::size_t Count = 0;
};
// The arrays that submit the batch's tasks First .. First + Count - 1 when
// no array index may reach MaxArraySize: one array with the batch's own
// indexes when they fit, else arrays of MaxArraySize tasks (the last one
// the rest).
std::vector<ArrayPart> SplitIntoArrays(std::size_t First, std::size_t Count,
                                       std::size_t MaxArraySize);

// sbatch's arguments for one array of a batch: every submission is built
// here, the first one and each task submitted again alike.
std::vector<std::string> SbatchArguments(const TaskRequest& Request, const ArrayPart& Part);

// squeue's lines as Queued asks for them ("<id>|<state>|<node>|<reason>").
std::map<std::string, QueuedState> ParseQueue(const std::string& Text);

// How Slurm tells an ended task: its state (COMPLETED, FAILED, CANCELLED,
// TIMEOUT, NODE_FAIL, PREEMPTED, OUT_OF_MEMORY, ...), its reason and its
// exit code ("0:0": exit status and signal), taken as the scheduler's
// neutral end.
EndState EndFromSlurm(const std::string& State, const std::string& Reason,
                      const std::string& ExitCode);

// The CPUs of the nodes that are up in sinfo's lines "<partition>|<A/I/O/T>"
// (allocated, idle, other, total; the default partition's name ends in
// "*"), for Queue or, when Queue is "", the default partition; 0 when the
// lines do not tell them.
int CpusInPartitionLines(const std::string& Text, const std::string& Queue);

// "MaxArraySize = N" of scontrol show config; 0 when the text has none.
std::size_t MaxArraySizeIn(const std::string& Config);

class SlurmScheduler : public Scheduler {
 public:
  std::string Name() const override { return "slurm"; }
  std::string DisplayName() const override { return "Slurm"; }
  bool Usable(std::string& Error) const override;
  bool WriteTaskScript(const std::string& Path, const std::vector<std::string>& Command,
                       std::string& Error) const override;
  std::optional<Submission> Submit(const TaskRequest& Request, std::size_t First, std::size_t Count,
                                   std::string& Error) override;
  std::optional<std::map<std::string, QueuedState>> Queued(const std::string& JobName,
                                                           std::string& Error) override;
  EndState EndOf(const std::string& TaskId) override;
  bool Cancel(const std::vector<std::string>& Ids, std::string& Error) override;
  std::string LogPath(const std::string& Folder, const std::string& TaskId) const override;
  int CpusOffered(const std::string& Queue) override;
  // Also under a task script of the version before, which set nothing of
  // its own: its batch was one array, whose index was the batch's.
  std::optional<std::size_t> TaskIndexHere() const override;
  int TaskCpusHere() const override;
  std::string TaskIdHere() const override;

 private:
  // The cluster's MaxArraySize, asked once (Slurm's default when scontrol
  // does not tell it).
  std::size_t MaxArraySize();
  std::size_t MaxArray = 0;
};

}  // namespace vexav::batch::cluster::slurm
