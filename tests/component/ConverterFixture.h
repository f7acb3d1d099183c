// Shared set-up of the converter component's tests: the media libraries
// bound through the component, small generated clips in a temporary folder,
// and a thread-safe recorder of the component's events.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "MediaGenerator.h"
#include "binding/FFmpegLibs.h"
#include "component/TaskList.h"
#include "component/VexAVConverter.h"

namespace vexav::test {

namespace fs = std::filesystem;

// The generated clips, made once per test program.
struct ComponentMedia {
  std::string Folder;
  std::string Short;  // 320 x 240, 25/1, 1 s, MPEG-4 + MP3
  std::string Long;   // the same, 2 s
};

class ComponentMediaEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    ASSERT_TRUE(LoadFFmpegLibs("", true)) << LastLoadError();
    char Template[] = "/tmp/vexav-component-test-XXXXXX";
    ASSERT_NE(::mkdtemp(Template), nullptr);
    Media().Folder = Template;
    mediagen::MediaRequest Request;
    Request.DurationSeconds = 1.0;
    Media().Short = Make("short.avi", Request);
    Request.DurationSeconds = 2.0;
    Request.MarkSeconds = {0.5, 1.5};
    Media().Long = Make("long.avi", Request);
  }
  void TearDown() override {
    std::error_code Ignored;
    if (!Media().Folder.empty()) fs::remove_all(Media().Folder, Ignored);
  }

  static ComponentMedia& Media() {
    static ComponentMedia Instance;
    return Instance;
  }

 private:
  static std::string Make(const std::string& Name, const mediagen::MediaRequest& Request) {
    const std::string Path = Media().Folder + "/" + Name;
    const std::string Error = mediagen::Generate(Path, Request);
    EXPECT_EQ(Error, "") << Path;
    return Path;
  }
};

inline ::testing::Environment* const ComponentEnvironment =
    ::testing::AddGlobalTestEnvironment(new ComponentMediaEnvironment);

inline const ComponentMedia& Media() { return ComponentMediaEnvironment::Media(); }

// A path in the test folder.
inline std::string OutPath(const std::string& Name) { return Media().Folder + "/" + Name; }

using Clock = std::chrono::steady_clock;

struct TerminateRecord {
  int Index;
  bool Finished;
  bool Exception;
  std::string Message;
  TThreadID Thread;
  Clock::time_point When;
};

struct LogRecord {
  int Index;
  TLogLevel Level;
  std::string Text;
  TThreadID Thread;
  Clock::time_point When;
};

struct ProgressRecord {
  int Index;
  int FrameNumber;
  TThreadID Thread;
};

// Records every event of a component, from any thread.
class EventRecorder {
 public:
  // Assigns the component's OnLog, OnProgress and OnTerminate. The
  // terminate hook, when given, runs inside the handler after the record is
  // kept.
  void Attach(TCustomAVConverter& C,
              std::function<void(const TerminateRecord&)> OnTerminateHook = nullptr) {
    C.OnLog = [this](int Index, TLogLevel Level, const std::string& Text) {
      std::lock_guard<std::mutex> Guard(Mutex);
      Logs.push_back({Index, Level, Text, CurrentThreadID(), Clock::now()});
    };
    C.OnProgress = [this](int Index, int FrameNumber, int, int, float, float, int64_t, int) {
      std::lock_guard<std::mutex> Guard(Mutex);
      Progress.push_back({Index, FrameNumber, CurrentThreadID()});
      Changed.notify_all();
    };
    C.OnTerminate = [this, OnTerminateHook](int Index, bool Finished, bool Exception,
                                            const std::string& Message) {
      TerminateRecord Record{Index, Finished, Exception, Message, CurrentThreadID(), Clock::now()};
      {
        std::lock_guard<std::mutex> Guard(Mutex);
        Terminations.push_back(Record);
      }
      if (OnTerminateHook) OnTerminateHook(Record);
      std::lock_guard<std::mutex> Guard(Mutex);
      if (Index == -1) ++FinalCount;
      Changed.notify_all();
    };
  }

  // Waits until the final notice has come (true) or Seconds have passed.
  bool WaitFinal(int Seconds = 120) {
    std::unique_lock<std::mutex> Guard(Mutex);
    return Changed.wait_for(Guard, std::chrono::seconds(Seconds), [this] { return FinalCount > 0; });
  }
  // Waits until a progress event or a termination of task Index has come.
  bool WaitStarted(int Index, int Seconds = 60) {
    std::unique_lock<std::mutex> Guard(Mutex);
    return Changed.wait_for(Guard, std::chrono::seconds(Seconds), [&] {
      for (const auto& P : Progress)
        if (P.Index == Index) return true;
      for (const auto& T : Terminations)
        if (T.Index == Index) return true;
      return false;
    });
  }

  std::vector<TerminateRecord> TerminationsCopy() {
    std::lock_guard<std::mutex> Guard(Mutex);
    return Terminations;
  }
  std::vector<LogRecord> LogsCopy() {
    std::lock_guard<std::mutex> Guard(Mutex);
    return Logs;
  }
  std::vector<ProgressRecord> ProgressCopy() {
    std::lock_guard<std::mutex> Guard(Mutex);
    return Progress;
  }
  std::vector<int> TerminatedIndices() {
    std::vector<int> Result;
    for (const auto& T : TerminationsCopy()) Result.push_back(T.Index);
    return Result;
  }
  int Finals() {
    std::lock_guard<std::mutex> Guard(Mutex);
    return FinalCount;
  }
  void ClearLogs() {
    std::lock_guard<std::mutex> Guard(Mutex);
    Logs.clear();
  }

  std::mutex Mutex;
  std::condition_variable Changed;
  std::vector<TerminateRecord> Terminations;
  std::vector<LogRecord> Logs;
  std::vector<ProgressRecord> Progress;
  int FinalCount = 0;
};

// A component with its libraries bound.
class ConverterFixture : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(C.LoadLibraries("", true)) << C.LastError(); }

  // An output record that copies both streams unchanged.
  static TOutputOptions CopyRecord() {
    TOutputOptions O;
    O.VideoCodec = "copy";
    O.AudioCodec = "copy";
    return O;
  }
  // Adds Input with an output Name (in the test folder) that copies the
  // streams; RateEmulated reads the input at its own pace (so that a task
  // lasts as long as its clip). Returns the task's index.
  int AddCopyTask(const std::string& Input, const std::string& Name, bool RateEmulated = false) {
    TInputOptions In;
    if (RateEmulated) In.ExtOptions = "re";
    const int Index = C.AddInputFile(Input, &In);
    EXPECT_GE(Index, 0) << C.LastError();
    if (Index < 0) return Index;
    TOutputOptions Out = CopyRecord();
    EXPECT_TRUE(C.SetOutputFile(Index, OutPath(Name), &Out)) << C.LastError();
    return Index;
  }

  TVexAVConverter C;
  EventRecorder Events;
};

}  // namespace vexav::test
