// Run-time binding of libavcodec: the module's entry variables and its
// loading operations.
#pragma once

#include <string>

#include "binding/LibModule.h"
#include "binding/AVCodecHlprEntries.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/bsf.h>
}

namespace vexav::AVCodecHlpr {

VEXAV_AVCODEC_ENTRIES(VEXAV_DECLARE_ENTRY)

std::string LibFileName();
// RegisterAll is kept for callers written for older libraries, which had
// to register their codecs and formats; today's libraries need nothing.
bool LoadLib(std::string& ErrorText, const std::string& Folder, bool Versioned, bool RegisterAll);
void UnloadLib();
bool LibLoaded();
binding::LibModule& Module();

}  // namespace vexav::AVCodecHlpr
