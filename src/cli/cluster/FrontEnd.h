// The front end of a batch on a cluster: vexav-convert --cluster NAME plans
// the outputs as the default mode does (FOLDER arguments expanded, their
// trees mirrored, each name reserved), submits the batch to the scheduler
// of that name with a task per file (or per piece of a segmented one), then
// follows the tasks' report files and the scheduler's view of them, showing
// the same progress (or --json's objects) as the local mode and printing
// each finished output. What it made for a batch that is not submitted goes
// again. --cluster-status follows a batch
// that was submitted with --detach; --cluster-task is what each task runs.
#pragma once

#include "cli/CommandLine.h"
#include "cli/ConvertCommand.h"

namespace vexav::cli::cluster {

// Ctrl-C (a stop request on Env.Stop, which SIGTERM makes too) cancels the
// batch at once: running tasks stop and keep what they converted, pending
// ones never start.
int RunOnCluster(const CommandLine& Line, const ConvertEnvironment& Env);

// --cluster-status JOBFOLDER [--wait].
int RunClusterStatus(const CommandLine& Line, const ConvertEnvironment& Env);

// --cluster-task JOBFOLDER: what one task of a batch runs on its node
// (batch/cluster/TaskRun.h). Exits ExitOk when the result could be reported
// (whatever it was), ExitUsage outside a task of a batch, ExitFailed
// otherwise.
int RunClusterTask(const CommandLine& Line, const ConvertEnvironment& Env);

}  // namespace vexav::cli::cluster
