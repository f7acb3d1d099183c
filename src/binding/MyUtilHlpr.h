// The runtime-forwarding module. Its functions are the C runtime's own
// (vsnprintf, fopen, strtol, ...), which the media libraries share on this
// platform, so nothing is loaded and the module always reports itself loaded.
#pragma once

#include <string>

namespace vexav::MyUtilHlpr {

std::string LibFileName();
bool LoadLib(std::string& ErrorText, const std::string& Folder);
void UnloadLib();
bool LibLoaded();

}  // namespace vexav::MyUtilHlpr
