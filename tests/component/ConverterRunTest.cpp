// Running tasks: one after another or several at once on worker threads, on
// the owner's thread from timers, stopping, the termination notices and the
// final notice, the threads events arrive on, library log lines attributed
// to the task that caused them, and the task list cleared by a handler.
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <array>
#include <atomic>
#include <cinttypes>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "ConverterFixture.h"
#include "binding/Text.h"

namespace vexav::test {
namespace {

using std::chrono::milliseconds;

class RunTest : public ConverterFixture {
 protected:
  void SetUp() override {
    ConverterFixture::SetUp();
    Owner = CurrentThreadID();
    C.SetProgressInterval(100);
  }

  // Every event so far arrived on a thread other than the owner's.
  void ExpectNoEventOnTheOwnersThread() {
    for (const auto& T : Events.TerminationsCopy())
      EXPECT_NE(T.Thread, Owner) << "termination " << T.Index;
    for (const auto& L : Events.LogsCopy()) EXPECT_NE(L.Thread, Owner) << L.Index << ": " << L.Text;
    for (const auto& P : Events.ProgressCopy()) EXPECT_NE(P.Thread, Owner) << "progress " << P.Index;
  }

  static int DecodedFrames(const std::string& Path) {
    const auto Decoded = mediagen::Decode(Path);
    EXPECT_EQ(Decoded.Error, "") << Path;
    return static_cast<int>(Decoded.Frames.size());
  }

  TThreadID Owner = 0;
};

TEST_F(RunTest, StartOneRunsThreeTasksInIndexOrderEachOnANewWorkerThread) {
  for (int I = 0; I < 3; ++I) AddCopyTask(Media().Short, "one-" + std::to_string(I) + ".avi");
  // What the next task's state is when a task's termination is raised.
  std::vector<TThreadID> NextThreadAtTermination(3, -1);
  Events.Attach(C, [&](const TerminateRecord& T) {
    if (T.Index >= 0 && T.Index < 2) NextThreadAtTermination[T.Index] = C.Task(T.Index + 1)->ThreadID;
    if (T.Index >= 0) {
      EXPECT_EQ(T.Thread, C.Task(T.Index)->ThreadID.load());
    }
  });
  ASSERT_TRUE(C.Start(1));
  EXPECT_EQ(C.ThreadCount(), 1);
  ASSERT_TRUE(Events.WaitFinal());

  const auto Terminations = Events.TerminationsCopy();
  ASSERT_EQ(Events.TerminatedIndices(), (std::vector<int>{0, 1, 2, -1}));
  for (const auto& T : Terminations) {
    EXPECT_TRUE(T.Finished) << T.Index;
    EXPECT_FALSE(T.Exception) << T.Index << " " << T.Message;
    EXPECT_EQ(T.Message, "");
  }
  // Each task started only after the previous one had ended.
  EXPECT_EQ(NextThreadAtTermination[0], 0);
  EXPECT_EQ(NextThreadAtTermination[1], 0);
  // Each on a thread of its own, none the owner's.
  std::set<TThreadID> Threads;
  for (int I = 0; I < 3; ++I) {
    const TThreadID Id = C.Task(I)->ThreadID;
    EXPECT_NE(Id, 0);
    EXPECT_NE(Id, Owner);
    Threads.insert(Id);
  }
  EXPECT_EQ(Threads.size(), 3u);
  // The final notice comes from the thread of the last task.
  EXPECT_EQ(Terminations.back().Thread, C.Task(2)->ThreadID.load());
  ExpectNoEventOnTheOwnersThread();
  for (int I = 0; I < 3; ++I) EXPECT_GT(DecodedFrames(OutPath("one-" + std::to_string(I) + ".avi")), 20);
  EXPECT_EQ(C.FinishedCount(), 3);
  EXPECT_EQ(C.PendingCount(), 0);
  // The run released the inputs; the probes let go of them.
  for (int I = 0; I < 3; ++I) {
    EXPECT_EQ(C.InputContext(I), nullptr);
    EXPECT_EQ(C.Task(I)->Probe().Context(), nullptr);
  }
}

TEST_F(RunTest, StartTwoStartsTwoAtOnceAndTheThirdFromTheFirstTermination) {
  for (int I = 0; I < 3; ++I) AddCopyTask(Media().Short, "two-" + std::to_string(I) + ".avi");
  std::mutex Mutex;
  std::vector<std::array<TThreadID, 3>> ThreadsAtTermination;
  Events.Attach(C, [&](const TerminateRecord& T) {
    if (T.Index < 0) return;
    std::lock_guard<std::mutex> Guard(Mutex);
    ThreadsAtTermination.push_back(
        {C.Task(0)->ThreadID.load(), C.Task(1)->ThreadID.load(), C.Task(2)->ThreadID.load()});
  });
  ASSERT_TRUE(C.Start(2));
  ASSERT_TRUE(Events.WaitFinal());

  auto Indices = Events.TerminatedIndices();
  ASSERT_EQ(Indices.size(), 4u);
  EXPECT_EQ(Indices.back(), -1);
  std::sort(Indices.begin(), Indices.end() - 1);
  EXPECT_EQ(Indices, (std::vector<int>{0, 1, 2, -1}));
  // At the first termination tasks 0 and 1 had both been started, task 2
  // not yet; the first termination was one of tasks 0 and 1.
  ASSERT_EQ(ThreadsAtTermination.size(), 3u);
  EXPECT_NE(ThreadsAtTermination[0][0], 0);
  EXPECT_NE(ThreadsAtTermination[0][1], 0);
  EXPECT_NE(ThreadsAtTermination[0][0], ThreadsAtTermination[0][1]);
  EXPECT_EQ(ThreadsAtTermination[0][2], 0);
  EXPECT_NE(Events.TerminationsCopy()[0].Index, 2);
  EXPECT_NE(C.Task(2)->ThreadID, 0);
  for (const auto& T : Events.TerminationsCopy()) EXPECT_TRUE(T.Finished) << T.Index;
  ExpectNoEventOnTheOwnersThread();
  for (int I = 0; I < 3; ++I) EXPECT_GT(DecodedFrames(OutPath("two-" + std::to_string(I) + ".avi")), 20);
}

TEST_F(RunTest, StartTwoRunsTwoTasksAtTheSameTime) {
  for (int I = 0; I < 2; ++I) AddCopyTask(Media().Short, "par-" + std::to_string(I) + ".avi", true);
  Events.Attach(C);
  ASSERT_TRUE(C.Start(2));
  // Both report progress before either ends.
  ASSERT_TRUE(Events.WaitStarted(0));
  ASSERT_TRUE(Events.WaitStarted(1));
  EXPECT_TRUE(Events.TerminationsCopy().empty());
  ASSERT_TRUE(Events.WaitFinal());
  EXPECT_EQ(Events.TerminationsCopy().size(), 3u);
}

TEST_F(RunTest, StartZeroRunsOnTheOwnersThreadFromTimers) {
  for (int I = 0; I < 3; ++I) AddCopyTask(Media().Short, "owner-" + std::to_string(I) + ".avi");
  Events.Attach(C);
  const auto Before = Clock::now();
  ASSERT_TRUE(C.Start(0));
  // Nothing runs inside Start: the first task waits for its timer.
  EXPECT_TRUE(Events.TerminationsCopy().empty());
  EXPECT_TRUE(Events.LogsCopy().empty());
  EXPECT_EQ(C.RunLoop().PendingCount(), 1u);
  EXPECT_EQ(C.Task(0)->ThreadID, 0);

  ASSERT_TRUE(C.RunLoop().RunUntil([&] { return Events.Finals() > 0; }, 60000));

  EXPECT_EQ(Events.TerminatedIndices(), (std::vector<int>{0, 1, 2, -1}));
  for (const auto& T : Events.TerminationsCopy()) {
    EXPECT_EQ(T.Thread, Owner) << T.Index;
    EXPECT_TRUE(T.Finished) << T.Index;
  }
  for (int I = 0; I < 3; ++I) EXPECT_EQ(C.Task(I)->ThreadID, Owner);
  // The first task 100 ms after Start, each next one 100 ms after the
  // previous one ended; its first line marks its start.
  const auto Logs = Events.LogsCopy();
  const auto Terminations = Events.TerminationsCopy();
  for (int I = 0; I < 3; ++I) {
    const auto First = std::find_if(Logs.begin(), Logs.end(), [&](const LogRecord& L) { return L.Index == I; });
    ASSERT_NE(First, Logs.end()) << I;
    EXPECT_EQ(First->Thread, Owner);
    const auto Earliest = I == 0 ? Before : Terminations[static_cast<std::size_t>(I - 1)].When;
    EXPECT_GE(First->When - Earliest, milliseconds(100)) << I;
  }
  for (const auto& L : Logs) EXPECT_EQ(L.Thread, Owner) << L.Text;
  EXPECT_EQ(C.RunLoop().PendingCount(), 0u);
}

TEST_F(RunTest, StartZeroUsesTheDispatcherTheOwnerGave) {
  TRunLoopDispatcher Loop;
  C.SetDispatcher(&Loop);
  AddCopyTask(Media().Short, "given.avi");
  Events.Attach(C);
  ASSERT_TRUE(C.Start(0));
  EXPECT_EQ(Loop.PendingCount(), 1u);
  EXPECT_EQ(C.RunLoop().PendingCount(), 0u);
  ASSERT_TRUE(Loop.RunUntil([&] { return Events.Finals() > 0; }, 60000));
  EXPECT_EQ(Events.TerminatedIndices(), (std::vector<int>{0, -1}));
  C.SetDispatcher(nullptr);
}

TEST_F(RunTest, StopDuringTaskOneOfThree) {
  for (int I = 0; I < 3; ++I) AddCopyTask(Media().Long, "stop-" + std::to_string(I) + ".avi", true);
  std::atomic<int> Policy{-1};
  Events.Attach(C, [&](const TerminateRecord& T) {
    if (T.Index == 2) Policy = ::sched_getscheduler(0);
  });
  ASSERT_TRUE(C.Start(1));
  // Task 1 runs (its first progress report arrived), then the stop.
  ASSERT_TRUE(Events.WaitStarted(1));
  C.Stop();
  EXPECT_EQ(C.PendingCount(), 0);
  ASSERT_TRUE(Events.WaitFinal());

  // Task 0 ended before the stop; the notices of tasks 1 and 2 come in
  // either order (task 1 still writes its trailer), the final one last.
  auto Indices = Events.TerminatedIndices();
  ASSERT_EQ(Indices.size(), 4u);
  EXPECT_EQ(Indices[0], 0);
  EXPECT_EQ(Indices[3], -1);
  std::sort(Indices.begin() + 1, Indices.end() - 1);
  EXPECT_EQ(Indices, (std::vector<int>{0, 1, 2, -1}));
  std::map<int, TerminateRecord> T;
  for (const auto& Record : Events.TerminationsCopy()) T.emplace(Record.Index, Record);
  EXPECT_TRUE(T.at(0).Finished);
  // Task 1 stopped: not finished, no error.
  EXPECT_FALSE(T.at(1).Finished);
  EXPECT_FALSE(T.at(1).Exception);
  EXPECT_EQ(T.at(1).Message, "");
  // Task 2 never ran: its notice came from a short-lived thread of its own.
  EXPECT_FALSE(T.at(2).Finished);
  EXPECT_FALSE(T.at(2).Exception);
  EXPECT_EQ(C.Task(2)->ThreadID, 0);
  EXPECT_NE(T.at(2).Thread, Owner);
  EXPECT_NE(T.at(2).Thread, C.Task(1)->ThreadID.load());
  EXPECT_NE(T.at(2).Thread, C.Task(0)->ThreadID.load());
  // That thread runs at idle priority.
  EXPECT_EQ(Policy, SCHED_IDLE);
  EXPECT_TRUE(T.at(-1).Finished);
  ExpectNoEventOnTheOwnersThread();
  // The stopped output is complete and readable, and shorter than the clip.
  const int Full = DecodedFrames(OutPath("stop-0.avi"));
  const int Stopped = DecodedFrames(OutPath("stop-1.avi"));
  EXPECT_GT(Stopped, 0);
  EXPECT_LT(Stopped, Full);
  // Progress reports carried the task index.
  for (const auto& P : Events.ProgressCopy()) EXPECT_TRUE(P.Index == 0 || P.Index == 1) << P.Index;
}

TEST_F(RunTest, WorkerThreadsRunAtTheThreadPriority) {
  AddCopyTask(Media().Short, "nice.avi");
  C.SetThreadPriority(TConvertPriority::tpLowest);
  EXPECT_EQ(C.ThreadPriority(), TConvertPriority::tpLowest);
  errno = 0;
  const int Base = ::getpriority(PRIO_PROCESS, static_cast<id_t>(::getpid()));
  std::atomic<int> Nice{-100};
  Events.Attach(C, [&](const TerminateRecord& T) {
    if (T.Index == 0) Nice = ::getpriority(PRIO_PROCESS, static_cast<id_t>(CurrentThreadID()));
  });
  ASSERT_TRUE(C.Start(1));
  ASSERT_TRUE(Events.WaitFinal());
  EXPECT_EQ(Nice, std::min(Base + 10, 19));
}

TEST_F(RunTest, StopBeforeStartNotifiesEveryTask) {
  for (int I = 0; I < 2; ++I) AddCopyTask(Media().Short, "early-" + std::to_string(I) + ".avi");
  Events.Attach(C);
  C.Stop();
  ASSERT_TRUE(Events.WaitFinal());
  auto Indices = Events.TerminatedIndices();
  std::sort(Indices.begin(), Indices.end() - 1);
  EXPECT_EQ(Indices, (std::vector<int>{0, 1, -1}));
  for (const auto& T : Events.TerminationsCopy()) {
    if (T.Index >= 0) {
      EXPECT_FALSE(T.Finished);
    }
  }
  ExpectNoEventOnTheOwnersThread();
  // Nothing left to notify: a second stop does nothing.
  C.Stop();
  std::this_thread::sleep_for(milliseconds(50));
  EXPECT_EQ(Events.TerminationsCopy().size(), 3u);
}

TEST_F(RunTest, StopBetweenOwnerThreadTasks) {
  for (int I = 0; I < 2; ++I) AddCopyTask(Media().Short, "gap-" + std::to_string(I) + ".avi");
  Events.Attach(C);
  ASSERT_TRUE(C.Start(0));
  ASSERT_TRUE(C.RunLoop().RunUntil([&] { return !Events.TerminationsCopy().empty(); }, 60000));
  // Task 0 is done, task 1 waits for its timer.
  C.Stop();
  ASSERT_TRUE(C.RunLoop().RunUntil([&] { return Events.Finals() > 0; }, 60000));
  const auto T = Events.TerminationsCopy();
  ASSERT_EQ(Events.TerminatedIndices(), (std::vector<int>{0, 1, -1}));
  EXPECT_TRUE(T[0].Finished);
  EXPECT_FALSE(T[1].Finished);
  // The stopped task never ran, also not when its timer fired.
  C.RunLoop().ProcessFor(200);
  EXPECT_EQ(C.Task(1)->ThreadID, 0);
  EXPECT_EQ(Events.TerminationsCopy().size(), 3u);
}

TEST_F(RunTest, LibraryLinesOfTwoParallelTasksGoToTheirTask) {
  C.SetLogLevel(TLogLevel::llDebug);
  // The demuxers and muxers log every packet with their context.
  std::vector<std::string> Prefixes;
  for (int I = 0; I < 2; ++I) {
    TInputOptions In;
    In.ExtOptions = "re\nfdebug=ts";
    ASSERT_EQ(C.AddInputFile(Media().Short, &In), I) << C.LastError();
    TOutputOptions Out = CopyRecord();
    ASSERT_TRUE(C.SetOutputFile(I, OutPath("log-" + std::to_string(I) + ".avi"), &Out));
    Prefixes.push_back(
        Format("[avi @ %016" PRIXPTR "]", reinterpret_cast<std::uintptr_t>(C.InputContext(I))));
  }
  Events.Attach(C);
  ASSERT_TRUE(C.Start(2));
  ASSERT_TRUE(Events.WaitFinal());

  int Counted[2] = {0, 0};
  Clock::time_point First[2], Last[2];
  for (const auto& L : Events.LogsCopy()) {
    for (int I = 0; I < 2; ++I) {
      if (L.Text.rfind(Prefixes[static_cast<std::size_t>(I)], 0) != 0) continue;
      EXPECT_EQ(L.Index, I) << L.Text;
      EXPECT_EQ(L.Thread, C.Task(I)->ThreadID.load());
      if (Counted[I]++ == 0) First[I] = L.When;
      Last[I] = L.When;
    }
  }
  EXPECT_GT(Counted[0], 20);
  EXPECT_GT(Counted[1], 20);
  // The two tasks logged at the same time.
  EXPECT_LT(First[0], Last[1]);
  EXPECT_LT(First[1], Last[0]);
  ExpectNoEventOnTheOwnersThread();
}

TEST_F(RunTest, RefusedStartIsReportedOnAWorkerThread) {
  // Task 0 has no output: the engine refuses to run it.
  ASSERT_EQ(C.AddInputFile(Media().Short), 0);
  AddCopyTask(Media().Short, "after-refused.avi");
  Events.Attach(C);
  ASSERT_TRUE(C.Start(1));
  ASSERT_TRUE(Events.WaitFinal());
  const auto T = Events.TerminationsCopy();
  ASSERT_EQ(Events.TerminatedIndices(), (std::vector<int>{0, 1, -1}));
  EXPECT_FALSE(T[0].Finished);
  EXPECT_TRUE(T[0].Exception);
  EXPECT_EQ(T[0].Message, "Must supply at least one output file");
  EXPECT_TRUE(T[1].Finished);
  bool Logged = false;
  for (const auto& L : Events.LogsCopy())
    if (L.Index == 0 && L.Text == "Must supply at least one output file") {
      Logged = true;
      EXPECT_EQ(L.Level, TLogLevel::llQuiet);
    }
  EXPECT_TRUE(Logged);
  ExpectNoEventOnTheOwnersThread();
}

TEST_F(RunTest, EmptyListStillGivesTheFinalNotice) {
  Events.Attach(C);
  ASSERT_TRUE(C.Start(1));
  ASSERT_TRUE(Events.WaitFinal());
  EXPECT_EQ(Events.TerminatedIndices(), (std::vector<int>{-1}));
  ExpectNoEventOnTheOwnersThread();

  TVexAVConverter Owned;
  EventRecorder OwnedEvents;
  OwnedEvents.Attach(Owned);
  ASSERT_TRUE(Owned.Start(0));
  EXPECT_EQ(OwnedEvents.Finals(), 0);
  ASSERT_TRUE(Owned.RunLoop().RunUntil([&] { return OwnedEvents.Finals() > 0; }, 5000));
  EXPECT_EQ(OwnedEvents.TerminationsCopy()[0].Thread, Owner);
}

TEST_F(RunTest, ASecondStartOnUsedTasksOnlyEndsTheRun) {
  AddCopyTask(Media().Short, "again.avi");
  Events.Attach(C);
  ASSERT_TRUE(C.Start(1));
  ASSERT_TRUE(Events.WaitFinal());
  ASSERT_TRUE(C.Start(1));
  ASSERT_TRUE(Events.WaitFinal());
  std::this_thread::sleep_for(milliseconds(100));
  // No second termination of task 0, one more final notice.
  EXPECT_EQ(Events.TerminatedIndices(), (std::vector<int>{0, -1, -1}));
}

TEST_F(RunTest, StartIsRefusedWhileARunIsActive) {
  AddCopyTask(Media().Long, "busy.avi", true);
  Events.Attach(C);
  ASSERT_TRUE(C.Start(1));
  EXPECT_FALSE(C.Start(1));
  EXPECT_EQ(C.LastError(), "The previous run has not ended yet");
  C.Stop();
  ASSERT_TRUE(Events.WaitFinal());
  EXPECT_EQ(Events.TerminatedIndices(), (std::vector<int>{0, -1}));
}

TEST_F(RunTest, FinalHandlerMayClearTheTaskList) {
  for (int I = 0; I < 3; ++I) AddCopyTask(Media().Short, "clear-" + std::to_string(I) + ".avi");
  std::atomic<int> CountAfterClear{-1};
  Events.Attach(C, [&](const TerminateRecord& T) {
    if (T.Index != -1) return;
    C.ClearTasks();
    CountAfterClear = C.TaskCount();
  });
  ASSERT_TRUE(C.Start(2));
  ASSERT_TRUE(Events.WaitFinal());
  EXPECT_EQ(CountAfterClear, 0);
  EXPECT_EQ(C.TaskCount(), 0);
  EXPECT_EQ(C.LastError(), "");
  // The component is ready for new tasks.
  AddCopyTask(Media().Short, "clear-again.avi");
  ASSERT_TRUE(C.Start(1));
  ASSERT_TRUE(Events.WaitFinal());
}

TEST_F(RunTest, FinalHandlerMayClearTheTaskListOnTheOwnersThread) {
  for (int I = 0; I < 2; ++I) AddCopyTask(Media().Short, "oclear-" + std::to_string(I) + ".avi");
  Events.Attach(C, [&](const TerminateRecord& T) {
    if (T.Index == -1) C.ClearTasks();
  });
  ASSERT_TRUE(C.Start(0));
  ASSERT_TRUE(C.RunLoop().RunUntil([&] { return Events.Finals() > 0; }, 60000));
  EXPECT_EQ(C.TaskCount(), 0);
}

TEST_F(RunTest, TaskHandlerMayClearTasksThatHaveNotStarted) {
  for (int I = 0; I < 3; ++I) AddCopyTask(Media().Short, "early-clear-" + std::to_string(I) + ".avi");
  Events.Attach(C, [&](const TerminateRecord& T) {
    if (T.Index == 0) C.ClearTasks();
  });
  ASSERT_TRUE(C.Start(1));
  ASSERT_TRUE(Events.WaitFinal());
  EXPECT_EQ(Events.TerminatedIndices(), (std::vector<int>{0, -1}));
  EXPECT_EQ(C.TaskCount(), 0);
}

TEST_F(RunTest, HandlerCannotClearTasksWhoseTerminationIsOnItsWay) {
  AddCopyTask(Media().Short, "quick.avi");
  AddCopyTask(Media().Long, "slow.avi", true);
  std::atomic<bool> Refused{false};
  Events.Attach(C, [&](const TerminateRecord& T) {
    if (T.Index != 0) return;
    C.ClearTasks();
    Refused = C.TaskCount() == 2;
  });
  ASSERT_TRUE(C.Start(2));
  ASSERT_TRUE(Events.WaitFinal());
  EXPECT_TRUE(Refused);
  EXPECT_EQ(C.LastError(),
            "Tasks cannot be removed from an event handler while a termination is on its way");
  EXPECT_EQ(C.TaskCount(), 2);
  EXPECT_EQ(Events.TerminatedIndices(), (std::vector<int>{0, 1, -1}));
}

TEST_F(RunTest, OwnerWaitsForTerminationsBeforeClearing) {
  for (int I = 0; I < 2; ++I) AddCopyTask(Media().Long, "wait-" + std::to_string(I) + ".avi", true);
  Events.Attach(C);
  ASSERT_TRUE(C.Start(2));
  ASSERT_TRUE(Events.WaitStarted(0));
  C.Stop();
  // Waits until both stopped tasks have delivered their notice.
  C.ClearTasks();
  EXPECT_EQ(C.TaskCount(), 0);
  const auto Indices = Events.TerminatedIndices();
  EXPECT_EQ(std::count(Indices.begin(), Indices.end(), -1), 1);
  EXPECT_EQ(Indices.size(), 3u);
}

TEST_F(RunTest, DestroyingTheComponentDuringARunStopsIt) {
  EventRecorder OwnedEvents;
  auto Owned = std::make_unique<TVexAVConverter>();
  for (int I = 0; I < 2; ++I) {
    TInputOptions In;
    In.ExtOptions = "re";
    ASSERT_EQ(Owned->AddInputFile(Media().Long, &In), I);
    TOutputOptions Out = CopyRecord();
    ASSERT_TRUE(Owned->SetOutputFile(I, OutPath("gone-" + std::to_string(I) + ".avi"), &Out));
  }
  OwnedEvents.Attach(*Owned);
  ASSERT_TRUE(Owned->Start(2));
  ASSERT_TRUE(OwnedEvents.WaitStarted(0));
  const auto Begin = Clock::now();
  Owned.reset();
  EXPECT_LT(Clock::now() - Begin, std::chrono::seconds(2));
  // No event after the destruction began.
  EXPECT_EQ(OwnedEvents.Finals(), 0);
  // The stopped outputs are complete.
  EXPECT_GT(DecodedFrames(OutPath("gone-0.avi")), 0);
}

TEST_F(RunTest, ProgressComesAsOneRecordAndAsItsValues) {
  // Rate emulated, so that the run lasts long enough for several reports.
  AddCopyTask(Media().Short, "progress.avi", true);
  std::mutex Guard;
  std::vector<std::pair<int, TRunProgress>> Records;
  std::vector<std::pair<int, TRunProgress>> Values;
  C.OnTaskProgress = [&](int Index, const TRunProgress& P) {
    std::lock_guard<std::mutex> Lock(Guard);
    Records.emplace_back(Index, P);
  };
  C.OnProgress = [&](int Index, int Frame, int Fps, int Ms, float Quality, float BitRate,
                     int64_t Size, int TotalMs) {
    TRunProgress P;
    P.FrameNumber = Frame;
    P.Fps = Fps;
    P.CurrentDurationMs = Ms;
    P.Quality = Quality;
    P.BitRate = BitRate;
    P.CurrentSize = Size;
    P.TotalOutputDurationMs = TotalMs;
    std::lock_guard<std::mutex> Lock(Guard);
    Values.emplace_back(Index, P);
  };
  std::atomic<int> Finals{0};
  C.OnTerminate = [&](int Index, bool, bool, const std::string&) {
    if (Index == -1) ++Finals;
  };
  ASSERT_TRUE(C.Start(1));
  for (int I = 0; I < 6000 && Finals == 0; ++I) std::this_thread::sleep_for(milliseconds(10));
  ASSERT_EQ(Finals, 1);
  std::lock_guard<std::mutex> Lock(Guard);
  ASSERT_FALSE(Records.empty());
  ASSERT_EQ(Records.size(), Values.size());
  for (std::size_t I = 0; I < Records.size(); ++I) {
    const TRunProgress& R = Records[I].second;
    const TRunProgress& V = Values[I].second;
    EXPECT_EQ(Records[I].first, 0);
    EXPECT_EQ(Values[I].first, 0);
    EXPECT_EQ(R.FrameNumber, V.FrameNumber);
    EXPECT_EQ(R.Fps, V.Fps);
    EXPECT_EQ(R.CurrentDurationMs, V.CurrentDurationMs);
    EXPECT_EQ(R.Quality, V.Quality);
    EXPECT_EQ(R.BitRate, V.BitRate);
    EXPECT_EQ(R.CurrentSize, V.CurrentSize);
    EXPECT_EQ(R.TotalOutputDurationMs, V.TotalOutputDurationMs);
  }
  // The source's length is known, and the output grows as it is written.
  EXPECT_GT(Records.back().second.TotalOutputDurationMs, 0);
  EXPECT_GT(Records.back().second.CurrentDurationMs, 0);
  EXPECT_GE(Records.back().second.CurrentSize, Records.front().second.CurrentSize);
}

TEST_F(RunTest, EventsAreRaisedUnderTheLockHooksWithout) {
  AddCopyTask(Media().Short, "locked.avi");
  std::atomic<int> Unlocked{0};
  C.OnLog = [&](int, TLogLevel, const std::string&) {
    if (!C.Lock().HeldByCurrentThread()) ++Unlocked;
  };
  C.OnProgress = [&](int, int, int, int, float, float, int64_t, int) {
    if (!C.Lock().HeldByCurrentThread()) ++Unlocked;
  };
  std::atomic<int> Finals{0};
  C.OnTerminate = [&](int Index, bool, bool, const std::string&) {
    if (!C.Lock().HeldByCurrentThread()) ++Unlocked;
    if (Index == -1) ++Finals;
  };
  ASSERT_TRUE(C.Start(1));
  for (int I = 0; I < 6000 && Finals == 0; ++I) std::this_thread::sleep_for(milliseconds(10));
  EXPECT_EQ(Finals, 1);
  EXPECT_EQ(Unlocked, 0);

  // The custom hook is passed on with the task's index, without the lock.
  int Seen = -1;
  bool WasLocked = true;
  C.OnCustomHook = [&](int Index, THookBitmap&, int FrameNumber, int64_t Pts, bool& Update, bool&) {
    Seen = Index * 1000 + FrameNumber + static_cast<int>(Pts);
    WasLocked = C.Lock().HeldByCurrentThread();
    Update = false;
  };
  ASSERT_EQ(C.AddInputFile(Media().Short), 1);
  TOutputOptions Out;
  Out.CustomHook = true;
  Out.VideoCodec = "mpeg4";
  ASSERT_TRUE(C.SetOutputFile(1, OutPath("hook.avi"), &Out)) << C.LastError();
  ASSERT_TRUE(static_cast<bool>(C.Task(1)->OnCustomHook));
  alignas(16) unsigned char Storage[64] = {};
  auto& Bitmap = *reinterpret_cast<THookBitmap*>(Storage);
  bool Update = true, StopHook = false;
  C.Task(1)->OnCustomHook(*C.Task(1), Bitmap, 7, 20, Update, StopHook);
  EXPECT_EQ(Seen, 1027);
  EXPECT_FALSE(WasLocked);
  EXPECT_FALSE(Update);
}

}  // namespace
}  // namespace vexav::test
