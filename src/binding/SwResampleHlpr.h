// Run-time binding of libswresample: the module's entry variables and its
// loading operations.
#pragma once

#include <string>

#include "binding/LibModule.h"
#include "binding/SwResampleHlprEntries.h"

extern "C" {
#include <libswresample/swresample.h>
}

namespace vexav::SwResampleHlpr {

VEXAV_SWRESAMPLE_ENTRIES(VEXAV_DECLARE_ENTRY)

std::string LibFileName();
bool LoadLib(std::string& ErrorText, const std::string& Folder, bool Versioned);
void UnloadLib();
bool LibLoaded();
binding::LibModule& Module();

}  // namespace vexav::SwResampleHlpr
