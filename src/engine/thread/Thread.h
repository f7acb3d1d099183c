// Worker threads of the engine (its run and terminate threads) and of the
// component above it: created suspended, started once with a priority,
// detached, and freeing themselves when their Execute returns.
#pragma once

#include <atomic>
#include <functional>

#include "engine/thread/ThreadTypes.h"

namespace vexav {

// The calling thread's kernel thread id.
TThreadID CurrentThreadID();

// Puts the calling thread at Priority, measured against the process's own
// nice value (the main thread's), so that a worker started from another
// worker does not inherit a lowered level on top of its own:
// - tpIdle: the SCHED_IDLE policy (runs only when the processors are idle);
// - tpLowest: SCHED_OTHER at the process's nice value + 10;
// - tpLower: SCHED_OTHER at the process's nice value + 5;
// - tpNormal: SCHED_OTHER at the process's nice value.
// Nice values are capped at 19. Going back up from an inherited lower level
// needs privileges the process may lack; the thread then stays where it is.
// Returns false when the system refused a change.
bool ApplyThreadPriority(TThreadPriority Priority);

// A worker thread. Derive, implement Execute, create with new, then call
// Resume once. From then on the object belongs to its thread: it is deleted
// right after Execute returns, so the creator must not delete it nor touch it
// after Resume has returned. An object that is never resumed is an ordinary
// object and is deleted by its creator.
class TThread {
 public:
  // Created suspended: no system thread exists until Resume.
  explicit TThread(TThreadPriority Priority = TThreadPriority::tpNormal);
  virtual ~TThread();
  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;

  // Starts the thread: a detached system thread sets its priority, and once
  // its kernel id is known BeforeExecute (when given) runs on the calling
  // thread with that id, before Execute begins; this is where a creator
  // records the id that Execute's first log lines will be looked up by.
  // Returns the kernel id. A second call on a started thread does nothing and
  // returns the id. Throws std::system_error when no thread can be created
  // (the object then stays suspended and is still the creator's). When
  // BeforeExecute throws, the thread ends without running Execute and frees
  // the object, and the exception reaches the caller.
  TThreadID Resume(const std::function<void(TThreadID)>& BeforeExecute = {});
  TThreadID Start(const std::function<void(TThreadID)>& BeforeExecute = {}) {
    return Resume(BeforeExecute);
  }

  // The priority the thread starts at; changing it after Resume has no effect.
  TThreadPriority Priority() const { return FPriority; }
  void SetPriority(TThreadPriority Value) { FPriority = Value; }

  // The kernel id, 0 until the thread has started.
  TThreadID ThreadID() const { return FThreadID.load(std::memory_order_acquire); }
  bool Started() const { return FStarted.load(std::memory_order_acquire); }

 protected:
  // The thread's work, run on the new thread at its priority.
  virtual void Execute() = 0;

 private:
  TThreadPriority FPriority;
  std::atomic<TThreadID> FThreadID{0};
  std::atomic<bool> FStarted{false};
};

}  // namespace vexav
