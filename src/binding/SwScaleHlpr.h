// Run-time binding of libswscale: the module's entry variables and its
// loading operations.
#pragma once

#include <string>

#include "binding/LibModule.h"
#include "binding/SwScaleHlprEntries.h"

extern "C" {
#include <libswscale/swscale.h>
}

namespace vexav::SwScaleHlpr {

VEXAV_SWSCALE_ENTRIES(VEXAV_DECLARE_ENTRY)

std::string LibFileName();
bool LoadLib(std::string& ErrorText, const std::string& Folder, bool Versioned);
void UnloadLib();
bool LibLoaded();
binding::LibModule& Module();

}  // namespace vexav::SwScaleHlpr
