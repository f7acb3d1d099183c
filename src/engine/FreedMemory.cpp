#include "engine/FreedMemory.h"

#include <mutex>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace vexav {

void LimitRetainedMemory() {
#if defined(__GLIBC__)
  static std::once_flag Once;
  std::call_once(Once, [] {
    // Setting either value stops the library from raising both.
    constexpr int Threshold = 128 * 1024;
    ::mallopt(M_MMAP_THRESHOLD, Threshold);
    ::mallopt(M_TRIM_THRESHOLD, Threshold);
  });
#endif
}

void ReturnFreedMemory() {
#if defined(__GLIBC__)
  ::malloc_trim(0);
#endif
}

}  // namespace vexav
