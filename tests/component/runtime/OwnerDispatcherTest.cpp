// The component's own owner-thread dispatcher: posted calls run on the thread
// that runs the loop, not before their delay, in the order they fall due.

#include "component/runtime/OwnerDispatcher.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace vexav {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int WAIT_LIMIT_MS = 60000;

struct Ran {
  std::string Name;
  std::thread::id Thread;
  Clock::duration After;  // since the test's start
};

TEST(RuntimeDispatcherTest, RunsCallsOnTheOwnerThreadInDueOrderAndNotEarly) {
  TRunLoopDispatcher Dispatcher;
  std::vector<Ran> Log;
  const auto Start = Clock::now();
  auto Post = [&](std::string Name, int Delay) {
    Dispatcher.PostDelayed([&, Name] { Log.push_back({Name, std::this_thread::get_id(), Clock::now() - Start}); },
                           Delay);
  };
  Post("60", 60);
  Post("20", 20);
  Post("0a", 0);
  Post("40", 40);
  Post("0b", 0);
  EXPECT_EQ(Dispatcher.PendingCount(), 5u);
  EXPECT_TRUE(Log.empty()) << "ran outside the loop";

  ASSERT_TRUE(Dispatcher.RunUntil([&] { return Log.size() == 5; }, WAIT_LIMIT_MS));
  std::vector<std::string> Order;
  for (const auto& Call : Log) {
    Order.push_back(Call.Name);
    EXPECT_EQ(Call.Thread, std::this_thread::get_id()) << Call.Name;
    const int Delay = Call.Name[0] == '0' ? 0 : std::stoi(Call.Name);
    EXPECT_GE(Call.After, std::chrono::milliseconds(Delay)) << Call.Name;
  }
  EXPECT_EQ(Order, (std::vector<std::string>{"0a", "0b", "20", "40", "60"}));
  EXPECT_EQ(Dispatcher.PendingCount(), 0u);
}

TEST(RuntimeDispatcherTest, CallsPostedFromAnotherThreadRunOnTheOwnerThread) {
  TRunLoopDispatcher Dispatcher;
  std::vector<std::thread::id> RanOn;
  std::thread::id Poster;
  std::thread Worker([&] {
    Poster = std::this_thread::get_id();
    for (int I = 0; I < 3; ++I)
      Dispatcher.PostDelayed([&] { RanOn.push_back(std::this_thread::get_id()); }, 10 * I);
  });
  ASSERT_TRUE(Dispatcher.RunUntil([&] { return RanOn.size() == 3; }, WAIT_LIMIT_MS));
  Worker.join();
  for (const auto& Id : RanOn) {
    EXPECT_EQ(Id, std::this_thread::get_id());
    EXPECT_NE(Id, Poster);
  }
}

TEST(RuntimeDispatcherTest, CallPostedByACallRunsAfterItReturns) {
  TRunLoopDispatcher Dispatcher;
  std::vector<std::string> Log;
  Dispatcher.PostDelayed(
      [&] {
        Log.push_back("outer begins");
        Dispatcher.PostDelayed([&] { Log.push_back("inner"); }, 0);
        Log.push_back("outer ends");
      },
      0);
  EXPECT_EQ(Dispatcher.ProcessDue(), 2);
  EXPECT_EQ(Log, (std::vector<std::string>{"outer begins", "outer ends", "inner"}));
}

TEST(RuntimeDispatcherTest, CallsNotYetDueWait) {
  TRunLoopDispatcher Dispatcher;
  bool Late = false, Soon = false;
  Dispatcher.PostDelayed([&] { Late = true; }, 600000);
  Dispatcher.PostDelayed([&] { Soon = true; }, 0);
  EXPECT_EQ(Dispatcher.ProcessDue(), 1);
  EXPECT_TRUE(Soon);

  const auto Start = Clock::now();
  EXPECT_FALSE(Dispatcher.RunUntil([] { return false; }, 50));
  EXPECT_GE(Clock::now() - Start, 50ms);
  Dispatcher.ProcessFor(30);
  EXPECT_GE(Clock::now() - Start, 80ms);
  EXPECT_FALSE(Late);
  EXPECT_EQ(Dispatcher.PendingCount(), 1u);
}

TEST(RuntimeDispatcherTest, ProcessForRunsWhatFallsDueMeanwhile) {
  TRunLoopDispatcher Dispatcher;
  std::atomic<int> Count{0};
  const auto Start = Clock::now();
  Dispatcher.PostDelayed([&] { ++Count; }, 20);
  // Fall due well inside the period even on a loaded machine.
  Dispatcher.ProcessFor(2000);
  EXPECT_GE(Clock::now() - Start, 2000ms);
  EXPECT_EQ(Count, 1);
}

TEST(RuntimeDispatcherTest, FlagSetByAnotherThreadEndsRunUntil) {
  TRunLoopDispatcher Dispatcher;
  std::atomic<bool> Done{false};
  std::thread Worker([&] {
    std::this_thread::sleep_for(20ms);
    Done = true;
    Dispatcher.Wake();
  });
  EXPECT_TRUE(Dispatcher.RunUntil([&] { return Done.load(); }, WAIT_LIMIT_MS));
  Worker.join();
}

}  // namespace
}  // namespace vexav
