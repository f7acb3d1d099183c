// The component's task list and its operations before a run: adding inputs
// and their failures, outputs, removal with renumbering, LastError, the
// properties, and the log path (engine lines, and library lines through the
// process-wide capture, with their pending-line rules).
#include <unistd.h>

#include <cinttypes>
#include <thread>

#include "ConverterFixture.h"
#include "binding/Api.h"
#include "binding/LogLevels.h"
#include "binding/Text.h"

namespace vexav::test {
namespace {

using TasksTest = ConverterFixture;

TEST_F(TasksTest, VersionAboutAndDefaults) {
  EXPECT_EQ(TVexAVConverter::Version(), "2.2");
  EXPECT_EQ(C.About(), "");
  C.SetAbout("VexAV");
  EXPECT_EQ(C.About(), "VexAV");
  EXPECT_EQ(C.ProgressInterval(), 500);
  EXPECT_EQ(C.ThreadPriority(), TConvertPriority::tpNormal);
  TVexAVConverter Fresh;
  EXPECT_EQ(Fresh.LogLevel(), TLogLevel::llInfo);
  EXPECT_EQ(Fresh.TaskCount(), 0);
  EXPECT_EQ(Fresh.LastError(), "");
  EXPECT_EQ(Fresh.Task(0), nullptr);
  EXPECT_EQ(Fresh.InputContext(0), nullptr);
}

TEST_F(TasksTest, ProgressIntervalIsAtLeast100) {
  C.SetProgressInterval(50);
  EXPECT_EQ(C.ProgressInterval(), 100);
  C.SetProgressInterval(250);
  EXPECT_EQ(C.ProgressInterval(), 250);
  C.SetProgressInterval(100);
  EXPECT_EQ(C.ProgressInterval(), 100);
  C.SetProgressInterval(-7);
  EXPECT_EQ(C.ProgressInterval(), 100);
}

TEST_F(TasksTest, LogLevelSetsTheLibraryLevel) {
  const std::pair<TLogLevel, int> Levels[] = {{TLogLevel::llQuiet, -8},
                                              {TLogLevel::llError, 16},
                                              {TLogLevel::llInfo, 32},
                                              {TLogLevel::llDebug, 48},
                                              {TLogLevel::llAll, 56}};
  for (const auto& [Level, Library] : Levels) {
    C.SetLogLevel(Level);
    EXPECT_EQ(C.LogLevel(), Level);
    EXPECT_EQ(ff::av_log_get_level(), Library);
    EXPECT_EQ(RecordedLogLevel(), Library);
  }
  EXPECT_EQ(LogLevelNumber(TLogLevel::llQuiet), -1);
  EXPECT_EQ(LogLevelNumber(TLogLevel::llAll), 3);
}

TEST_F(TasksTest, LoadLibrariesAppliesTheLevelAndInstallsTheCapture) {
  TVexAVConverter Other;
  Other.SetLogLevel(TLogLevel::llError);
  ASSERT_TRUE(Other.LoadLibraries("", true));
  EXPECT_EQ(ff::av_log_get_level(), 16);
  std::vector<std::string> Lines;
  Other.OnLog = [&](int Index, TLogLevel, const std::string& Text) {
    EXPECT_EQ(Index, -1);
    Lines.push_back(Text);
  };
  ff::av_log(nullptr, AV_LOG_ERROR, "captured line\n");
  EXPECT_EQ(Lines, std::vector<std::string>{"captured line"});
}

TEST_F(TasksTest, AddInputFileOpensTheInputAndAttachesTheProbe) {
  TInputOptions In;
  const int Index = C.AddInputFile(Media().Short, &In);
  ASSERT_EQ(Index, 0) << C.LastError();
  EXPECT_EQ(C.TaskCount(), 1);
  // The caller's record got the file name.
  EXPECT_EQ(In.FileName, Media().Short);
  TFFmpeg* Task = C.Task(0);
  ASSERT_NE(Task, nullptr);
  EXPECT_EQ(Task->Index, 0);
  EXPECT_EQ(Task->ThreadID, 0);
  EXPECT_EQ(Task->InputOptions.FileName, Media().Short);
  ASSERT_NE(C.InputContext(0), nullptr);
  EXPECT_EQ(std::string(C.InputContext(0)->url), Media().Short);
  EXPECT_EQ(Task->Probe().Context(), C.InputContext(0));
  EXPECT_FALSE(Task->Probe().OwnsContext());
  EXPECT_EQ(Task->Probe().VideoStreamCount(), 1);
  EXPECT_EQ(Task->Probe().AudioStreamCount(), 1);
  // The verbosity follows the component's level.
  EXPECT_EQ(Task->Verbose, 1);

  // Without a record the task's copy is the reset record.
  ASSERT_EQ(C.AddInputFile(Media().Long), 1);
  EXPECT_EQ(C.Task(1)->InputOptions.FileName, "");
  EXPECT_EQ(C.Task(1)->Index, 1);
}

TEST_F(TasksTest, AddInputFileOfAMissingFileKeepsTheEnginesText) {
  ASSERT_EQ(C.AddInputFile(Media().Short), 0);
  const std::string Missing = Media().Folder + "/missing.avi";

  TCustomFFmpeg Engine;
  Engine.InitOptions();
  ASSERT_FALSE(Engine.OpenInputFile(Missing));
  ASSERT_NE(Engine.LastError, "");

  EXPECT_EQ(C.AddInputFile(Missing), -1);
  EXPECT_EQ(C.LastError(), Engine.LastError);
  EXPECT_EQ(C.TaskCount(), 1);
}

TEST_F(TasksTest, AddInputFileWithAnUnknownFormatFails) {
  TInputOptions In;
  In.FileFormat = "nosuchformat";
  EXPECT_EQ(C.AddInputFile(Media().Short, &In), -1);
  EXPECT_EQ(C.LastError(), "Unknown input format: nosuchformat");
  EXPECT_EQ(C.TaskCount(), 0);
}

TEST_F(TasksTest, AddInputFileWithABadFreeLineFails) {
  TInputOptions In;
  In.ExtOptions = "croptop=3";
  EXPECT_EQ(C.AddInputFile(Media().Short, &In), -1);
  EXPECT_EQ(C.LastError(), "Top crop size must be a multiple of 2");
  EXPECT_EQ(C.TaskCount(), 0);
}

TEST_F(TasksTest, LastErrorIsOnlyOverwrittenByFailuresAndClearedByClearTasks) {
  EXPECT_EQ(C.AddInputFile(Media().Folder + "/none.avi"), -1);
  const std::string Error = C.LastError();
  ASSERT_NE(Error, "");
  ASSERT_EQ(C.AddInputFile(Media().Short), 0);
  TOutputOptions Out = CopyRecord();
  ASSERT_TRUE(C.SetOutputFile(0, OutPath("kept.avi"), &Out));
  EXPECT_EQ(C.LastError(), Error);
  C.ClearTasks();
  EXPECT_EQ(C.LastError(), "");
  EXPECT_EQ(C.TaskCount(), 0);
  EXPECT_EQ(C.ThreadCount(), 0);
}

TEST_F(TasksTest, RemovingTaskZeroOfThreeRenumbersTheOthers) {
  for (int I = 0; I < 3; ++I) ASSERT_EQ(C.AddInputFile(I == 1 ? Media().Long : Media().Short), I);
  AVFormatContext* Second = C.InputContext(1);
  AVFormatContext* Third = C.InputContext(2);
  ASSERT_TRUE(C.RemoveTask(0));
  ASSERT_EQ(C.TaskCount(), 2);
  EXPECT_EQ(C.Task(0)->Index, 0);
  EXPECT_EQ(C.Task(1)->Index, 1);
  EXPECT_EQ(C.InputContext(0), Second);
  EXPECT_EQ(C.InputContext(1), Third);
  EXPECT_EQ(C.Tasks()[0].Index, 0);

  EXPECT_FALSE(C.RemoveTask(5));
  EXPECT_EQ(C.LastError(), "List index out of bounds (5)");
  EXPECT_EQ(C.TaskCount(), 2);
}

// A task's probe through the component, without the task's class: the
// task's own probe, on its input, following the task when the list is
// renumbered; nothing outside the list.
TEST_F(TasksTest, TaskProbeIsTheProbeOfTheTaskAtTheIndex) {
  EXPECT_EQ(C.TaskProbe(0), nullptr);
  ASSERT_EQ(C.AddInputFile(Media().Short), 0);
  ASSERT_EQ(C.AddInputFile(Media().Long), 1);
  ASSERT_NE(C.TaskProbe(1), nullptr);
  EXPECT_EQ(C.TaskProbe(1), &C.Task(1)->Probe());
  EXPECT_EQ(C.TaskProbe(1)->Context(), C.InputContext(1));
  EXPECT_EQ(C.TaskProbe(1)->VideoStreamCount(), 1);
  EXPECT_EQ(C.TaskProbe(1)->AudioStreamCount(), 1);
  EXPECT_EQ(C.TaskProbe(1)->GetFileName(), Media().Long);
  ASSERT_TRUE(C.RemoveTask(0));
  ASSERT_NE(C.TaskProbe(0), nullptr);
  EXPECT_EQ(C.TaskProbe(0)->GetFileName(), Media().Long);
  EXPECT_EQ(C.TaskProbe(1), nullptr);
  EXPECT_EQ(C.TaskProbe(-1), nullptr);
}

TEST(TaskListTest, ListOperations) {
  TFFmpegList List;
  for (int I = 0; I < 4; ++I) EXPECT_EQ(List.Add(std::make_unique<TFFmpeg>()), I);
  EXPECT_EQ(List.Count(), 4);
  List.Items(2).ThreadID = 77;
  List.Delete(1);
  EXPECT_EQ(List.Count(), 3);
  for (int I = 0; I < 3; ++I) EXPECT_EQ(List.Items(I).Index, I);
  EXPECT_EQ(List.FindByThreadID(77), &List.Items(1));
  EXPECT_EQ(List.FindByThreadID(78), nullptr);
  EXPECT_EQ(List.FindByThreadID(0), nullptr);
  EXPECT_THROW(List.Items(3), std::out_of_range);
  EXPECT_THROW(List.Delete(-1), std::out_of_range);
  List.Clear();
  EXPECT_EQ(List.Count(), 0);
}

TEST(TaskListTest, NewTaskHasResetRecordsAndAProbe) {
  TFFmpeg Task;
  EXPECT_EQ(Task.Index, -1);
  EXPECT_EQ(Task.ThreadID, 0);
  EXPECT_EQ(Task.InputOptions.StartTime, -1);
  EXPECT_EQ(Task.OutputOptions.VideoSync, -1);
  EXPECT_EQ(Task.Probe().Context(), nullptr);
}

TEST_F(TasksTest, SetOutputFileCreatesTheOutputAndKeepsTheRecord) {
  ASSERT_EQ(C.AddInputFile(Media().Short), 0);
  TOutputOptions Out = CopyRecord();
  Out.HookRanges = "1000-2000, 0-500";
  ASSERT_TRUE(C.SetOutputFile(0, OutPath("out.avi"), &Out)) << C.LastError();
  EXPECT_EQ(Out.FileName, OutPath("out.avi"));
  TFFmpeg* Task = C.Task(0);
  EXPECT_EQ(Task->OutputOptions.FileName, OutPath("out.avi"));
  EXPECT_EQ(Task->OutputFileCount, 1);
  // The ranges went to the engine, sorted by their end.
  ASSERT_EQ(Task->HookRangeList.size(), 2u);
  EXPECT_EQ(Task->HookRangeList[0].End, 500000);
  EXPECT_EQ(Task->HookRangeList[1].Start, 1000000);
  EXPECT_FALSE(static_cast<bool>(Task->OnCustomHook));
}

TEST_F(TasksTest, CustomHookChoiceBindsTheEnginesHook) {
  ASSERT_EQ(C.AddInputFile(Media().Short), 0);
  TOutputOptions Out;
  Out.CustomHook = true;
  Out.BeforeHook = true;
  Out.HookRanges = "0-1000";
  Out.VideoCodec = "mpeg4";
  ASSERT_TRUE(C.SetOutputFile(0, OutPath("hooked.avi"), &Out)) << C.LastError();
  EXPECT_TRUE(static_cast<bool>(C.Task(0)->OnCustomHook));
  // The custom hook wins: no ranges.
  EXPECT_TRUE(C.Task(0)->HookRangeList.empty());
}

TEST_F(TasksTest, SetOutputFileFailures) {
  ASSERT_EQ(C.AddInputFile(Media().Short), 0);
  EXPECT_FALSE(C.SetOutputFile(3, OutPath("x.avi")));
  EXPECT_EQ(C.LastError(), "List index out of bounds (3)");

  TOutputOptions Odd = CopyRecord();
  Odd.CropTop = 3;
  EXPECT_FALSE(C.SetOutputFile(0, OutPath("odd.avi"), &Odd));
  EXPECT_EQ(C.LastError(), "Top crop size must be a multiple of 2");
  EXPECT_EQ(C.TaskCount(), 1);

  // An output the engine cannot create: its own text.
  TOutputOptions Out = CopyRecord();
  const std::string Nowhere = Media().Folder + "/no/such/dir/x.avi";
  EXPECT_FALSE(C.SetOutputFile(0, Nowhere, &Out));
  EXPECT_EQ(C.LastError(), C.Task(0)->LastError);
  EXPECT_NE(C.LastError(), "");
  EXPECT_EQ(C.TaskCount(), 1);
}

// ---- The log path -------------------------------------------------------------------

struct Line {
  int Index;
  TLogLevel Level;
  std::string Text;
  bool operator==(const Line&) const = default;
};
void PrintTo(const Line& L, std::ostream* Out) {
  *Out << "{" << L.Index << ", " << static_cast<int>(L.Level) << ", \"" << L.Text << "\"}";
}

// A library-style context: an object whose first member points to its class.
const char* TestItemName(void*) { return "probe"; }
AVClass MakeTestClass() {
  AVClass Class{};
  Class.class_name = "TestContext";
  Class.item_name = TestItemName;
  Class.version = LIBAVUTIL_VERSION_INT;
  return Class;
}
const AVClass TestClass = MakeTestClass();
struct TestContext {
  const AVClass* Class = &TestClass;
};

class LogPathTest : public ConverterFixture {
 protected:
  void SetUp() override {
    ConverterFixture::SetUp();
    TCustomAVConverter::ClearLog();
    C.OnLog = [this](int Index, TLogLevel Level, const std::string& Text) {
      Lines.push_back({Index, Level, Text});
    };
    ASSERT_EQ(C.AddInputFile(Media().Short), 0);
    Lines.clear();
    // Library lines of this thread belong to task 0 from now on.
    C.Task(0)->ThreadID = CurrentThreadID();
  }
  void TearDown() override { TCustomAVConverter::ClearLog(); }

  static void LibraryLog(void* Context, int Level, const char* Text) {
    ff::av_log(Context, Level, "%s", Text);
  }

  std::vector<Line> Lines;
};

TEST_F(LogPathTest, EngineLevelsAreMapped) {
  TFFmpeg* Task = C.Task(0);
  Task->Log(-1, "failed");
  Task->Log(0, "warning");
  Task->Log(1, "info");
  Task->Log(5, "much");
  const std::vector<Line> Expected{{0, TLogLevel::llQuiet, "failed"},
                                   {0, TLogLevel::llError, "warning"},
                                   {0, TLogLevel::llInfo, "info"},
                                   {0, TLogLevel::llAll, "much"}};
  EXPECT_EQ(Lines, Expected);
  EXPECT_EQ(LogLevelFromNumber(-5), TLogLevel::llQuiet);
  EXPECT_EQ(LogLevelFromNumber(2), TLogLevel::llDebug);
  EXPECT_EQ(LogLevelFromNumber(3), TLogLevel::llAll);
}

TEST_F(LogPathTest, PieceThenLineEndGiveOneLineWithThePrefixOfTheFirst) {
  TestContext Context;
  LibraryLog(&Context, AV_LOG_INFO, "first ");
  EXPECT_TRUE(Lines.empty());
  LibraryLog(nullptr, AV_LOG_ERROR, "second\n");
  const std::string Prefix = Format("[probe @ %016" PRIXPTR "]", reinterpret_cast<std::uintptr_t>(&Context));
  // The completed line has the level of the call that completed it.
  EXPECT_EQ(Lines, (std::vector<Line>{{0, TLogLevel::llError, Prefix + "first second"}}));
}

TEST_F(LogPathTest, TwoLineFeedsGiveTwoLinesAndKeepTheRestPending) {
  LibraryLog(nullptr, AV_LOG_INFO, "one\ntwo\nrest");
  EXPECT_EQ(Lines, (std::vector<Line>{{0, TLogLevel::llInfo, "one"}, {0, TLogLevel::llInfo, "two"}}));
  LibraryLog(nullptr, AV_LOG_WARNING, " end\n");
  EXPECT_EQ(Lines.back(), (Line{0, TLogLevel::llError, "rest end"}));
}

TEST_F(LogPathTest, LibraryLevelsArriveAsComponentLevels) {
  C.SetLogLevel(TLogLevel::llAll);
  LibraryLog(nullptr, AV_LOG_FATAL, "fatal\n");
  LibraryLog(nullptr, AV_LOG_ERROR, "error\n");
  LibraryLog(nullptr, AV_LOG_VERBOSE, "verbose\n");
  LibraryLog(nullptr, AV_LOG_DEBUG, "debug\n");
  LibraryLog(nullptr, AV_LOG_TRACE, "trace\n");
  const std::vector<Line> Expected{{0, TLogLevel::llQuiet, "fatal"},
                                   {0, TLogLevel::llError, "error"},
                                   {0, TLogLevel::llInfo, "verbose"},
                                   {0, TLogLevel::llDebug, "debug"},
                                   {0, TLogLevel::llAll, "trace"}};
  EXPECT_EQ(Lines, Expected);
}

TEST_F(LogPathTest, QuietLetsNoLibraryLineThrough) {
  C.SetLogLevel(TLogLevel::llQuiet);
  EXPECT_EQ(ff::av_log_get_level(), -8);
  LibraryLog(nullptr, AV_LOG_PANIC, "panic\n");
  LibraryLog(nullptr, AV_LOG_ERROR, "error\n");
  EXPECT_TRUE(Lines.empty());
  // The engine's own lines are not filtered by the library level.
  C.Task(0)->Log(1, "engine");
  EXPECT_EQ(Lines.size(), 1u);
}

TEST_F(LogPathTest, ErrorLevelDropsWarningsAndInformation) {
  C.SetLogLevel(TLogLevel::llError);
  LibraryLog(nullptr, AV_LOG_INFO, "info\n");
  LibraryLog(nullptr, AV_LOG_WARNING, "warning\n");
  LibraryLog(nullptr, AV_LOG_ERROR, "error\n");
  EXPECT_EQ(Lines, (std::vector<Line>{{0, TLogLevel::llError, "error"}}));
}

TEST_F(LogPathTest, LinesOfOtherThreadsBelongToNoTask) {
  std::thread([] { ff::av_log(nullptr, AV_LOG_INFO, "elsewhere\n"); }).join();
  EXPECT_EQ(Lines, (std::vector<Line>{{-1, TLogLevel::llInfo, "elsewhere"}}));
}

TEST_F(LogPathTest, ARunningTaskWinsWhereSeveralShareAThread) {
  ASSERT_EQ(C.AddInputFile(Media().Short), 1);
  ASSERT_EQ(C.AddInputFile(Media().Short), 2);
  C.Task(1)->ThreadID = CurrentThreadID();
  C.Task(2)->ThreadID = CurrentThreadID();
  Lines.clear();
  C.Task(2)->Running = true;
  LibraryLog(nullptr, AV_LOG_INFO, "running\n");
  C.Task(2)->Running = false;
  EXPECT_EQ(Lines, (std::vector<Line>{{2, TLogLevel::llInfo, "running"}}));
  EXPECT_EQ(C.Tasks().FindByThreadID(CurrentThreadID()), C.Task(0));
}

TEST_F(LogPathTest, EveryLiveComponentGetsTheLine) {
  TVexAVConverter Other;
  std::vector<Line> OtherLines;
  Other.OnLog = [&](int Index, TLogLevel Level, const std::string& Text) {
    OtherLines.push_back({Index, Level, Text});
  };
  LibraryLog(nullptr, AV_LOG_INFO, "both\n");
  EXPECT_EQ(Lines, (std::vector<Line>{{0, TLogLevel::llInfo, "both"}}));
  EXPECT_EQ(OtherLines, (std::vector<Line>{{-1, TLogLevel::llInfo, "both"}}));
}

TEST_F(LogPathTest, ClearLogForgetsPendingText) {
  LibraryLog(nullptr, AV_LOG_INFO, "dropped");
  TCustomAVConverter::ClearLog();
  LibraryLog(nullptr, AV_LOG_INFO, "kept\n");
  EXPECT_EQ(Lines, (std::vector<Line>{{0, TLogLevel::llInfo, "kept"}}));
}

TEST_F(LogPathTest, NoLineAfterTheComponentIsGone) {
  auto Other = std::make_unique<TVexAVConverter>();
  int Count = 0;
  Other->OnLog = [&](int, TLogLevel, const std::string&) { ++Count; };
  LibraryLog(nullptr, AV_LOG_INFO, "seen\n");
  Other.reset();
  LibraryLog(nullptr, AV_LOG_INFO, "unseen\n");
  EXPECT_EQ(Count, 1);
}

}  // namespace
}  // namespace vexav::test
