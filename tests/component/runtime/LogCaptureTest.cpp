// The process-wide capture of the media library's log: lines assembled per
// thread, the level filter, the fixed buffer, the clients and the pending
// text list. Messages go through the real library's av_log.

#include "component/runtime/LogCapture.h"

#include <gtest/gtest.h>

#include <cinttypes>
#include <future>
#include <latch>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "binding/Api.h"
#include "binding/FFmpegLibs.h"
#include "binding/LogLevels.h"
#include "binding/Text.h"
#include "component/runtime/LogList.h"

namespace vexav {
namespace {

struct CapturedLine {
  TThreadID Thread;
  int Level;
  std::string Text;
};

class RecordingClient : public TLogCaptureClient {
 public:
  void CaptureLine(TThreadID ThreadId, int Level, const std::string& Line) override {
    std::lock_guard<std::mutex> Guard(Mutex);
    Captured.push_back({ThreadId, Level, Line});
  }
  std::vector<CapturedLine> Lines() {
    std::lock_guard<std::mutex> Guard(Mutex);
    return Captured;
  }
  std::vector<std::string> Texts() {
    std::vector<std::string> Result;
    for (const auto& Line : Lines()) Result.push_back(Line.Text);
    return Result;
  }

 private:
  std::mutex Mutex;
  std::vector<CapturedLine> Captured;
};

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

std::string PrefixOf(const void* Context) {
  return Format("[probe @ %016" PRIXPTR "]", reinterpret_cast<std::uintptr_t>(Context));
}

class RuntimeLogCaptureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(LoadFFmpegLibs("", true)) << LastLoadError();
    SavedLevel = ff::av_log_get_level();
    SetLibraryLevel(LibraryLogLevel(3));
    ClearLog();
    ASSERT_TRUE(InstallLogCapture());
    RegisterLogCaptureClient(&Client);
  }

  void TearDown() override {
    for (TLogCaptureClient* Registered : LogCaptureClients()) UnregisterLogCaptureClient(Registered);
    UninstallLogCapture();
    SetLibraryLevel(SavedLevel);
    ClearLog();
  }

  static void SetLibraryLevel(int Level) {
    ff::av_log_set_level(Level);
    RecordLogLevel();
  }

  RecordingClient Client;
  TestContext Context;
  int SavedLevel = 0;
};

using Lines = std::vector<std::string>;

// --- Lines assembled per thread ---------------------------------------------

TEST_F(RuntimeLogCaptureTest, PieceThenLineEndGiveOneLineWithThePrefixOfTheFirst) {
  ff::av_log(&Context, AV_LOG_INFO, "first part");
  EXPECT_TRUE(Client.Lines().empty());
  EXPECT_EQ(PendingLogText(CurrentThreadID()), PrefixOf(&Context) + "first part");

  ff::av_log(&Context, AV_LOG_ERROR, " and the %s\n", "end");
  auto Got = Client.Lines();
  ASSERT_EQ(Got.size(), 1u);
  // One prefix only (the second call had a context too, but no line start),
  // and the level of the call that completed the line.
  EXPECT_EQ(Got[0].Text, PrefixOf(&Context) + "first part and the end");
  EXPECT_EQ(Got[0].Level, 0);
  EXPECT_EQ(Got[0].Thread, CurrentThreadID());
  EXPECT_EQ(PendingLogText(CurrentThreadID()), "");
}

TEST_F(RuntimeLogCaptureTest, LineStartedWithoutContextHasNoPrefix) {
  ff::av_log(nullptr, AV_LOG_INFO, "plain ");
  ff::av_log(&Context, AV_LOG_INFO, "tail\n");
  EXPECT_EQ(Client.Texts(), Lines{"plain tail"});

  // A context whose class pointer is null gives no prefix either.
  struct {
    const AVClass* Class = nullptr;
  } NoClass;
  ff::av_log(&NoClass, AV_LOG_INFO, "no class\n");
  EXPECT_EQ(Client.Texts(), (Lines{"plain tail", "no class"}));
}

TEST_F(RuntimeLogCaptureTest, TwoLineFeedsGiveTwoLinesAndKeepTheRestPending) {
  ff::av_log(&Context, AV_LOG_INFO, "one\ntwo\nthree");
  EXPECT_EQ(Client.Texts(), (Lines{PrefixOf(&Context) + "one", "two"}));
  EXPECT_EQ(PendingLogText(CurrentThreadID()), "three");

  ff::av_log(&Context, AV_LOG_INFO, " more\n\n");
  EXPECT_EQ(Client.Texts(), (Lines{PrefixOf(&Context) + "one", "two", "three more", ""}));
  EXPECT_EQ(PendingLogText(CurrentThreadID()), "");

  // The next line starts afresh, with its prefix.
  ff::av_log(&Context, AV_LOG_INFO, "%d-%s\n", 42, "x");
  EXPECT_EQ(Client.Texts().back(), PrefixOf(&Context) + "42-x");
}

TEST_F(RuntimeLogCaptureTest, LibraryLevelsArriveAsSystemLevels) {
  const std::pair<int, int> Cases[] = {{AV_LOG_PANIC, -1}, {AV_LOG_FATAL, -1}, {AV_LOG_ERROR, 0},
                                       {AV_LOG_WARNING, 0}, {AV_LOG_INFO, 1},  {AV_LOG_VERBOSE, 1},
                                       {AV_LOG_DEBUG, 2},   {AV_LOG_TRACE, 3}};
  for (const auto& [Library, System] : Cases) ff::av_log(nullptr, Library, "level %d\n", Library);
  // A colour tint above the level's low byte does not change the level.
  ff::av_log(nullptr, AV_LOG_INFO | (3 << 8), "tinted\n");

  auto Got = Client.Lines();
  ASSERT_EQ(Got.size(), std::size(Cases) + 1);
  for (std::size_t I = 0; I < std::size(Cases); ++I) {
    EXPECT_EQ(Got[I].Text, Format("level %d", Cases[I].first));
    EXPECT_EQ(Got[I].Level, Cases[I].second) << Got[I].Text;
  }
  EXPECT_EQ(Got.back().Text, "tinted");
  EXPECT_EQ(Got.back().Level, 1);
}

// --- The level filter --------------------------------------------------------

TEST_F(RuntimeLogCaptureTest, QuietLetsNothingThrough) {
  SetLibraryLevel(LibraryLogLevel(-1));
  ASSERT_EQ(RecordedLogLevel(), -8);
  for (int Level : {AV_LOG_PANIC, AV_LOG_FATAL, AV_LOG_ERROR, AV_LOG_INFO, AV_LOG_TRACE})
    ff::av_log(&Context, Level, "dropped %d\n", Level);
  ff::av_log(&Context, AV_LOG_ERROR, "no pending text either");
  EXPECT_TRUE(Client.Lines().empty());
  EXPECT_EQ(PendingLogText(CurrentThreadID()), "");
}

TEST_F(RuntimeLogCaptureTest, ErrorLevelDropsInformation) {
  SetLibraryLevel(LibraryLogLevel(0));
  ASSERT_EQ(RecordedLogLevel(), AV_LOG_ERROR);
  // Warnings (24) are above the library's error level (16) too.
  ff::av_log(nullptr, AV_LOG_INFO, "information\n");
  ff::av_log(nullptr, AV_LOG_WARNING, "warning\n");
  ff::av_log(nullptr, AV_LOG_ERROR, "error\n");
  ff::av_log(nullptr, AV_LOG_FATAL, "fatal\n");
  // A dropped piece does not become part of the next line.
  ff::av_log(nullptr, AV_LOG_INFO, "dropped piece ");
  ff::av_log(nullptr, AV_LOG_ERROR, "kept\n");
  EXPECT_EQ(Client.Texts(), (Lines{"error", "fatal", "kept"}));
}

TEST_F(RuntimeLogCaptureTest, FilterUsesTheRecordedLevel) {
  // The library's level changes but is not recorded: the capture still lets
  // information through until the level is recorded.
  ff::av_log_set_level(AV_LOG_ERROR);
  ff::av_log(nullptr, AV_LOG_INFO, "before recording\n");
  RecordLogLevel();
  ff::av_log(nullptr, AV_LOG_INFO, "after recording\n");
  EXPECT_EQ(Client.Texts(), Lines{"before recording"});
}

// --- The fixed buffer --------------------------------------------------------

TEST_F(RuntimeLogCaptureTest, LongMessageIsCutAtTheBufferEnd) {
  const std::string Long(5000, 'x');
  ff::av_log(&Context, AV_LOG_ERROR, "%s\n", Long.c_str());
  auto Got = Client.Texts();
  ASSERT_EQ(Got.size(), 1u);
  ASSERT_EQ(Got[0].size(), LOG_BUFFER_SIZE - 1);
  const std::string Prefix = PrefixOf(&Context);
  EXPECT_EQ(Got[0], Prefix + std::string(LOG_BUFFER_SIZE - 1 - Prefix.size(), 'x'));
  EXPECT_EQ(PendingLogText(CurrentThreadID()), "");

  // The next line starts afresh.
  ff::av_log(&Context, AV_LOG_ERROR, "next\n");
  EXPECT_EQ(Client.Texts().back(), Prefix + "next");
}

TEST_F(RuntimeLogCaptureTest, PendingTextAndMessageAreCutTogether) {
  ff::av_log(nullptr, AV_LOG_INFO, "%s", std::string(1500, 'a').c_str());
  ff::av_log(nullptr, AV_LOG_INFO, "%s\n", std::string(1500, 'b').c_str());
  EXPECT_EQ(Client.Texts(), Lines{std::string(1500, 'a') + std::string(LOG_BUFFER_SIZE - 1 - 1500, 'b')});
}

TEST_F(RuntimeLogCaptureTest, FullLineDropsTheRestUntilItsEnd) {
  // No line feed: the pending text fills the buffer and stays at its size.
  ff::av_log(nullptr, AV_LOG_INFO, "%s", std::string(5000, 'z').c_str());
  EXPECT_EQ(PendingLogText(CurrentThreadID()), std::string(LOG_BUFFER_SIZE - 1, 'z'));
  ff::av_log(nullptr, AV_LOG_INFO, "%s", std::string(100, 'y').c_str());
  EXPECT_EQ(PendingLogText(CurrentThreadID()).size(), LOG_BUFFER_SIZE - 1);
  EXPECT_TRUE(Client.Lines().empty());

  // The line still ends at the next line feed, and the lines after it are
  // whole again, also line feeds beyond the buffer's end.
  ff::av_log(nullptr, AV_LOG_INFO, "end\nafter\n");
  ff::av_log(nullptr, AV_LOG_INFO, "%s\nshort\nrest", std::string(3000, 'c').c_str());
  EXPECT_EQ(Client.Texts(),
            (Lines{std::string(LOG_BUFFER_SIZE - 1, 'z'), "after", std::string(LOG_BUFFER_SIZE - 1, 'c'), "short"}));
  EXPECT_EQ(PendingLogText(CurrentThreadID()), "rest");
}

// --- Threads -----------------------------------------------------------------

TEST_F(RuntimeLogCaptureTest, LinesOfConcurrentThreadsKeepTheirThreadAndNeverMix) {
  constexpr int LinesPerThread = 300;
  std::latch Ready(2);
  std::promise<TThreadID> IdA, IdB;
  auto Writer = [&](char Tag, std::promise<TThreadID>& Id) {
    Id.set_value(CurrentThreadID());
    Ready.arrive_and_wait();
    for (int I = 0; I < LinesPerThread; ++I) {
      // Three pieces per line, so the other thread's calls fall in between.
      ff::av_log(nullptr, AV_LOG_INFO, "%c-%d", Tag, I);
      ff::av_log(nullptr, AV_LOG_INFO, " middle %c", Tag);
      ff::av_log(nullptr, AV_LOG_INFO, " end\n");
    }
  };
  std::thread A(Writer, 'A', std::ref(IdA));
  std::thread B(Writer, 'B', std::ref(IdB));
  A.join();
  B.join();
  const std::map<TThreadID, char> TagOf{{IdA.get_future().get(), 'A'}, {IdB.get_future().get(), 'B'}};
  ASSERT_EQ(TagOf.size(), 2u);

  std::map<char, int> Next{{'A', 0}, {'B', 0}};
  for (const auto& Line : Client.Lines()) {
    auto Found = TagOf.find(Line.Thread);
    ASSERT_NE(Found, TagOf.end()) << Line.Text;
    const char Tag = Found->second;
    EXPECT_EQ(Line.Text, Format("%c-%d middle %c end", Tag, Next[Tag], Tag));
    ++Next[Tag];
  }
  EXPECT_EQ(Next['A'], LinesPerThread);
  EXPECT_EQ(Next['B'], LinesPerThread);
}

TEST_F(RuntimeLogCaptureTest, EachThreadKeepsItsOwnPendingText) {
  ff::av_log(nullptr, AV_LOG_INFO, "main ");
  std::thread Other([] { ff::av_log(nullptr, AV_LOG_INFO, "other "); });
  Other.join();
  ff::av_log(nullptr, AV_LOG_INFO, "done\n");
  EXPECT_EQ(Client.Texts(), Lines{"main done"});
}

// --- Clients -----------------------------------------------------------------

// Records, in one shared list, which client received a line.
class OrderClient : public TLogCaptureClient {
 public:
  OrderClient(std::string Name, std::vector<std::string>& Order) : Name(std::move(Name)), Order(Order) {}
  void CaptureLine(TThreadID, int, const std::string& Line) override { Order.push_back(Name + ":" + Line); }

 private:
  std::string Name;
  std::vector<std::string>& Order;
};

TEST_F(RuntimeLogCaptureTest, ClientsReceiveLinesInListOrderUntilUnregistered) {
  UnregisterLogCaptureClient(&Client);
  std::vector<std::string> Order;
  OrderClient A("A", Order), B("B", Order), C("C", Order);
  RegisterLogCaptureClient(&A);
  RegisterLogCaptureClient(&B);
  RegisterLogCaptureClient(&C);
  RegisterLogCaptureClient(&B);  // already live: not added twice
  EXPECT_EQ(LogCaptureClients(), (std::vector<TLogCaptureClient*>{&A, &B, &C}));

  ff::av_log(nullptr, AV_LOG_INFO, "one\ntwo\n");
  EXPECT_EQ(Order, (Lines{"A:one", "B:one", "C:one", "A:two", "B:two", "C:two"}));

  Order.clear();
  UnregisterLogCaptureClient(&B);
  EXPECT_EQ(LogCaptureClients(), (std::vector<TLogCaptureClient*>{&A, &C}));
  ff::av_log(nullptr, AV_LOG_INFO, "three\n");
  EXPECT_EQ(Order, (Lines{"A:three", "C:three"}));
}

TEST_F(RuntimeLogCaptureTest, WithoutClientsLinesAreDroppedAndPiecesKept) {
  UnregisterLogCaptureClient(&Client);
  ASSERT_TRUE(LogCaptureClients().empty());
  ff::av_log(&Context, AV_LOG_INFO, "lost\nkept ");
  EXPECT_EQ(PendingLogText(CurrentThreadID()), "kept ");

  RegisterLogCaptureClient(&Client);
  ff::av_log(&Context, AV_LOG_INFO, "end\n");
  EXPECT_EQ(Client.Texts(), Lines{"kept end"});
}

// Logs again from inside CaptureLine, under its own re-entrant lock (as the
// component's lock is).
class EchoClient : public TLogCaptureClient {
 public:
  void CaptureLine(TThreadID, int, const std::string& Line) override {
    std::lock_guard<std::recursive_mutex> Guard(Mutex);
    Received.push_back(Line);
    if (Line == "outer") ff::av_log(nullptr, AV_LOG_INFO, "inner\n");
  }
  std::recursive_mutex Mutex;
  std::vector<std::string> Received;
};

TEST_F(RuntimeLogCaptureTest, ClientMayLogAgainFromItsThread) {
  UnregisterLogCaptureClient(&Client);
  EchoClient Echo;
  RegisterLogCaptureClient(&Echo);
  // The inner message arrives while the outer call still holds the lock, and
  // continues the outer call's rest ("tail "), already stored as pending.
  ff::av_log(nullptr, AV_LOG_INFO, "outer\ntail ");
  EXPECT_EQ(Echo.Received, (Lines{"outer", "tail inner"}));
  ff::av_log(nullptr, AV_LOG_INFO, "outer\n");
  EXPECT_EQ(Echo.Received, (Lines{"outer", "tail inner", "outer", "inner"}));
  EXPECT_EQ(PendingLogText(CurrentThreadID()), "");
}

// Blocks inside CaptureLine until released.
class BlockingClient : public TLogCaptureClient {
 public:
  void CaptureLine(TThreadID, int, const std::string&) override {
    Entered.set_value();
    Release.get_future().wait();
  }
  std::promise<void> Entered;
  std::promise<void> Release;
};

TEST_F(RuntimeLogCaptureTest, UnregisterWaitsForACaptureInProgress) {
  UnregisterLogCaptureClient(&Client);
  BlockingClient Blocking;
  RegisterLogCaptureClient(&Blocking);
  std::thread Logger([] { ff::av_log(nullptr, AV_LOG_INFO, "line\n"); });
  Blocking.Entered.get_future().wait();

  std::atomic<bool> Returned{false};
  std::thread Remover([&] {
    UnregisterLogCaptureClient(&Blocking);
    Returned = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(Returned);
  Blocking.Release.set_value();
  Remover.join();
  Logger.join();
  EXPECT_TRUE(Returned);
  EXPECT_TRUE(LogCaptureClients().empty());
}

TEST_F(RuntimeLogCaptureTest, UninstallGivesTheLibraryItsDefaultCallback) {
  // The library's own level goes to quiet, unrecorded: the default callback
  // stays silent while the capture's recorded level still lets all through.
  ff::av_log_set_level(AV_LOG_QUIET);
  UninstallLogCapture();
  ff::av_log(nullptr, AV_LOG_ERROR, "not captured\n");
  EXPECT_TRUE(Client.Lines().empty());
  ASSERT_TRUE(InstallLogCapture());
  ff::av_log(nullptr, AV_LOG_ERROR, "captured\n");
  EXPECT_EQ(Client.Texts(), Lines{"captured"});
}

// --- ClearLog and the pending text list ----------------------------------------

TEST_F(RuntimeLogCaptureTest, ClearLogForgetsThePendingTextOfEveryThread) {
  ff::av_log(&Context, AV_LOG_INFO, "main piece");
  TThreadID OtherId = 0;
  std::thread Other([&] {
    OtherId = CurrentThreadID();
    ff::av_log(nullptr, AV_LOG_INFO, "other piece");
  });
  Other.join();
  EXPECT_EQ(PendingLogText(OtherId), "other piece");

  ClearLog();
  EXPECT_EQ(PendingLogText(CurrentThreadID()), "");
  EXPECT_EQ(PendingLogText(OtherId), "");
  // A new line, so a new prefix.
  ff::av_log(&Context, AV_LOG_INFO, "fresh\n");
  EXPECT_EQ(Client.Texts(), Lines{PrefixOf(&Context) + "fresh"});
}

TEST(RuntimeLogListTest, InlineEntryFirstThenChainEntriesPushedAtTheHead) {
  TLogList List;
  EXPECT_EQ(List.Count(), 0u);
  EXPECT_EQ(List.Find(7), nullptr);

  TLogEntry& First = List.FindOrAdd(7);
  First.Text = "seven";
  TLogEntry& Second = List.FindOrAdd(8);
  TLogEntry& Third = List.FindOrAdd(9);
  EXPECT_EQ(List.ThreadIDs(), (std::vector<TThreadID>{7, 9, 8}));
  EXPECT_EQ(Second.Text, "");
  EXPECT_EQ(&List.FindOrAdd(7), &First);
  EXPECT_EQ(&List.FindOrAdd(8), &Second);
  EXPECT_EQ(List.Find(9), &Third);
  EXPECT_EQ(List.FindOrAdd(7).Text, "seven");
  EXPECT_EQ(List.Count(), 3u);

  List.Clear();
  EXPECT_EQ(List.Count(), 0u);
  EXPECT_EQ(List.Find(7), nullptr);
  // The inline entry is free again and the next thread claims it.
  TLogEntry& Again = List.FindOrAdd(9);
  EXPECT_EQ(Again.Text, "");
  EXPECT_EQ(List.ThreadIDs(), std::vector<TThreadID>{9});
}

}  // namespace
}  // namespace vexav
