// The default mode of vexav-convert: the batch layer's default run
// (batch/DefaultRun.h) on the files and folders given, shown as progress
// lines or JSON, with the outputs printed and the exit status.
#pragma once

#include "cli/CommandLine.h"
#include "cli/ConvertCommand.h"

namespace vexav::cli {

// [--output-dir DIR | --same-folder] [--jobs N] [--log-level L] FILE...:
// every file with the MPEG-4 preset; failures are reported and the other
// files go on. ExitFailed when any file failed, ExitInterrupted after a
// stop. Env.Stop, when set, stops the component's run.
int RunDefaultOnComponent(const CommandLine& Line, const ConvertEnvironment& Env);

}  // namespace vexav::cli
