#include "engine/thread/Thread.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <future>
#include <thread>

namespace vexav {

TThreadID CurrentThreadID() { return ::gettid(); }

namespace {

// The nice value of one thread (a kernel id) or, given the process id, of
// the process's main thread. False when it cannot be read.
bool ReadNice(TThreadID Who, int& Nice) {
  errno = 0;
  int Value = ::getpriority(PRIO_PROCESS, static_cast<id_t>(Who));
  if (Value == -1 && errno != 0) return false;
  Nice = Value;
  return true;
}

int NiceOffset(TThreadPriority Priority) {
  switch (Priority) {
    case TThreadPriority::tpLowest:
      return 10;
    case TThreadPriority::tpLower:
      return 5;
    default:
      return 0;
  }
}

}  // namespace

bool ApplyThreadPriority(TThreadPriority Priority) {
  sched_param Param{};
  if (Priority == TThreadPriority::tpIdle) {
    Param.sched_priority = 0;
    return ::pthread_setschedparam(::pthread_self(), SCHED_IDLE, &Param) == 0;
  }

  bool Ok = true;
  const TThreadID Self = CurrentThreadID();
  const pid_t Process = ::getpid();

  // The policy: the main thread's. A thread started from an idle worker
  // inherits SCHED_IDLE and is put back here.
  int Policy = 0;
  if (::pthread_getschedparam(::pthread_self(), &Policy, &Param) == 0) {
    sched_param BaseParam{};
    int BasePolicy = ::sched_getscheduler(Process);
    if (BasePolicy >= 0 && BasePolicy != SCHED_IDLE && BasePolicy != Policy &&
        ::sched_getparam(Process, &BaseParam) == 0)
      Ok = ::pthread_setschedparam(::pthread_self(), BasePolicy, &BaseParam) == 0;
  }

  // The nice value: the main thread's plus the priority's offset. Measured
  // against the process rather than the creating thread, so that a chain of
  // workers each starting the next stays at one level.
  int Current = 0;
  if (!ReadNice(Self, Current)) return false;
  int Base = Current;
  if (!ReadNice(Process, Base)) Base = Current;
  const int Target = std::min(Base + NiceOffset(Priority), 19);
  if (Target != Current && ::setpriority(PRIO_PROCESS, static_cast<id_t>(Self), Target) != 0)
    Ok = false;
  return Ok;
}

TThread::TThread(TThreadPriority Priority) : FPriority(Priority) {}

TThread::~TThread() = default;

TThreadID TThread::Resume(const std::function<void(TThreadID)>& BeforeExecute) {
  if (FStarted.exchange(true, std::memory_order_acq_rel)) return ThreadID();

  // Two hand-overs: the new thread reports its id, then waits for the go
  // ahead, so that BeforeExecute runs before Execute and this function never
  // touches the object once Execute may have begun (and may have freed it).
  std::promise<TThreadID> IdPromise;
  std::future<TThreadID> IdKnown = IdPromise.get_future();
  std::promise<void> GoPromise;
  std::future<void> Go = GoPromise.get_future();
  const TThreadPriority StartPriority = FPriority;

  try {
    std::thread([this, StartPriority, IdPromise = std::move(IdPromise), Go = std::move(Go)]() mutable {
      // The id is published before the priority drops: an idle-priority
      // thread may wait long for a processor, and the creator waits for it.
      const TThreadID Id = CurrentThreadID();
      FThreadID.store(Id, std::memory_order_release);
      IdPromise.set_value(Id);
      ApplyThreadPriority(StartPriority);
      bool Proceed = true;
      try {
        Go.get();
      } catch (...) {
        // BeforeExecute failed in the creator: the thread ends without work.
        Proceed = false;
      }
      if (Proceed) {
        try {
          Execute();
        } catch (...) {
          // An exception that leaves Execute ends the thread and nothing
          // else: a worker's own errors are reported by its Execute.
        }
      }
      delete this;
    }).detach();
  } catch (...) {
    FStarted.store(false, std::memory_order_release);
    throw;
  }

  const TThreadID Id = IdKnown.get();
  if (BeforeExecute) {
    try {
      BeforeExecute(Id);
    } catch (...) {
      GoPromise.set_exception(std::current_exception());
      throw;
    }
  }
  GoPromise.set_value();
  return Id;
}

}  // namespace vexav
