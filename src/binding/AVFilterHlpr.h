// Run-time binding of libavfilter: the module's entry variables and its
// loading operations.
#pragma once

#include <string>

#include "binding/LibModule.h"
#include "binding/AVFilterHlprEntries.h"

extern "C" {
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
}

namespace vexav::AVFilterHlpr {

VEXAV_AVFILTER_ENTRIES(VEXAV_DECLARE_ENTRY)

std::string LibFileName();
// RegisterAll is kept for callers written for older libraries, which had
// to register their codecs and formats; today's libraries need nothing.
bool LoadLib(std::string& ErrorText, const std::string& Folder, bool Versioned, bool RegisterAll);
void UnloadLib();
bool LibLoaded();
binding::LibModule& Module();

}  // namespace vexav::AVFilterHlpr
