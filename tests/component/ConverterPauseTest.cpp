// A held run (Pause): the running tasks finish, nothing new starts and the
// run does not end until Resume; Stop while held ends the waiting tasks with
// their own notices and one final notice; the same on the owner's thread.
#include <algorithm>
#include <chrono>
#include <map>
#include <thread>
#include <vector>

#include "ConverterFixture.h"

namespace vexav::test {
namespace {

using std::chrono::milliseconds;

class PauseTest : public ConverterFixture {
 protected:
  void SetUp() override {
    ConverterFixture::SetUp();
    C.SetProgressInterval(100);
  }

  // Whether task Index has reported anything (progress or its end).
  bool Reported(int Index) {
    for (const auto& P : Events.ProgressCopy())
      if (P.Index == Index) return true;
    for (const auto& T : Events.TerminationsCopy())
      if (T.Index == Index) return true;
    return false;
  }

  // Waits for the termination of task Index.
  bool WaitTerminated(int Index, int Seconds = 60) {
    std::unique_lock<std::mutex> Guard(Events.Mutex);
    return Events.Changed.wait_for(Guard, std::chrono::seconds(Seconds), [&] {
      return std::any_of(Events.Terminations.begin(), Events.Terminations.end(),
                         [&](const TerminateRecord& T) { return T.Index == Index; });
    });
  }

  std::map<int, TerminateRecord> ByIndex() {
    std::map<int, TerminateRecord> T;
    for (const auto& Record : Events.TerminationsCopy()) T.emplace(Record.Index, Record);
    return T;
  }

  // The output decodes into as many pictures as the source has.
  static void ExpectWhole(const std::string& Output, const std::string& Source) {
    const auto Out = mediagen::Decode(Output);
    const auto In = mediagen::Decode(Source);
    ASSERT_EQ(Out.Error, "") << Output;
    ASSERT_EQ(In.Error, "") << Source;
    EXPECT_FALSE(Out.Frames.empty()) << Output;
    EXPECT_EQ(Out.Frames.size(), In.Frames.size()) << Output;
  }
};

TEST_F(PauseTest, HeldAfterTheFirstOfThreeTheSecondWaitsForResume) {
  for (int I = 0; I < 3; ++I) AddCopyTask(Media().Short, "held-" + std::to_string(I) + ".avi", true);
  Events.Attach(C);
  ASSERT_TRUE(C.Start(1));
  ASSERT_TRUE(Events.WaitStarted(0));
  ASSERT_TRUE(C.Pause()) << C.LastError();
  EXPECT_TRUE(C.Held());
  // The running task goes on to its end.
  ASSERT_TRUE(WaitTerminated(0));
  // Nothing else starts, and the run does not end, however long it waits.
  std::this_thread::sleep_for(milliseconds(1500));
  EXPECT_FALSE(Reported(1));
  EXPECT_FALSE(Reported(2));
  EXPECT_EQ(C.Task(1)->ThreadID, 0);
  EXPECT_EQ(Events.Finals(), 0);
  EXPECT_EQ(C.PendingCount(), 2);

  ASSERT_TRUE(C.Resume()) << C.LastError();
  EXPECT_FALSE(C.Held());
  ASSERT_TRUE(Events.WaitFinal());
  EXPECT_EQ(Events.TerminatedIndices(), (std::vector<int>{0, 1, 2, -1}));
  for (const auto& T : Events.TerminationsCopy()) {
    EXPECT_TRUE(T.Finished) << T.Index;
    EXPECT_FALSE(T.Exception) << T.Index << ": " << T.Message;
  }
  for (int I = 0; I < 3; ++I) ExpectWhole(OutPath("held-" + std::to_string(I) + ".avi"), Media().Short);
  std::this_thread::sleep_for(milliseconds(300));
  EXPECT_EQ(Events.Finals(), 1);
}

TEST_F(PauseTest, StopWhileHeldEndsTheWaitingTasksWithOneFinalNotice) {
  for (int I = 0; I < 3; ++I) AddCopyTask(Media().Short, "held-stop-" + std::to_string(I) + ".avi", true);
  Events.Attach(C);
  ASSERT_TRUE(C.Start(1));
  ASSERT_TRUE(Events.WaitStarted(0));
  ASSERT_TRUE(C.Pause());
  ASSERT_TRUE(WaitTerminated(0));
  // Nothing runs now; the two waiting tasks are ended by the stop alone.
  C.Stop();
  EXPECT_FALSE(C.Held());
  ASSERT_TRUE(Events.WaitFinal());
  std::this_thread::sleep_for(milliseconds(300));
  EXPECT_EQ(Events.Finals(), 1);
  auto Indices = Events.TerminatedIndices();
  ASSERT_EQ(Indices.size(), 4u);
  EXPECT_EQ(Indices.back(), -1);
  std::sort(Indices.begin() + 1, Indices.end() - 1);
  EXPECT_EQ(Indices, (std::vector<int>{0, 1, 2, -1}));
  const auto T = ByIndex();
  EXPECT_TRUE(T.at(0).Finished);
  for (const int I : {1, 2}) {
    EXPECT_FALSE(T.at(I).Finished) << I;
    EXPECT_FALSE(T.at(I).Exception) << I;
    EXPECT_EQ(C.Task(I)->ThreadID, 0) << I;
  }
  ExpectWhole(OutPath("held-stop-0.avi"), Media().Short);
}

TEST_F(PauseTest, TheLastTaskEndingWhileHeldEndsTheRun) {
  AddCopyTask(Media().Short, "held-last.avi", true);
  Events.Attach(C);
  ASSERT_TRUE(C.Start(1));
  ASSERT_TRUE(Events.WaitStarted(0));
  ASSERT_TRUE(C.Pause());
  // Nothing waits: the run ends as usual, and Resume has nothing to do.
  ASSERT_TRUE(Events.WaitFinal());
  EXPECT_EQ(Events.TerminatedIndices(), (std::vector<int>{0, -1}));
  EXPECT_FALSE(C.Pause());
  EXPECT_EQ(C.LastError(), "No run is under way");
}

TEST_F(PauseTest, ResumeStartsAsManyAsTheThreadCountAllows) {
  for (int I = 0; I < 4; ++I) AddCopyTask(Media().Short, "held-two-" + std::to_string(I) + ".avi", true);
  Events.Attach(C);
  ASSERT_TRUE(C.Start(2));
  ASSERT_TRUE(C.Pause());
  ASSERT_TRUE(WaitTerminated(0));
  ASSERT_TRUE(WaitTerminated(1));
  std::this_thread::sleep_for(milliseconds(500));
  EXPECT_FALSE(Reported(2));
  EXPECT_FALSE(Reported(3));
  ASSERT_TRUE(C.Resume());
  // Both waiting tasks start at once (two free slots).
  {
    TComponentLock& L = C.Lock();
    std::lock_guard<TComponentLock> Guard(L);
    EXPECT_EQ(C.PendingCount(), 0);
  }
  ASSERT_TRUE(Events.WaitFinal());
  auto Indices = Events.TerminatedIndices();
  std::sort(Indices.begin(), Indices.end() - 1);
  EXPECT_EQ(Indices, (std::vector<int>{0, 1, 2, 3, -1}));
  for (int I = 0; I < 4; ++I)
    ExpectWhole(OutPath("held-two-" + std::to_string(I) + ".avi"), Media().Short);
}

TEST_F(PauseTest, OwnerThreadRunHeldBeforeEachTimer) {
  for (int I = 0; I < 3; ++I) AddCopyTask(Media().Short, "held-owner-" + std::to_string(I) + ".avi");
  Events.Attach(C);
  ASSERT_TRUE(C.Start(0));
  // Held before the first task's timer fired: it does not start.
  ASSERT_TRUE(C.Pause());
  C.RunLoop().ProcessFor(400);
  EXPECT_TRUE(Events.TerminationsCopy().empty());
  EXPECT_EQ(C.Task(0)->ThreadID, 0);
  EXPECT_EQ(C.PendingCount(), 3);
  ASSERT_TRUE(C.Resume());
  ASSERT_TRUE(C.RunLoop().RunUntil([&] { return !Events.TerminationsCopy().empty(); }, 60000));
  // Task 0 is done and task 1's timer is set: held now, task 1 waits.
  ASSERT_TRUE(C.Pause());
  C.RunLoop().ProcessFor(400);
  EXPECT_EQ(Events.TerminatedIndices(), (std::vector<int>{0}));
  EXPECT_EQ(C.Task(1)->ThreadID, 0);
  ASSERT_TRUE(C.Resume());
  ASSERT_TRUE(C.RunLoop().RunUntil([&] { return Events.Finals() > 0; }, 60000));
  EXPECT_EQ(Events.TerminatedIndices(), (std::vector<int>{0, 1, 2, -1}));
  for (const auto& T : Events.TerminationsCopy()) EXPECT_TRUE(T.Finished) << T.Index;
  for (int I = 0; I < 3; ++I)
    ExpectWhole(OutPath("held-owner-" + std::to_string(I) + ".avi"), Media().Short);
  C.RunLoop().ProcessFor(200);
  EXPECT_EQ(Events.Finals(), 1);
}

TEST_F(PauseTest, OwnerThreadStopWhileHeld) {
  for (int I = 0; I < 2; ++I) AddCopyTask(Media().Short, "held-owner-stop-" + std::to_string(I) + ".avi");
  Events.Attach(C);
  ASSERT_TRUE(C.Start(0));
  ASSERT_TRUE(C.Pause());
  C.RunLoop().ProcessFor(300);
  C.Stop();
  ASSERT_TRUE(C.RunLoop().RunUntil([&] { return Events.Finals() > 0; }, 60000));
  C.RunLoop().ProcessFor(300);
  EXPECT_EQ(Events.Finals(), 1);
  auto Indices = Events.TerminatedIndices();
  std::sort(Indices.begin(), Indices.end() - 1);
  EXPECT_EQ(Indices, (std::vector<int>{0, 1, -1}));
  for (const auto& T : Events.TerminationsCopy()) EXPECT_FALSE(T.Index >= 0 && T.Finished) << T.Index;
  EXPECT_EQ(C.Task(0)->ThreadID, 0);
  EXPECT_EQ(C.Task(1)->ThreadID, 0);
}

TEST_F(PauseTest, OutsideARunNothingIsHeld) {
  AddCopyTask(Media().Short, "held-idle.avi");
  EXPECT_FALSE(C.Pause());
  EXPECT_EQ(C.LastError(), "No run is under way");
  EXPECT_FALSE(C.Resume());
  EXPECT_EQ(C.LastError(), "The run is not held");
  EXPECT_FALSE(C.Held());
  // A run started after a refused pause runs unheld.
  Events.Attach(C);
  ASSERT_TRUE(C.Start(1));
  ASSERT_TRUE(Events.WaitFinal());
  EXPECT_EQ(Events.TerminatedIndices(), (std::vector<int>{0, -1}));
}

}  // namespace
}  // namespace vexav::test
