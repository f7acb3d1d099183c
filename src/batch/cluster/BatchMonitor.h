// Follows a submitted batch: the tasks' report files and the scheduler's
// view of its tasks, until every task has ended. It prints nothing: what it
// finds goes to a BatchObserver, which a front end turns into lines, JSON
// and an exit status.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "batch/ConversionJob.h"
#include "batch/cluster/BatchCanceller.h"
#include "batch/cluster/JobFolder.h"
#include "batch/cluster/Scheduler.h"

namespace vexav::batch::cluster {

// A file not finished at the end of one look at the batch.
struct UnfinishedFile {
  enum class Kind {
    Pending,  // none of its tasks has started
    Running,  // a task of it has started
    Joining,  // every segment has ended; joined once the batch has ended
  } State = Kind::Pending;
  // Its tasks still queued or running: the first one's id, and how many
  // more ("12_3", 2 for "12_3 and 2 more").
  std::string FirstTask;
  std::size_t MoreTasks = 0;
  std::string Waiting;  // Pending: the scheduler's reason ("" when none)
  int Percent = -1;     // Running: of the progress last seen (-1: not known)
};

// What following a batch tells. Files are numbered as in the manifest.
// Every call comes from the thread that follows the batch.
class BatchObserver {
 public:
  virtual ~BatchObserver() = default;
  // A task of file I began on its node at StartedMs (ms since 1970; 0: not
  // known).
  virtual void Started(std::size_t I, int64_t StartedMs) = 0;
  // File I's progress (of the whole file, also when it runs in pieces).
  virtual void Progress(std::size_t I, const ProgressInfo& Info) = 0;
  // File I took Ms on its node, all told (the time its result tells).
  virtual void Took(std::size_t I, int64_t Ms) = 0;
  // A task of file I waits in the queue for Reason ("" when the scheduler
  // gives none; Routine: its turn or CPUs).
  virtual void Pending(std::size_t I, const std::string& Reason, bool Routine) = 0;
  // How file I ended. Done: its output. Failed: why. Stopped: Text says how
  // ("stopped at 24%; the part converted so far is kept as ..."), Kept is
  // the part kept ("" when nothing was), Error what else there is to tell.
  // NotConverted: stopped before it began.
  virtual void Done(std::size_t I, const std::string& Output) = 0;
  virtual void Failed(std::size_t I, const std::string& Reason) = 0;
  virtual void Stopped(std::size_t I, const std::string& Text, const std::string& Kept,
                       const std::string& Error) = 0;
  virtual void NotConverted(std::size_t I) = 0;
  // A remark about file I from Subject (the file, or one of its pieces:
  // "clip.avi (segment 2 of 3)"), such as a task submitted again. EndsFile:
  // the file is settled elsewhere, nothing more comes of it here.
  virtual void Note(std::size_t I, const std::string& Subject, const std::string& Text,
                    bool EndsFile) = 0;
  // A problem with following the batch, told as it happens (the queue not
  // answering, a cancel that failed); the following goes on.
  virtual void Problem(const std::string& Text) = 0;
  // One look (not following): file I is not finished.
  virtual void Unfinished(std::size_t I, const UnfinishedFile& File) = 0;
};

struct FollowRequest {
  // Keep reading until every task has ended (otherwise one look).
  bool Follow = true;
  // A stop asked for cancels the batch through it (nullptr: a stop only
  // ends the following).
  BatchCanceller* Canceller = nullptr;
  // Asked each round: true once a stop was asked for.
  std::function<bool()> StopRequested;
  // The joins of segmented files run on jobs of this factory.
  JobFactory MakeJob;
  bool Verbose = false;
  // The program's name, as messages about other front ends name it.
  std::string ProgramName = "vexav-convert";
};

// How the following ended.
struct FollowEnd {
  enum class Kind {
    Ended,        // every task has ended, and the batch was settled
    Looked,       // one look, with files not finished (told as Unfinished)
    LeftRunning,  // a stop was asked for without a canceller: the batch goes on
    FolderGone,   // another front end followed the batch to its end
    GaveUp,       // the queue did not answer for too long (Error says why)
  } How = Kind::Ended;
  bool Failed = false;     // a file failed (or stopped without being asked to)
  bool Cancelled = false;  // Ended: the batch was cancelled (now or before)
  int NotConverted = 0;    // files stopped before they began
  // Looked: the files not finished, and those of them not started.
  std::size_t Remaining = 0;
  std::size_t Pending = 0;
  // GaveUp: why the queue did not answer.
  std::string Error;
};

// Reads the reports and the queue, tells each file's progress, and settles
// each file once its task has ended: a task the scheduler ended (cancelled,
// node failure, time limit, out of memory) makes its file fail with its
// state, and its incomplete output is removed unless the task kept it as
// a part (which nothing removes), or it is submitted again for a node
// failure or a preemption while M.Retries allows. Each attempt of a task
// writes under a name of its own: one given up on is marked so in the job
// folder and its file removed. Once every task has ended, the job folder is
// removed, and so are the output folders the submission made that are
// still empty. A batch that was cancelled before (its job folder says so)
// is taken as stopped on request.
FollowEnd FollowBatch(Manifest& M, Scheduler& Sched, const FollowRequest& Request,
                      BatchObserver& Observer);

}  // namespace vexav::batch::cluster
