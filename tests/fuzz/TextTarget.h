// The start of a text fuzz target: writing its seeds when asked, else a
// scratch folder of its own for the files one input needs, removed at exit.
#pragma once

#include <stdlib.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace vexav::fuzz {

// With VEXAV_FUZZ_WRITE_SEEDS set, writes the target's seeds into that
// folder and ends the process; otherwise returns a new scratch folder.
inline std::string StartTextTarget(void (*WriteSeeds)(const std::filesystem::path&)) {
  if (const char* Seeds = std::getenv("VEXAV_FUZZ_WRITE_SEEDS"); Seeds && *Seeds) {
    WriteSeeds(Seeds);
    std::exit(0);
  }
  static std::string Folder =
      (std::filesystem::temp_directory_path() / "vexav-fuzz-XXXXXX").string();
  if (!mkdtemp(Folder.data())) {
    std::perror("mkdtemp");
    std::abort();
  }
  std::atexit([] {
    std::error_code Ignored;
    std::filesystem::remove_all(Folder, Ignored);
  });
  return Folder;
}

}  // namespace vexav::fuzz
