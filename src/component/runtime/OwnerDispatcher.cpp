#include "component/runtime/OwnerDispatcher.h"

#include <algorithm>

namespace vexav {
namespace {

// The longest a waiting RunUntil goes without asking its predicate.
constexpr std::chrono::milliseconds POLL_INTERVAL{10};

}  // namespace

void TRunLoopDispatcher::PostDelayed(std::function<void()> Call, int Milliseconds) {
  if (!Call) return;
  const auto Due = TClock::now() + std::chrono::milliseconds(std::max(Milliseconds, 0));
  {
    std::lock_guard<std::mutex> Guard(FLock);
    FCalls.emplace(TKey{Due, FNextSequence++}, std::move(Call));
  }
  FChanged.notify_all();
}

void TRunLoopDispatcher::Wake() {
  {
    std::lock_guard<std::mutex> Guard(FLock);
    ++FWakeCount;
  }
  FChanged.notify_all();
}

std::size_t TRunLoopDispatcher::PendingCount() const {
  std::lock_guard<std::mutex> Guard(FLock);
  return FCalls.size();
}

bool TRunLoopDispatcher::TakeDue(TClock::time_point Now, std::function<void()>& Call) {
  std::lock_guard<std::mutex> Guard(FLock);
  if (FCalls.empty() || FCalls.begin()->first.first > Now) return false;
  Call = std::move(FCalls.begin()->second);
  FCalls.erase(FCalls.begin());
  return true;
}

void TRunLoopDispatcher::WaitNext(TClock::time_point Limit) {
  std::unique_lock<std::mutex> Guard(FLock);
  const std::uint64_t Wakes = FWakeCount;
  const std::uint64_t Posted = FNextSequence;
  auto Until = Limit;
  if (!FCalls.empty()) Until = std::min(Until, FCalls.begin()->first.first);
  FChanged.wait_until(Guard, Until, [&] {
    return FWakeCount != Wakes || FNextSequence != Posted || TClock::now() >= Until;
  });
}

int TRunLoopDispatcher::ProcessDue() {
  int Count = 0;
  std::function<void()> Call;
  // A call posted by a running call with no delay runs in this pass too.
  while (TakeDue(TClock::now(), Call)) {
    Call();
    Call = nullptr;
    ++Count;
  }
  return Count;
}

bool TRunLoopDispatcher::RunUntil(const std::function<bool()>& Done, int TimeoutMs) {
  const bool Limited = TimeoutMs >= 0;
  const auto End = TClock::now() + std::chrono::milliseconds(std::max(TimeoutMs, 0));
  for (;;) {
    if (Done && Done()) return true;
    std::function<void()> Call;
    if (TakeDue(TClock::now(), Call)) {
      Call();
      continue;
    }
    const auto Now = TClock::now();
    if (Limited && Now >= End) return Done && Done();
    auto Limit = Now + POLL_INTERVAL;
    if (Limited) Limit = std::min(Limit, End);
    WaitNext(Limit);
  }
}

void TRunLoopDispatcher::ProcessFor(int Milliseconds) { RunUntil(nullptr, std::max(Milliseconds, 0)); }

}  // namespace vexav

