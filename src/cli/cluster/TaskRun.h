// What one task of a batch runs on its node: vexav-convert --cluster-task
// JOBFOLDER converts the file (or the piece) of its index in the batch
// (as the scheduler named in its job folder tells it) in the default
// mode into the output reserved for it, and writes its progress and its
// result into its report file.
#pragma once

#include "cli/CommandLine.h"
#include "cli/ConvertCommand.h"

namespace vexav::cli::cluster {

// SIGTERM (the scheduler's cancel, time limit or preemption) asks the conversion to
// stop, so that the output still gets its trailer. Exits ExitOk when the
// result could be reported (whatever it was), ExitFailed otherwise.
int RunClusterTask(const CommandLine& Line, ConvertEnvironment Env);

}  // namespace vexav::cli::cluster
