// The ConversionJob of the program: one engine (TCustomFFmpeg) whose run
// goes on the engine's own worker thread.
#pragma once

#include <memory>

#include "batch/ConversionJob.h"

namespace vexav::cli {

// A job over a new engine with its options initialised (the media libraries
// must be bound). Verbose: the engine's log lines go to standard error and
// the engine's verbosity is 1; otherwise the engine is quiet (-1), as the
// window's is. Its codecs choose their thread counts (SetThreadCount(0))
// until SetCodecThreads says otherwise.
std::unique_ptr<batch::ConversionJob> MakeEngineJob(bool Verbose);

}  // namespace vexav::cli
