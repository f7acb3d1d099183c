// Stops at random moments: rounds of three tiny tasks on two worker threads,
// each round with one stop (of the whole component from the owner's thread,
// of one task's engine from the owner's thread, or of one task's engine
// from inside its progress event) after a seeded random delay. Every output
// is then either a complete file that reads back or absent, every task got
// exactly one termination and the run exactly one final notice.
//
// And the outputs of tasks that never run: created by SetOutputFile, they
// are removed when the task is freed (removed, cleared, the component
// destroyed) or stopped before it ran.
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "ConverterFixture.h"

namespace vexav::test {
namespace {

std::string TinyClip() {
  static const std::string Path = [] {
    mediagen::MediaRequest S;
    S.Width = 160;
    S.Height = 120;
    S.DurationSeconds = 1.0;
    const std::string P = OutPath("stress-source.avi");
    EXPECT_EQ(mediagen::Generate(P, S), "");
    return P;
  }();
  return Path;
}

// Adds a task converting the tiny clip to an MPEG-4 file Name; RateEmulated
// reads the input at its own pace, so that the task lasts about a second.
int AddTask(TCustomAVConverter& C, const std::string& Name, bool RateEmulated) {
  TInputOptions In;
  ResetInputOptions(In);
  if (RateEmulated) In.ExtOptions = "re";
  const int Index = C.AddInputFile(TinyClip(), &In);
  EXPECT_GE(Index, 0) << C.LastError();
  if (Index < 0) return Index;
  TOutputOptions Out;
  ResetOutputOptions(Out);
  Out.VideoCodec = "mpeg4";
  Out.AudioCodec = "aac";
  EXPECT_TRUE(C.SetOutputFile(Index, Name, &Out)) << C.LastError();
  return Index;
}

// Absent, or a file that opens and decodes to its end.
::testing::AssertionResult ReadableOrAbsent(const std::string& Path) {
  if (!std::filesystem::exists(Path)) return ::testing::AssertionSuccess();
  const mediagen::DecodedMedia D = mediagen::Decode(Path);
  if (!D.Error.empty())
    return ::testing::AssertionFailure() << Path << " (" << std::filesystem::file_size(Path)
                                         << " bytes) does not read back: " << D.Error;
  if (D.VideoStreams != 1) return ::testing::AssertionFailure() << Path << " has no video stream";
  return ::testing::AssertionSuccess();
}

enum class StopKind { Component, TaskFromOwner, TaskFromProgress };

TEST(StopStressTest, TwentyStopsAtRandomMoments) {
  std::mt19937 Random(20261208u);
  int Readable = 0, Absent = 0;
  for (int Round = 0; Round < 20; ++Round) {
    SCOPED_TRACE("round " + std::to_string(Round));
    const StopKind Kind = static_cast<StopKind>(Random() % 3);
    const int Victim = static_cast<int>(Random() % 3);
    const int DelayMs = static_cast<int>(Random() % 400);
    const int StopAtFrame = static_cast<int>(Random() % 20);
    std::vector<std::string> Outputs;
    {
      TVexAVConverter C;
      ASSERT_TRUE(C.LoadLibraries("", true)) << C.LastError();
      C.SetLogLevel(TLogLevel::llQuiet);
      C.SetProgressInterval(100);
      EventRecorder Events;
      Events.Attach(C);
      std::atomic<bool> Stopped{false};
      // Replaces the recorder's progress handler: records nothing, stops.
      C.OnProgress = [&](int Index, int FrameNumber, int, int, float, float, int64_t, int) {
        if (Kind != StopKind::TaskFromProgress || Index != Victim || FrameNumber < StopAtFrame)
          return;
        if (!Stopped.exchange(true)) C.Task(Index)->Stop();
      };
      for (int T = 0; T < 3; ++T) {
        Outputs.push_back(
            OutPath("round" + std::to_string(Round) + "-task" + std::to_string(T) + ".mp4"));
        ASSERT_EQ(AddTask(C, Outputs.back(), (Random() % 2) == 0), T);
      }
      ASSERT_TRUE(C.Start(2)) << C.LastError();
      if (Kind != StopKind::TaskFromProgress) {
        std::this_thread::sleep_for(std::chrono::milliseconds(DelayMs));
        if (Kind == StopKind::Component)
          C.Stop();
        else
          C.Task(Victim)->Stop();
      }
      ASSERT_TRUE(Events.WaitFinal(120)) << "the run did not end";
      // Late notices would come now; none may.
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      const std::vector<TerminateRecord> Ends = Events.TerminationsCopy();
      std::vector<int> PerTask(3, 0);
      int Finals = 0;
      for (const TerminateRecord& E : Ends) {
        if (E.Index == -1) {
          ++Finals;
          continue;
        }
        ASSERT_GE(E.Index, 0);
        ASSERT_LT(E.Index, 3);
        ++PerTask[E.Index];
        EXPECT_FALSE(E.Exception) << E.Message;
      }
      EXPECT_EQ(Finals, 1);
      EXPECT_EQ(PerTask, std::vector<int>({1, 1, 1}));
      ASSERT_FALSE(Ends.empty());
      EXPECT_EQ(Ends.back().Index, -1) << "the final notice comes last";
      for (const std::string& Output : Outputs) EXPECT_TRUE(ReadableOrAbsent(Output));
    }
    // The component and its tasks are gone: still only whole files.
    for (const std::string& Output : Outputs) {
      EXPECT_TRUE(ReadableOrAbsent(Output));
      if (std::filesystem::exists(Output))
        ++Readable;
      else
        ++Absent;
    }
  }
  // The rounds did stop things at different moments: some outputs exist.
  EXPECT_GT(Readable, 0);
  EXPECT_EQ(Readable + Absent, 60);
}

class NeverRunTaskTest : public ConverterFixture {};

TEST_F(NeverRunTaskTest, RemovingATaskRemovesTheOutputItCreated) {
  const std::string Output = OutPath("removed-task.mp4");
  const int Index = AddTask(C, Output, false);
  ASSERT_GE(Index, 0);
  ASSERT_TRUE(std::filesystem::exists(Output));
  ASSERT_TRUE(C.RemoveTask(Index)) << C.LastError();
  EXPECT_FALSE(std::filesystem::exists(Output));
}

TEST_F(NeverRunTaskTest, ClearingTheTasksRemovesTheirOutputs) {
  const std::string A = OutPath("cleared-a.mp4"), B = OutPath("cleared-b.mp4");
  ASSERT_GE(AddTask(C, A, false), 0);
  ASSERT_GE(AddTask(C, B, false), 0);
  C.ClearTasks();
  EXPECT_FALSE(std::filesystem::exists(A));
  EXPECT_FALSE(std::filesystem::exists(B));
}

TEST_F(NeverRunTaskTest, DestroyingTheComponentRemovesTheOutputsOfTasksThatNeverRan) {
  const std::string Output = OutPath("destroyed.mp4");
  {
    TVexAVConverter Other;
    ASSERT_TRUE(Other.LoadLibraries("", true));
    ASSERT_GE(AddTask(Other, Output, false), 0);
    ASSERT_TRUE(std::filesystem::exists(Output));
  }
  EXPECT_FALSE(std::filesystem::exists(Output));
}

TEST_F(NeverRunTaskTest, AStopBeforeTheRunRemovesTheOutputsWithTheNotices) {
  const std::string A = OutPath("stopped-a.mp4"), B = OutPath("stopped-b.mp4");
  ASSERT_GE(AddTask(C, A, false), 0);
  ASSERT_GE(AddTask(C, B, false), 0);
  std::atomic<int> Present{0};
  Events.Attach(C, [&](const TerminateRecord& R) {
    if (R.Index >= 0) Present += std::filesystem::exists(R.Index == 0 ? A : B);
  });
  C.Stop();
  ASSERT_TRUE(Events.WaitFinal());
  EXPECT_EQ(Events.TerminatedIndices().size(), 3u);
  EXPECT_EQ(Present, 0) << "an output of a task stopped before it ran is gone by its notice";
  EXPECT_FALSE(std::filesystem::exists(A));
  EXPECT_FALSE(std::filesystem::exists(B));
}

TEST_F(NeverRunTaskTest, TasksThatAStopKeptFromStartingLeaveNoOutput) {
  // One job: the first task runs and is stopped from its progress event;
  // the other two never start.
  std::vector<std::string> Outputs;
  for (int T = 0; T < 3; ++T) {
    Outputs.push_back(OutPath("queued" + std::to_string(T) + ".mp4"));
    ASSERT_EQ(AddTask(C, Outputs.back(), T == 0), T);
  }
  Events.Attach(C);
  std::atomic<bool> Asked{false};
  C.OnProgress = [&](int Index, int, int, int, float, float, int64_t, int) {
    // The component is stopped from the owner's thread (handlers may not
    // call the component's Stop); the progress only says when.
    if (Index == 0) Asked = true;
  };
  ASSERT_TRUE(C.Start(1));
  while (!Asked && Events.Finals() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  C.Stop();
  ASSERT_TRUE(Events.WaitFinal());
  EXPECT_EQ(Events.TerminatedIndices().size(), 4u);
  EXPECT_TRUE(ReadableOrAbsent(Outputs[0]));
  EXPECT_TRUE(std::filesystem::exists(Outputs[0])) << "the task that ran keeps what it converted";
  EXPECT_FALSE(std::filesystem::exists(Outputs[1]));
  EXPECT_FALSE(std::filesystem::exists(Outputs[2]));
}

TEST_F(NeverRunTaskTest, AFileThatWasThereBeforeIsKept) {
  const std::string Output = OutPath("users-file.mp4");
  { std::ofstream(Output) << "before"; }
  const int Index = AddTask(C, Output, false);
  ASSERT_GE(Index, 0);
  ASSERT_TRUE(C.RemoveTask(Index));
  EXPECT_TRUE(std::filesystem::exists(Output)) << "only what the task created is removed";
}

}  // namespace
}  // namespace vexav::test
