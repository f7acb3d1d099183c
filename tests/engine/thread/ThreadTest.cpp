// Worker threads: started only by Resume, run Execute on a thread of their
// own at their priority, and free themselves when it returns.

#include "engine/thread/Thread.h"

#include <gtest/gtest.h>

#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <future>
#include <stdexcept>
#include <thread>

namespace vexav {
namespace {

using namespace std::chrono_literals;

// Generous: the machine is loaded and idle-priority threads may wait long.
constexpr auto WAIT_LIMIT = 60s;

// What Execute saw of its own thread.
struct Observation {
  TThreadID KernelID = 0;
  TThreadID ThreadIDProperty = 0;
  int Policy = -1;
  int Nice = 0;
};

int NiceOf(TThreadID Who) {
  errno = 0;
  const int Value = ::getpriority(PRIO_PROCESS, static_cast<id_t>(Who));
  EXPECT_FALSE(Value == -1 && errno != 0);
  return Value;
}

Observation ObserveSelf(TThreadID Property) {
  Observation Seen;
  Seen.KernelID = ::gettid();
  Seen.ThreadIDProperty = Property;
  Seen.Policy = ::sched_getscheduler(0);
  Seen.Nice = NiceOf(Seen.KernelID);
  return Seen;
}

// Reports what its thread looks like, then that it has been destroyed.
class ProbeThread : public TThread {
 public:
  ProbeThread(TThreadPriority Priority, std::promise<Observation>& Seen, std::promise<void>& Destroyed)
      : TThread(Priority), Seen(Seen), Destroyed(Destroyed) {}
  ~ProbeThread() override { Destroyed.set_value(); }

 protected:
  void Execute() override { Seen.set_value(ObserveSelf(ThreadID())); }

 private:
  std::promise<Observation>& Seen;
  std::promise<void>& Destroyed;
};

// Runs one ProbeThread at Priority to its end and returns what it saw.
Observation RunProbe(TThreadPriority Priority) {
  std::promise<Observation> Seen;
  std::promise<void> Destroyed;
  auto SeenFuture = Seen.get_future();
  auto DestroyedFuture = Destroyed.get_future();
  (new ProbeThread(Priority, Seen, Destroyed))->Resume();
  EXPECT_EQ(SeenFuture.wait_for(WAIT_LIMIT), std::future_status::ready);
  EXPECT_EQ(DestroyedFuture.wait_for(WAIT_LIMIT), std::future_status::ready);
  return SeenFuture.get();
}

int ProcessNice() { return NiceOf(::getpid()); }

// --- Start, thread id, freeing -------------------------------------------------

TEST(RuntimeThreadTest, CurrentThreadIdIsTheKernelId) {
  EXPECT_EQ(CurrentThreadID(), ::gettid());
  EXPECT_NE(CurrentThreadID(), 0);
  std::promise<TThreadID> Other;
  std::thread([&] { Other.set_value(CurrentThreadID()); }).join();
  EXPECT_NE(Other.get_future().get(), CurrentThreadID());
}

TEST(RuntimeThreadTest, CreatedSuspendedThenRunsOnANewThreadAndFreesItself) {
  std::promise<Observation> Seen;
  std::promise<void> Destroyed;
  auto SeenFuture = Seen.get_future();
  auto DestroyedFuture = Destroyed.get_future();
  auto* Thread = new ProbeThread(TThreadPriority::tpNormal, Seen, Destroyed);
  EXPECT_FALSE(Thread->Started());
  EXPECT_EQ(Thread->ThreadID(), 0);
  EXPECT_EQ(SeenFuture.wait_for(100ms), std::future_status::timeout) << "ran before Resume";

  const TThreadID Id = Thread->Resume();
  ASSERT_EQ(SeenFuture.wait_for(WAIT_LIMIT), std::future_status::ready);
  const Observation Observed = SeenFuture.get();
  EXPECT_NE(Id, 0);
  EXPECT_NE(Id, CurrentThreadID());
  EXPECT_EQ(Observed.KernelID, Id);
  EXPECT_EQ(Observed.ThreadIDProperty, Id);
  EXPECT_EQ(DestroyedFuture.wait_for(WAIT_LIMIT), std::future_status::ready) << "not freed";
}

TEST(RuntimeThreadTest, NeverResumedThreadIsDeletedByItsCreator) {
  std::promise<Observation> Seen;
  std::promise<void> Destroyed;
  auto SeenFuture = Seen.get_future();
  auto DestroyedFuture = Destroyed.get_future();
  delete new ProbeThread(TThreadPriority::tpNormal, Seen, Destroyed);
  EXPECT_EQ(DestroyedFuture.wait_for(0s), std::future_status::ready);
  EXPECT_EQ(SeenFuture.wait_for(0s), std::future_status::timeout);
}

// Records whether BeforeExecute had run when Execute began, and resumes
// itself once more from inside Execute.
class OrderThread : public TThread {
 public:
  std::atomic<bool> BeforeDone{false};
  std::promise<std::pair<bool, TThreadID>>& Result;
  explicit OrderThread(std::promise<std::pair<bool, TThreadID>>& Result) : Result(Result) {}

 protected:
  void Execute() override { Result.set_value({BeforeDone.load(), Resume()}); }
};

TEST(RuntimeThreadTest, BeforeExecuteRunsWithTheIdBeforeExecuteBegins) {
  std::promise<std::pair<bool, TThreadID>> Result;
  auto ResultFuture = Result.get_future();
  auto* Thread = new OrderThread(Result);
  TThreadID Recorded = 0;
  const TThreadID Id = Thread->Resume([&](TThreadID Known) {
    std::this_thread::sleep_for(50ms);  // Execute must still wait
    Recorded = Known;
    Thread->BeforeDone = true;
  });
  EXPECT_EQ(Recorded, Id);
  ASSERT_EQ(ResultFuture.wait_for(WAIT_LIMIT), std::future_status::ready);
  const auto [BeforeDone, SecondResume] = ResultFuture.get();
  EXPECT_TRUE(BeforeDone);
  // Resuming a started thread does nothing but return its id.
  EXPECT_EQ(SecondResume, Id);
}

class ThrowingThread : public TThread {
 public:
  explicit ThrowingThread(std::promise<void>& Destroyed) : Destroyed(Destroyed) {}
  ~ThrowingThread() override { Destroyed.set_value(); }

 protected:
  void Execute() override { throw std::runtime_error("worker failure"); }

 private:
  std::promise<void>& Destroyed;
};

TEST(RuntimeThreadTest, ExceptionLeavingExecuteEndsOnlyTheThread) {
  std::promise<void> Destroyed;
  auto DestroyedFuture = Destroyed.get_future();
  (new ThrowingThread(Destroyed))->Resume();
  EXPECT_EQ(DestroyedFuture.wait_for(WAIT_LIMIT), std::future_status::ready);
}

TEST(RuntimeThreadTest, FailingBeforeExecuteSkipsExecuteAndFreesTheThread) {
  std::promise<Observation> Seen;
  std::promise<void> Destroyed;
  auto SeenFuture = Seen.get_future();
  auto DestroyedFuture = Destroyed.get_future();
  auto* Thread = new ProbeThread(TThreadPriority::tpNormal, Seen, Destroyed);
  EXPECT_THROW(Thread->Resume([](TThreadID) { throw std::runtime_error("no id slot"); }), std::runtime_error);
  EXPECT_EQ(DestroyedFuture.wait_for(WAIT_LIMIT), std::future_status::ready);
  EXPECT_EQ(SeenFuture.wait_for(0s), std::future_status::timeout);
}

// --- Priorities ------------------------------------------------------------------

TEST(RuntimeThreadPriorityTest, IdleRunsUnderSchedIdle) {
  const Observation Seen = RunProbe(TThreadPriority::tpIdle);
  EXPECT_EQ(Seen.Policy, SCHED_IDLE);
}

TEST(RuntimeThreadPriorityTest, LowerAndLowestRaiseTheNiceValue) {
  const int Base = ProcessNice();
  const Observation Lower = RunProbe(TThreadPriority::tpLower);
  EXPECT_EQ(Lower.Policy, SCHED_OTHER);
  EXPECT_EQ(Lower.Nice, std::min(Base + 5, 19));
  const Observation Lowest = RunProbe(TThreadPriority::tpLowest);
  EXPECT_EQ(Lowest.Policy, SCHED_OTHER);
  EXPECT_EQ(Lowest.Nice, std::min(Base + 10, 19));
}

TEST(RuntimeThreadPriorityTest, NormalLeavesTheThreadAsCreated) {
  const Observation Seen = RunProbe(TThreadPriority::tpNormal);
  EXPECT_EQ(Seen.Policy, ::sched_getscheduler(0));
  EXPECT_EQ(Seen.Nice, NiceOf(CurrentThreadID()));
}

// Starts a second thread at its own priority from inside Execute, as a
// finishing worker starts the next one.
class ChainThread : public TThread {
 public:
  ChainThread(TThreadPriority Priority, std::promise<Observation>& Own, std::promise<Observation>& Next,
              std::promise<void>& NextDestroyed)
      : TThread(Priority), Own(Own), Next(Next), NextDestroyed(NextDestroyed) {}

 protected:
  void Execute() override {
    Own.set_value(ObserveSelf(ThreadID()));
    (new ProbeThread(Priority(), Next, NextDestroyed))->Resume();
  }

 private:
  std::promise<Observation>& Own;
  std::promise<Observation>& Next;
  std::promise<void>& NextDestroyed;
};

TEST(RuntimeThreadPriorityTest, ThreadStartedFromAWorkerDoesNotSinkFurther) {
  const int Base = ProcessNice();
  std::promise<Observation> Own, Next;
  std::promise<void> NextDestroyed;
  auto OwnFuture = Own.get_future();
  auto NextFuture = Next.get_future();
  auto NextDestroyedFuture = NextDestroyed.get_future();
  (new ChainThread(TThreadPriority::tpLower, Own, Next, NextDestroyed))->Resume();
  ASSERT_EQ(OwnFuture.wait_for(WAIT_LIMIT), std::future_status::ready);
  ASSERT_EQ(NextFuture.wait_for(WAIT_LIMIT), std::future_status::ready);
  const Observation First = OwnFuture.get();
  const Observation Second = NextFuture.get();
  EXPECT_NE(First.KernelID, Second.KernelID);
  EXPECT_EQ(First.Nice, std::min(Base + 5, 19));
  EXPECT_EQ(Second.Nice, std::min(Base + 5, 19));
  EXPECT_EQ(NextDestroyedFuture.wait_for(WAIT_LIMIT), std::future_status::ready);
}

TEST(RuntimeThreadPriorityTest, ApplyToTheCallingThread) {
  // On a thread of the test's own, which ends afterwards.
  std::promise<std::pair<bool, Observation>> Result;
  std::thread([&] {
    const bool Ok = ApplyThreadPriority(TThreadPriority::tpLowest);
    Result.set_value({Ok, ObserveSelf(0)});
  }).join();
  const auto [Ok, Seen] = Result.get_future().get();
  EXPECT_TRUE(Ok);
  EXPECT_EQ(Seen.Nice, std::min(ProcessNice() + 10, 19));
}

}  // namespace
}  // namespace vexav
