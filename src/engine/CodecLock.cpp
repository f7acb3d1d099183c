#include "engine/CodecLock.h"

namespace vexav {

std::recursive_mutex& CodecLock() {
  // Made on first use, never destroyed: worker threads that end after the
  // program's static objects are gone may still take it.
  static auto* Lock = new std::recursive_mutex;
  return *Lock;
}

}  // namespace vexav
