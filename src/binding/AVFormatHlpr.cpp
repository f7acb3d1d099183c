#include "binding/AVFormatHlpr.h"

namespace vexav::AVFormatHlpr {

VEXAV_AVFORMAT_ENTRIES(VEXAV_DEFINE_ENTRY)

namespace {
const binding::EntrySlot Entries[] = {VEXAV_AVFORMAT_ENTRIES(VEXAV_ENTRY_SLOT)};
}  // namespace

binding::LibModule& Module() {
  static binding::LibModule Instance("libavformat.so." VEXAV_STR(LIBAVFORMAT_VERSION_MAJOR), "libavformat.so", Entries,
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

}  // namespace vexav::AVFormatHlpr
