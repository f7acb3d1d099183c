#include "binding/AVFilterHlpr.h"

namespace vexav::AVFilterHlpr {

VEXAV_AVFILTER_ENTRIES(VEXAV_DEFINE_ENTRY)

namespace {
const binding::EntrySlot Entries[] = {VEXAV_AVFILTER_ENTRIES(VEXAV_ENTRY_SLOT)};
}  // namespace

binding::LibModule& Module() {
  static binding::LibModule Instance("libavfilter.so." VEXAV_STR(LIBAVFILTER_VERSION_MAJOR), "libavfilter.so", Entries,
                                     sizeof Entries / sizeof Entries[0]);
  return Instance;
}

std::string LibFileName() { return Module().LibFileName(); }

bool LoadLib(std::string& ErrorText, const std::string& Folder, bool Versioned, bool RegisterAll) {
  (void)RegisterAll;
  return Module().LoadLib(ErrorText, Folder, Versioned);
}

void UnloadLib() { Module().UnloadLib(); }

bool LibLoaded() { return Module().LibLoaded(); }

}  // namespace vexav::AVFilterHlpr
