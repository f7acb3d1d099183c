#include "binding/MyUtilHlpr.h"

namespace vexav::MyUtilHlpr {

std::string LibFileName() { return "libc.so.6"; }

bool LoadLib(std::string& ErrorText, const std::string& Folder) {
  (void)ErrorText;
  (void)Folder;
  return true;
}

void UnloadLib() {}

bool LibLoaded() { return true; }

}  // namespace vexav::MyUtilHlpr
