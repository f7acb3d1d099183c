// The stop of a batch on a cluster: its job folder marked as cancelled and
// its jobs cancelled through the scheduler.
#pragma once

#include <mutex>
#include <set>
#include <string>

#include "batch/ConversionJob.h"
#include "batch/cluster/Scheduler.h"

namespace vexav::batch::cluster {

// Cancels a submitted batch: marks its job folder as cancelled (so that a
// later look at it knows that its tasks stopped on request, and keeps what
// they kept) and cancels its jobs. It is the job the stop control stops, so
// that Ctrl-C cancels at once, on the signal's watcher thread, before a
// second Ctrl-C can end the program. Every call but Stop is for the thread
// that follows the batch.
class BatchCanceller : public ConversionJob {
 public:
  BatchCanceller(std::string Folder, Scheduler& Sched) : Folder(std::move(Folder)), Sched(Sched) {}
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
  SourceFacts InputFacts() override { return SourceFacts(); }
  RunOutcome Run(const ProgressHandler&) override { return RunOutcome(); }

 private:
  const std::string Folder;
  Scheduler& Sched;
  std::mutex Lock;
  std::set<std::string> Jobs;
  bool Cancelled = false;
  std::string Error;
};

}  // namespace vexav::batch::cluster
