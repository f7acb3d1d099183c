// Follows a submitted batch: the tasks' report files and Slurm's job
// states, until every task has ended.
#pragma once

#include "cli/ConvertCommand.h"
#include "cli/cluster/JobFolder.h"

namespace vexav::cli::cluster {

// Reads the reports and the queue, shows each file's progress as the local
// mode does, and settles each file once its task has ended: a finished
// output's path goes to Env.Out; a task Slurm ended (cancelled, node
// failure, time limit, out of memory) is reported failed with Slurm's state
// and its incomplete output removed, or submitted again for a node failure
// or a preemption while M.Retries allows. Once every task has ended, the job
// folder is removed.
//
// Follow: keep reading until every task has ended (otherwise one look, with
// a line per file still pending or running). CancelOnStop: a stop request
// on Env.Stop cancels the batch (scancel); otherwise it only ends the
// following. Returns ExitOk, ExitFailed when a file failed, or
// ExitInterrupted after a stop.
int MonitorBatch(Manifest& M, const ConvertEnvironment& Env, bool Follow, bool CancelOnStop);

}  // namespace vexav::cli::cluster
