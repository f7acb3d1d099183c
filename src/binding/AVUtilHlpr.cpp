#include "binding/AVUtilHlpr.h"

namespace vexav::AVUtilHlpr {

VEXAV_AVUTIL_ENTRIES(VEXAV_DEFINE_ENTRY)

namespace {
const binding::EntrySlot Entries[] = {VEXAV_AVUTIL_ENTRIES(VEXAV_ENTRY_SLOT)};
}  // namespace

binding::LibModule& Module() {
  static binding::LibModule Instance("libavutil.so." VEXAV_STR(LIBAVUTIL_VERSION_MAJOR), "libavutil.so", Entries,
                                     sizeof Entries / sizeof Entries[0]);
  return Instance;
}

std::string LibFileName() { return Module().LibFileName(); }

bool LoadLib(std::string& ErrorText, const std::string& Folder, bool Versioned) {
  return Module().LoadLib(ErrorText, Folder, Versioned);
}

void UnloadLib() { Module().UnloadLib(); }

bool LibLoaded() { return Module().LibLoaded(); }

}  // namespace vexav::AVUtilHlpr
