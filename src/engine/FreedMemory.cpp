#include "engine/FreedMemory.h"

#include <mutex>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

// Under a sanitizer the sanitizer's allocator serves every allocation: the C
// library's own pools hold nothing of ours, and tuning or trimming them from
// one thread while another thread exits trips the C library's own checks.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VEXAV_SANITIZER_ALLOCATOR 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define VEXAV_SANITIZER_ALLOCATOR 1
#endif
#endif
#if defined(__GLIBC__) && !defined(VEXAV_SANITIZER_ALLOCATOR)
#define VEXAV_TUNE_GLIBC_MALLOC 1
#endif

namespace vexav {

void LimitRetainedMemory() {
#if defined(VEXAV_TUNE_GLIBC_MALLOC)
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
#if defined(VEXAV_TUNE_GLIBC_MALLOC)
  ::malloc_trim(0);
#endif
}

}  // namespace vexav
