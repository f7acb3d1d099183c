// Calls handed to the owner's thread (the thread that created the component
// and drives it): the component's one-shot timers of owner's-thread runs go
// through here. The window implements the dispatcher over its event loop;
// the command-line program and the tests use TRunLoopDispatcher.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <utility>

#include "../Export.h"

namespace vexav {

class VEXAV_API TOwnerDispatcher {
 public:
  virtual ~TOwnerDispatcher() = default;
  // Runs Call once on the owner's thread, no sooner than Milliseconds after
  // this call (0 or less: as soon as the owner gets to it). Calls that fall
  // due together run in the order they were posted. Callable from any
  // thread.
  virtual void PostDelayed(std::function<void()> Call, int Milliseconds) = 0;
};

// A run loop of the component's own: the owner's thread runs it with
// RunUntil, ProcessFor or ProcessDue, and the posted calls run on that thread
// inside those, in the order they fall due. Calls that have not run when the
// dispatcher is destroyed are dropped.
class VEXAV_API TRunLoopDispatcher final : public TOwnerDispatcher {
 public:
  TRunLoopDispatcher() = default;
  TRunLoopDispatcher(const TRunLoopDispatcher&) = delete;
  TRunLoopDispatcher& operator=(const TRunLoopDispatcher&) = delete;

  void PostDelayed(std::function<void()> Call, int Milliseconds) override;

  // Runs calls as they fall due until Done returns true, and returns true
  // then; Done is asked before waiting and after every call, and at least
  // every 10 ms while waiting, so a flag set by another thread is seen.
  // TimeoutMs < 0 waits without limit; otherwise returns false once that
  // much time has passed with Done still false.
  bool RunUntil(const std::function<bool()>& Done, int TimeoutMs = -1);
  // Runs calls as they fall due for Milliseconds.
  void ProcessFor(int Milliseconds);
  // Runs the calls that are due now, without waiting; returns how many ran.
  int ProcessDue();
  // Makes a waiting RunUntil ask Done again at once.
  void Wake();

  // Calls posted and not run yet.
  std::size_t PendingCount() const;

 private:
  using TClock = std::chrono::steady_clock;
  // Ordered by due time, then by posting order.
  using TKey = std::pair<TClock::time_point, std::uint64_t>;

  // Takes the first call if it is due at Now; false when none is.
  VEXAV_LOCAL bool TakeDue(TClock::time_point Now, std::function<void()>& Call);
  // Waits until the first call falls due, Limit passes or a post or Wake
  // arrives, whichever is first.
  VEXAV_LOCAL void WaitNext(TClock::time_point Limit);

  mutable std::mutex FLock;
  std::condition_variable FChanged;
  std::map<TKey, std::function<void()>> FCalls;
  std::uint64_t FNextSequence = 0;
  std::uint64_t FWakeCount = 0;
};

}  // namespace vexav
