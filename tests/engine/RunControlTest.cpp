// Starting, stopping and ending runs: refused starts, a stop request from
// the progress handler, write errors, outputs without bytes, the terminate
// notification (exactly once, also for an engine that never ran), a run
// thread that was never resumed, engines destroyed while running or from
// their own terminate handler, and damaged inputs.
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>

#include "RunTestSupport.h"

namespace vexav::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string Clip() {
  mediagen::MediaRequest S;
  S.DurationSeconds = 2.0;
  return Media("control-source.avi", S);
}

std::string ReadAll(const std::string& Path) {
  std::ifstream In(Path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(In), std::istreambuf_iterator<char>());
}

void WriteAll(const std::string& Path, const std::string& Data) {
  std::ofstream Out(Path, std::ios::binary);
  Out << Data;
}

// An engine after InitOptions whose handlers count into the record.
class EngineUnderTest {
 public:
  explicit EngineUnderTest(TRunRecord& R) {
    E.InitOptions();
    E.OnLog = [&R](TCustomFFmpeg&, int Level, const std::string& Text) {
      std::lock_guard<std::mutex> Guard(R.Lock);
      R.Log.push_back({Level, Text});
    };
    E.OnTerminate = [&R, this](TCustomFFmpeg& Sender) {
      EXPECT_EQ(&Sender, &E);
      R.Finished = Sender.Finished;
      R.ExceptionRaised = Sender.ExceptionRaised;
      R.ErrorMessage = Sender.ErrorMessage;
      TerminateThread = CurrentThreadID();
      ++R.Terminations;
    };
  }
  TCustomFFmpeg E;
  TThreadID TerminateThread = 0;
};

class RunControlTest : public RunTest {};

TEST_F(RunControlTest, StartWithoutOutputFileIsRefusedWithItsText) {
  TRunRecord R;
  EngineUnderTest U(R);
  ASSERT_TRUE(U.E.OpenInputFile(Clip())) << U.E.LastError;
  EXPECT_EQ(U.E.Start(true), nullptr);
  EXPECT_EQ(R.Terminations, 1);
  EXPECT_TRUE(R.ExceptionRaised);
  EXPECT_FALSE(R.Finished);
  EXPECT_EQ(R.ErrorMessage, "Must supply at least one output file");
  ASSERT_FALSE(R.Log.empty());
  EXPECT_EQ(R.Log.back().Level, -1);
  EXPECT_EQ(R.Log.back().Text, "Must supply at least one output file");
  // The notification came on the calling thread; no thread was made.
  EXPECT_EQ(U.TerminateThread, CurrentThreadID());
  EXPECT_FALSE(U.E.HasThread());
  // A terminated engine does not start again, nor notify again.
  EXPECT_EQ(U.E.Start(false), nullptr);
  U.E.StopOrNotify();
  EXPECT_TRUE(U.E.WaitForRun(60000));
  EXPECT_EQ(R.Terminations, 1);
}

TEST_F(RunControlTest, StartWithoutInputFileIsRefusedAndTheEmptyOutputRemoved) {
  TRunRecord R;
  EngineUnderTest U(R);
  const std::string Output = OutPath("never.mkv");
  ASSERT_TRUE(U.E.OpenOutputFile(Output)) << U.E.LastError;
  ASSERT_EQ(FileSize(Output), 0);
  EXPECT_EQ(U.E.Start(false), nullptr);
  EXPECT_EQ(R.Terminations, 1);
  EXPECT_EQ(R.ErrorMessage, "Must supply at least one input file");
  EXPECT_TRUE(R.ExceptionRaised);
  EXPECT_EQ(FileSize(Output), -1) << "an output that received no byte is removed";
}

TEST_F(RunControlTest, StopFromTheProgressHandlerEndsTheRunWithTrailers) {
  // MP4 keeps its index in the trailer: a readable file proves that it was
  // written.
  const std::string Output = OutPath("stopped.mp4");
  TRunRecord R;
  TRunRequest Request = Req({}, Clip(), {{"vcodec", "mpeg4"}, {"acodec", "aac"}}, Output);
  Request.Threaded = true;
  Request.ProgressIntervalUs = 0;
  std::atomic<int> StopsAsked{0};
  Request.OnProgress = [&StopsAsked](TCustomFFmpeg& Sender, const TProgressRecord& P) {
    if (P.FrameNumber >= 10 && StopsAsked++ == 0) Sender.Stop();
  };
  RunConversion(Request, R);
  ASSERT_TRUE(R.Opened) << R.OpenError;
  EXPECT_EQ(StopsAsked.load() >= 1, true);
  EXPECT_EQ(R.Terminations, 1);
  EXPECT_FALSE(R.Finished);
  EXPECT_FALSE(R.ExceptionRaised) << R.ErrorMessage;
  // The final report still came.
  EXPECT_TRUE(R.LoggedContaining("muxing overhead")) << R.LogText();

  const TProbedFile Out = ProbeFile(Output);
  ASSERT_EQ(Out.Error, "");
  const TProbedStream* V = Out.First(AVMEDIA_TYPE_VIDEO);
  ASSERT_NE(V, nullptr);
  EXPECT_GE(V->Packets, 10);
  EXPECT_LT(V->Packets, 50);
  const mediagen::DecodedMedia Dst = mediagen::Decode(Output);
  ASSERT_EQ(Dst.Error, "");
  EXPECT_EQ(static_cast<int>(Dst.Frames.size()), V->Packets);
}

// A stop that comes once everything was written out (here: from the final
// report, which follows the trailer) finds a complete file: the run has
// reached its end and says so, and nothing was cut.
TEST_F(RunControlTest, AStopAfterTheEndWasWrittenLeavesTheRunFinished) {
  const std::string Output = OutPath("complete.mp4");
  const std::string Whole = OutPath("whole.mp4");
  TRunRecord R, Plain;
  TRunRequest Request = Req({}, Clip(), {{"vcodec", "mpeg4"}, {"acodec", "aac"}}, Output);
  Request.Threaded = true;
  // No report but the final one.
  Request.ProgressIntervalUs = 3600LL * 1000000;
  std::atomic<int> Reports{0};
  Request.OnProgress = [&Reports](TCustomFFmpeg& Sender, const TProgressRecord&) {
    if (Reports++ == 0) Sender.Stop();
  };
  RunConversion(Request, R);
  ASSERT_TRUE(R.Opened) << R.OpenError;
  ASSERT_EQ(Reports.load(), 1) << "only the final report was to come";
  EXPECT_TRUE(R.Finished);
  EXPECT_FALSE(R.ExceptionRaised) << R.ErrorMessage;

  RunConversion(Req({}, Clip(), {{"vcodec", "mpeg4"}, {"acodec", "aac"}}, Whole), Plain);
  ASSERT_TRUE(Plain.Finished) << Plain.ErrorMessage;
  const mediagen::DecodedMedia Got = mediagen::Decode(Output);
  const mediagen::DecodedMedia Expected = mediagen::Decode(Whole);
  ASSERT_EQ(Got.Error, "");
  ASSERT_EQ(Expected.Error, "");
  EXPECT_EQ(Got.Frames.size(), Expected.Frames.size());
  EXPECT_EQ(Got.AudioSamples, Expected.AudioSamples);
}

TEST_F(RunControlTest, WriteErrorEndsTheRunWithItsText) {
  TRunRecord R;
  {
    EngineUnderTest U(R);
    ASSERT_TRUE(U.E.OpenInputFile(Clip())) << U.E.LastError;
    U.E.SetOption("vcodec", "copy");
    U.E.SetOption("acodec", "copy");
    U.E.SetOption("f", "avi");
    ASSERT_TRUE(U.E.OpenOutputFile("/dev/full")) << U.E.LastError;
    TFFmpegThread* Thread = U.E.Start(true);
    ASSERT_NE(Thread, nullptr);
    Thread->Resume();
    ASSERT_TRUE(U.E.WaitForRun(120000));
    EXPECT_TRUE(U.E.OpenedEncoders.empty());
    EXPECT_TRUE(U.E.OpenedDecoders.empty());
  }
  EXPECT_EQ(R.Terminations, 1);
  EXPECT_TRUE(R.ExceptionRaised);
  EXPECT_FALSE(R.Finished);
  // Written through the library error text rule (no space left is a code
  // outside the table: "Error while opening file"), at a packet, at the
  // trailer (the muxer may hold the whole short clip until then), or at the
  // header.
  const bool WriteFailed = R.ErrorMessage == "av_interleaved_write_frame(): Error while opening file" ||
                           R.ErrorMessage == "av_write_trailer(): Error while opening file";
  const bool HeaderFailed = R.ErrorMessage == "Could not write header for output file #0 (incorrect codec parameters ?)";
  EXPECT_TRUE(WriteFailed || HeaderFailed) << R.ErrorMessage;
  bool LoggedAsFatal = false;
  for (const TLogRecord& Line : R.Log) LoggedAsFatal |= Line.Level == -1 && Line.Text == R.ErrorMessage;
  EXPECT_TRUE(LoggedAsFatal) << R.LogText();
  // The device is not a file of ours: it is never removed.
  struct stat Info;
  ASSERT_EQ(::stat("/dev/full", &Info), 0);
  EXPECT_TRUE(S_ISCHR(Info.st_mode));
}

TEST_F(RunControlTest, WriteErrorDuringPacketsIsTheWriteText) {
  // Matroska flushes its header into the write buffer only: the error comes
  // with the packets.
  TRunRecord R;
  {
    EngineUnderTest U(R);
    ASSERT_TRUE(U.E.OpenInputFile(Clip())) << U.E.LastError;
    U.E.SetOption("vcodec", "mpeg4");
    U.E.SetOption("acodec", "copy");
    U.E.SetOption("f", "matroska");
    ASSERT_TRUE(U.E.OpenOutputFile("/dev/full")) << U.E.LastError;
    U.E.Start(false);
  }
  EXPECT_EQ(R.Terminations, 1);
  EXPECT_TRUE(R.ExceptionRaised);
  EXPECT_TRUE(R.ErrorMessage.rfind("av_interleaved_write_frame(): ", 0) == 0 ||
              R.ErrorMessage.rfind("av_write_trailer(): ", 0) == 0)
      << R.ErrorMessage;
}

TEST_F(RunControlTest, StopOrNotifyDeliversTheNoticeOfAnEngineThatNeverRan) {
  TRunRecord R;
  EngineUnderTest U(R);
  ASSERT_TRUE(U.E.OpenInputFile(Clip())) << U.E.LastError;
  U.E.StopOrNotify();
  U.E.StopOrNotify();  // a second request sends no second notice
  ASSERT_TRUE(U.E.WaitForRun(120000));
  EXPECT_EQ(R.Terminations, 1);
  EXPECT_NE(U.TerminateThread, CurrentThreadID());
  EXPECT_FALSE(R.ExceptionRaised);
  // Notified: the engine does not start any more.
  EXPECT_EQ(U.E.Start(false), nullptr);
  EXPECT_EQ(R.Terminations, 1);
}

TEST_F(RunControlTest, StopStartsAThreadThatWasNeverResumed) {
  TRunRecord R;
  EngineUnderTest U(R);
  const std::string Output = OutPath("unresumed.avi");
  ASSERT_TRUE(U.E.OpenInputFile(Clip())) << U.E.LastError;
  U.E.SetOption("vcodec", "copy");
  U.E.SetOption("acodec", "copy");
  ASSERT_TRUE(U.E.OpenOutputFile(Output)) << U.E.LastError;
  TFFmpegThread* Thread = U.E.Start(true, TThreadPriority::tpLower);
  ASSERT_NE(Thread, nullptr);
  EXPECT_TRUE(U.E.HasThread());
  EXPECT_EQ(U.E.Start(true), nullptr) << "a second start is refused";
  U.E.Stop();
  ASSERT_TRUE(U.E.WaitForRun(120000));
  EXPECT_FALSE(U.E.HasThread());
  EXPECT_EQ(R.Terminations, 1);
  EXPECT_FALSE(R.Finished);
  EXPECT_FALSE(R.ExceptionRaised) << R.ErrorMessage;
  // Stopped before the first packet: the file would hold no picture and no
  // sound, so it is not left behind.
  EXPECT_FALSE(std::filesystem::exists(Output));
}

TEST_F(RunControlTest, DestroyingARunningEngineStopsAndWaitsForIt) {
  TRunRecord R;
  const std::string Output = OutPath("destroyed.avi");
  {
    EngineUnderTest U(R);
    ASSERT_TRUE(U.E.OpenInputFile(Clip())) << U.E.LastError;
    U.E.SetOption("vcodec", "mpeg4");
    ASSERT_TRUE(U.E.OpenOutputFile(Output)) << U.E.LastError;
    TFFmpegThread* Thread = U.E.Start(true);
    ASSERT_NE(Thread, nullptr);
    Thread->Resume();
  }
  // The destructor returned only after the run had ended; what it left is
  // readable, or nothing at all when the stop came before the first packet.
  EXPECT_EQ(R.Terminations, 1);
  EXPECT_FALSE(R.ExceptionRaised) << R.ErrorMessage;
  if (std::filesystem::exists(Output)) {
    EXPECT_EQ(ProbeFile(Output).Error, "");
  }
}

TEST_F(RunControlTest, TheTerminateHandlerMayDestroyTheEngine) {
  const std::string Output = OutPath("self-destroyed.mkv");
  auto* E = new TCustomFFmpeg;
  E->InitOptions();
  ASSERT_TRUE(E->OpenInputFile(Clip())) << E->LastError;
  E->SetOption("vcodec", "copy");
  E->SetOption("acodec", "copy");
  ASSERT_TRUE(E->OpenOutputFile(Output)) << E->LastError;
  std::promise<bool> Done;
  E->OnTerminate = [&Done](TCustomFFmpeg& Sender) {
    const bool Finished = Sender.Finished;
    delete &Sender;
    Done.set_value(Finished);
  };
  TFFmpegThread* Thread = E->Start(true);
  ASSERT_NE(Thread, nullptr);
  Thread->Resume();
  auto Result = Done.get_future();
  ASSERT_EQ(Result.wait_for(120s), std::future_status::ready);
  EXPECT_TRUE(Result.get());
  EXPECT_EQ(ProbeFile(Output).Error, "");
}

TEST_F(RunControlTest, AnOutputThatReceivedNoByteIsRemoved) {
  // The run fails before any header (a map that names no stream).
  const std::string Output = OutPath("empty.mkv");
  TRunRecord R;
  RunConversion(Req({}, Clip(), {{"map", "0:7"}, {"map", "0:1"}}, Output), R);
  ASSERT_TRUE(R.Opened) << R.OpenError;
  EXPECT_EQ(R.Terminations, 1);
  EXPECT_EQ(R.ErrorMessage, "Could not find input stream #0.7");
  EXPECT_EQ(FileSize(Output), -1);
}

class RunDamagedInputTest : public RunTest, public ::testing::WithParamInterface<bool> {};

TEST_P(RunDamagedInputTest, TruncatedInputEndsCleanly) {
  const bool Copy = GetParam();
  const std::string Data = ReadAll(Clip());
  const std::string Truncated = OutPath("truncated.avi");
  WriteAll(Truncated, Data.substr(0, Data.size() / 2));
  const std::string Output = OutPath("from-truncated.mkv");
  TRunRecord R;
  RunConversion(Req({}, Truncated,
                    Copy ? TOptionList{{"vcodec", "copy"}, {"acodec", "copy"}}
                         : TOptionList{{"vcodec", "mpeg4"}, {"acodec", "mp2"}},
                    Output),
                R);
  ASSERT_TRUE(R.Opened) << R.OpenError;
  EXPECT_EQ(R.Terminations, 1);
  EXPECT_TRUE(R.Finished) << R.ErrorMessage;
  const mediagen::DecodedMedia Dst = mediagen::Decode(Output);
  ASSERT_EQ(Dst.Error, "");
  EXPECT_GT(Dst.Frames.size(), 10u);
  EXPECT_LT(Dst.Frames.size(), 50u);
}

TEST_P(RunDamagedInputTest, CorruptInputEndsCleanly) {
  const bool Copy = GetParam();
  std::string Data = ReadAll(Clip());
  // Garbage over the middle third, headers intact.
  uint32_t Seed = 12345;
  for (std::size_t I = Data.size() / 3; I < 2 * Data.size() / 3; ++I) {
    Seed = Seed * 1103515245u + 12345u;
    if ((Seed >> 16) % 3 == 0) Data[I] = static_cast<char>(Seed >> 24);
  }
  const std::string Corrupt = OutPath("corrupt.avi");
  WriteAll(Corrupt, Data);
  const std::string Output = OutPath("from-corrupt.mkv");
  TRunRecord R;
  RunConversion(Req({}, Corrupt,
                    Copy ? TOptionList{{"vcodec", "copy"}, {"acodec", "copy"}}
                         : TOptionList{{"vcodec", "mpeg4"}, {"acodec", "mp2"}},
                    Output),
                R);
  if (!R.Opened) GTEST_SKIP() << "the damaged file does not open: " << R.OpenError;
  EXPECT_EQ(R.Terminations, 1);
  EXPECT_EQ(ProbeFile(Output).Error, "") << R.ErrorMessage;
}

TEST_F(RunControlTest, AnEmptyVideoPacketDoesNotEndTheDecoding) {
  const std::string Holed = OutPath("dropped-frame.avi");
  ASSERT_EQ(EmptyVideoPacket(Clip(), Holed, 10), "");
  const std::string Output = OutPath("from-dropped-frame.mkv");
  TRunRecord R;
  RunConversion(Req({}, Holed, {{"vcodec", "mpeg4"}, {"an", ""}, {"vsync", "0"}}, Output), R);
  ASSERT_TRUE(R.Opened) << R.OpenError;
  EXPECT_TRUE(R.Finished) << R.ErrorMessage;
  const mediagen::DecodedMedia Dst = mediagen::Decode(Output);
  ASSERT_EQ(Dst.Error, "");
  // Every picture but the empty one.
  EXPECT_GE(Dst.Frames.size(), 48u);
}

INSTANTIATE_TEST_SUITE_P(CopyAndReencode, RunDamagedInputTest, ::testing::Bool());

}  // namespace
}  // namespace vexav::test
