// Run-time binding of libavformat: the module's entry variables and its
// loading operations.
#pragma once

#include <string>

#include "binding/LibModule.h"
#include "binding/AVFormatHlprEntries.h"

extern "C" {
#include <libavformat/avformat.h>
}

namespace vexav::AVFormatHlpr {

VEXAV_AVFORMAT_ENTRIES(VEXAV_DECLARE_ENTRY)

std::string LibFileName();
// RegisterAll is kept for callers written for older libraries, which had
// to register their codecs and formats; today's libraries need nothing.
bool LoadLib(std::string& ErrorText, const std::string& Folder, bool Versioned, bool RegisterAll);
void UnloadLib();
bool LibLoaded();
binding::LibModule& Module();

}  // namespace vexav::AVFormatHlpr
