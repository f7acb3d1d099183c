// The --timings line of one conversion: where its run's time went.
#pragma once

#include <string>

#include "engine/RunTimings.h"

namespace vexav::cli {

// "NAME: timings: decode 812 ms, scale 0 ms, encode 2961 ms, resample 11 ms,
// mux 25 ms, demux 9 ms, codecs 40 ms, engine 31 ms = 0.82% of 3790 ms
// CPU; run 3905 ms". The stage figures are the run thread's time inside
// the libraries' calls of each stage (steady clock); the engine's figure is
// the run thread's CPU time outside them, and its share is of the whole
// process's CPU time during the run (codec threads included). A run that
// collected nothing gives "NAME: timings: not collected".
std::string TimingsLine(const std::string& Name, const TRunTimings& Timings);

}  // namespace vexav::cli
