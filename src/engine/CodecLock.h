// The process-wide lock around the media libraries' codec opening and
// closing and stream-parameter probing: the libraries do not allow these to
// run from several threads at once, and every engine (each on its own worker
// thread) shares the one lock.
#pragma once

#include <mutex>

namespace vexav {

// Recursive, so that a holder may open or close a further codec (or probe a
// file) inside a section that already holds it.
std::recursive_mutex& CodecLock();

}  // namespace vexav
