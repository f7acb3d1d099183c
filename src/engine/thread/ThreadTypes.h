// The thread id and priority types of the worker threads (Thread.h), apart
// from the thread class, so that the converter component's interface can
// name them without it.
#pragma once

#include <sys/types.h>

namespace vexav {

// A kernel thread id, as gettid returns it; 0 stands for "no thread" (the
// kernel never hands it out to a thread of ours).
using TThreadID = pid_t;

// The priorities a worker thread can run at, lowest first.
enum class TThreadPriority { tpIdle, tpLowest, tpLower, tpNormal };

}  // namespace vexav
