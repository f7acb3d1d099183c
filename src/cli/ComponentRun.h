// The default mode of vexav-convert: the batch layer's default run
// (batch/DefaultRun.h) on the files and folders given, shown as progress
// lines or JSON, with the outputs printed and the exit status.
#pragma once

#include <string>

#include "cli/CommandLine.h"
#include "cli/ConvertCommand.h"
#include "component/VexAVConverter.h"

namespace vexav::cli {

// [--output-dir DIR | --same-folder] [--jobs N] [--log-level L] FILE...:
// every file with the MPEG-4 preset; failures are reported and the other
// files go on. ExitFailed when any file failed, ExitInterrupted after a
// stop. Env.Stop, when set, stops the component's run.
int RunDefaultOnComponent(const CommandLine& Line, const ConvertEnvironment& Env);

// --log-level's name ("error", "info", "debug", "all"; anything else
// "quiet") as the component's level.
TLogLevel LogLevelFromName(const std::string& Name);

}  // namespace vexav::cli
