// Follows a submitted batch: the tasks' report files and the scheduler's
// view of its tasks, until every task has ended.
#pragma once

#include <mutex>
#include <set>
#include <string>

#include "batch/cluster/JobFolder.h"
#include "batch/cluster/Scheduler.h"
#include "cli/ConvertCommand.h"

namespace vexav::cli::cluster {

// Cancels a submitted batch: marks its job folder as cancelled (so that a
// later look at it knows that its tasks stopped on request, and keeps what
// they kept) and cancels its jobs. It is the job the stop control stops, so
// that Ctrl-C cancels at once, on the signal's watcher thread, before a
// second Ctrl-C can end the program. Every call but Stop is for the thread
// that follows the batch.
class BatchCanceller : public batch::ConversionJob {
 public:
  BatchCanceller(std::string Folder, batch::cluster::Scheduler& Sched)
      : Folder(std::move(Folder)), Sched(Sched) {}
  // The batch's jobs (Submission::Jobs): those it was submitted as, and
  // each job a task was submitted again as. A job tracked after the cancel
  // is cancelled at once.
  void Track(const std::string& Job);
  // Cancels once; later calls do nothing. Safe from any thread.
  void Stop() override;
  // What went wrong with the cancel ("" when nothing did); told once.
  std::string TakeError();

  void SetOption(const std::string&, const std::string&) override {}
  bool OpenInputFile(const std::string&) override { return false; }
  bool OpenOutputFile(const std::string&) override { return false; }
  std::string LastError() const override { return std::string(); }
  batch::SourceFacts InputFacts() override { return batch::SourceFacts(); }
  batch::RunOutcome Run(const batch::ProgressHandler&) override { return batch::RunOutcome(); }

 private:
  const std::string Folder;
  batch::cluster::Scheduler& Sched;
  std::mutex Lock;
  std::set<std::string> Jobs;
  bool Cancelled = false;
  std::string Error;
};

// Reads the reports and the queue, shows each file's progress as the local
// mode does (with the scheduler's reason while a task waits for more than
// its turn), and settles each file once its task has ended: a finished
// output's path goes to Env.Out, and so does a part a stopped task kept; a
// task the scheduler ended (cancelled, node failure, time limit, out of
// memory) is reported failed with its state, and its incomplete output removed
// unless the task kept it as a part (which nothing removes), or it is
// submitted again for a node failure or a preemption while M.Retries
// allows. With Env.Json, the same JSON objects as the local mode tell all
// of it. Once every task has ended, the job folder is removed, and so are
// the output folders the submission made that are still empty.
//
// Follow: keep reading until every task has ended (otherwise one look, with
// a line per file still pending or running). Canceller: a stop request on
// Env.Stop cancels the batch through it (nullptr: a stop only ends the
// following). A batch that was cancelled before (its job folder says so)
// is taken as stopped on request. Returns ExitOk, ExitFailed when a file
// failed, or ExitInterrupted after a stop.
int MonitorBatch(batch::cluster::Manifest& M, batch::cluster::Scheduler& Sched,
                 const ConvertEnvironment& Env, bool Follow, BatchCanceller* Canceller);

}  // namespace vexav::cli::cluster
