// Follows a submitted batch: the tasks' report files and the scheduler's
// view of its tasks, until every task has ended.
#pragma once

#include <string>

#include "batch/cluster/BatchCanceller.h"
#include "batch/cluster/JobFolder.h"
#include "batch/cluster/Scheduler.h"
#include "cli/ConvertCommand.h"

namespace vexav::cli::cluster {

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
                 const ConvertEnvironment& Env, bool Follow,
                 batch::cluster::BatchCanceller* Canceller);

}  // namespace vexav::cli::cluster
