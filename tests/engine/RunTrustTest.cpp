// What a run leaves on disk when it cannot finish: an error before the
// trailers removes the output files the run created (and only those), with
// a log line each; the disk filling up (a device that is always full, a
// file size limit, a small full file system); an output whose name vanishes
// during the run; an error after the trailers keeps the file.
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

#include "RunTestSupport.h"

namespace vexav::test {
namespace {

namespace fs = std::filesystem;

std::string Clip() {
  mediagen::MediaRequest S;
  S.Width = 160;
  S.Height = 120;
  S.DurationSeconds = 1.0;
  return Media("trust-source.avi", S);
}

// Raw pictures: 57600 bytes a frame at 160 x 120, so that a few frames fill
// a small disk.
std::string RawClip() {
  mediagen::MediaRequest S;
  S.Width = 160;
  S.Height = 120;
  S.DurationSeconds = 1.0;
  S.Video = mediagen::VideoCodec::Raw;
  S.Audio = mediagen::AudioCodec::Pcm;
  return Media("trust-raw.avi", S);
}

const TOptionList Copy{{"vcodec", "copy"}, {"acodec", "copy"}};

int RemovalLines(const TRunRecord& R, const std::string& Path) {
  int N = 0;
  for (const TLogRecord& Line : R.Log)
    N += Line.Text == "Removed incomplete output file '" + Path + "'.";
  return N;
}

int AnyRemovalLines(const TRunRecord& R) {
  int N = 0;
  for (const TLogRecord& Line : R.Log)
    N += Line.Text.rfind("Removed incomplete output file", 0) == 0;
  return N;
}

bool IsWriteErrorText(const std::string& Text) {
  return Text.rfind("av_interleaved_write_frame(): ", 0) == 0 ||
         Text.rfind("av_write_trailer(): ", 0) == 0 ||
         Text.rfind("Could not write header for output file #0", 0) == 0;
}

class RunTrustTest : public RunTest {};

TEST_F(RunTrustTest, AnErrorBeforeTheTrailerRemovesTheCreatedOutputAndSaysSo) {
  // Two maps for one output stream of an MP4 with two streams: the run
  // fails in its set-up, after the file was created.
  const std::string Output = OutPath("setup-error.mp4");
  TRunRecord R;
  RunConversion(Req({}, Clip(), {{"map", "0:0"}}, Output), R);
  ASSERT_TRUE(R.Opened) << R.OpenError;
  EXPECT_EQ(R.Terminations, 1);
  EXPECT_TRUE(R.ExceptionRaised);
  EXPECT_EQ(R.ErrorMessage, "Number of stream maps must match number of output streams");
  EXPECT_FALSE(fs::exists(Output));
  EXPECT_EQ(RemovalLines(R, Output), 1) << R.LogText();
}

TEST_F(RunTrustTest, AFileThatWasThereBeforeIsNeverRemoved) {
  const std::string Output = OutPath("existing.mp4");
  { std::ofstream(Output) << "the user's file"; }
  TRunRecord R;
  RunConversion(Req({}, Clip(), {{"map", "0:0"}}, Output), R);
  ASSERT_TRUE(R.Opened) << R.OpenError;
  EXPECT_EQ(R.Terminations, 1);
  EXPECT_TRUE(R.ExceptionRaised);
  EXPECT_TRUE(fs::exists(Output)) << "the engine removes only what it created";
  EXPECT_EQ(AnyRemovalLines(R), 0) << R.LogText();
}

TEST_F(RunTrustTest, ACompleteRunKeepsItsOutput) {
  const std::string Output = OutPath("complete.mkv");
  TRunRecord R;
  RunConversion(Req({}, Clip(), Copy, Output), R);
  ASSERT_TRUE(R.Opened) << R.OpenError;
  EXPECT_EQ(R.Terminations, 1);
  EXPECT_TRUE(R.Finished) << R.ErrorMessage;
  EXPECT_EQ(AnyRemovalLines(R), 0);
  const mediagen::DecodedMedia D = mediagen::Decode(Output);
  ASSERT_EQ(D.Error, "");
  EXPECT_EQ(D.Frames.size(), 25u);
}

TEST_F(RunTrustTest, TheAlwaysFullDeviceEndsTheRunWithTheWriteErrorAndStays) {
  TRunRecord R;
  RunConversion(
      Req({}, Clip(), {{"vcodec", "copy"}, {"acodec", "copy"}, {"f", "matroska"}}, "/dev/full"), R);
  ASSERT_TRUE(R.Opened) << R.OpenError;
  EXPECT_EQ(R.Terminations, 1);
  EXPECT_TRUE(R.ExceptionRaised);
  EXPECT_FALSE(R.Finished);
  EXPECT_TRUE(IsWriteErrorText(R.ErrorMessage)) << R.ErrorMessage;
  EXPECT_EQ(AnyRemovalLines(R), 0) << "a device is never removed";
  struct stat Info;
  ASSERT_EQ(::stat("/dev/full", &Info), 0);
  EXPECT_TRUE(S_ISCHR(Info.st_mode));
}

// A file size limit makes writes past it fail with EFBIG (SIGXFSZ ignored),
// as a disk that fills up in the middle of the run does.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t Bytes) {
    OldHandler = ::signal(SIGXFSZ, SIG_IGN);
    Active = ::getrlimit(RLIMIT_FSIZE, &Old) == 0;
    if (!Active) return;
    rlimit Limit = Old;
    Limit.rlim_cur = Bytes;
    Active = ::setrlimit(RLIMIT_FSIZE, &Limit) == 0;
  }
  ~FileSizeLimit() {
    if (Active) ::setrlimit(RLIMIT_FSIZE, &Old);
    ::signal(SIGXFSZ, OldHandler);
  }
  bool Active = false;

 private:
  rlimit Old{};
  sighandler_t OldHandler;
};

TEST_F(RunTrustTest, AWriteThatFailsMidRunRemovesThePartialOutput) {
  const std::string Source = RawClip();  // generated before the limit
  const std::string Output = OutPath("too-large.mkv");
  TRunRecord R;
  {
    FileSizeLimit Limit(200000);
    ASSERT_TRUE(Limit.Active) << std::strerror(errno);
    RunConversion(Req({}, Source, Copy, Output), R);
  }
  ASSERT_TRUE(R.Opened) << R.OpenError;
  EXPECT_EQ(R.Terminations, 1);
  EXPECT_TRUE(R.ExceptionRaised);
  EXPECT_FALSE(R.Finished);
  EXPECT_TRUE(IsWriteErrorText(R.ErrorMessage)) << R.ErrorMessage;
  bool LoggedAsFatal = false;
  for (const TLogRecord& Line : R.Log)
    LoggedAsFatal |= Line.Level == -1 && Line.Text == R.ErrorMessage;
  EXPECT_TRUE(LoggedAsFatal) << R.LogText();
  EXPECT_FALSE(fs::exists(Output));
  EXPECT_EQ(RemovalLines(R, Output), 1) << R.LogText();
}

// A file system of 200 KiB in memory, when this process may mount one.
class SmallDisk {
 public:
  explicit SmallDisk(const std::string& Folder) : Folder(Folder) {
    fs::create_directories(Folder);
    if (::mount("tmpfs", Folder.c_str(), "tmpfs", 0, "size=200k") == 0)
      Mounted = true;
    else
      Error = std::strerror(errno);
  }
  ~SmallDisk() {
    if (Mounted) ::umount2(Folder.c_str(), MNT_DETACH);
  }
  std::string Folder;
  bool Mounted = false;
  std::string Error;
};

TEST_F(RunTrustTest, AFullFileSystemEndsTheRunAndLeavesNothing) {
  const std::string Source = RawClip();
  SmallDisk Disk(OutPath("small-disk"));
  if (!Disk.Mounted) GTEST_SKIP() << "cannot mount a small file system here: " << Disk.Error;
  const std::string Output = Disk.Folder + "/full.mkv";
  TRunRecord R;
  RunConversion(Req({}, Source, Copy, Output), R);
  ASSERT_TRUE(R.Opened) << R.OpenError;
  EXPECT_EQ(R.Terminations, 1);
  EXPECT_TRUE(R.ExceptionRaised);
  EXPECT_TRUE(IsWriteErrorText(R.ErrorMessage)) << R.ErrorMessage;
  EXPECT_FALSE(fs::exists(Output));
  EXPECT_EQ(RemovalLines(R, Output), 1) << R.LogText();
  EXPECT_TRUE(fs::is_empty(Disk.Folder));
}

TEST_F(RunTrustTest, AnOutputFolderRemovedDuringTheRunIsAnError) {
  const std::string Folder = OutPath("vanishing");
  fs::create_directories(Folder);
  const std::string Output = Folder + "/out.mkv";
  TRunRecord R;
  TRunRequest Request = Req({{"re", ""}}, Clip(), Copy, Output);
  Request.Threaded = true;
  std::atomic<bool> Removed{false};
  Request.OnProgress = [&](TCustomFFmpeg&, const TProgressRecord&) {
    if (!Removed.exchange(true)) fs::remove_all(Folder);
  };
  RunConversion(Request, R);
  ASSERT_TRUE(R.Opened) << R.OpenError;
  ASSERT_TRUE(Removed);
  EXPECT_EQ(R.Terminations, 1);
  EXPECT_TRUE(R.ExceptionRaised);
  EXPECT_FALSE(R.Finished);
  EXPECT_EQ(R.ErrorMessage, "Output file '" + Output + "' disappeared during the conversion.");
  EXPECT_FALSE(fs::exists(Folder));
}

TEST_F(RunTrustTest, AnErrorAfterTheTrailerKeepsTheFile) {
  // The output is moved to another name during the run: the run reports
  // that its file is not at its name any more (an error after the
  // trailers), and the moved file is complete and is left alone.
  const std::string Output = OutPath("moved.mkv");
  const std::string Moved = OutPath("moved-away.mkv");
  TRunRecord R;
  TRunRequest Request = Req({{"re", ""}}, Clip(), Copy, Output);
  Request.Threaded = true;
  std::atomic<bool> Renamed{false};
  Request.OnProgress = [&](TCustomFFmpeg&, const TProgressRecord&) {
    if (!Renamed.exchange(true)) fs::rename(Output, Moved);
  };
  RunConversion(Request, R);
  ASSERT_TRUE(R.Opened) << R.OpenError;
  ASSERT_TRUE(Renamed);
  EXPECT_EQ(R.Terminations, 1);
  EXPECT_TRUE(R.ExceptionRaised);
  EXPECT_EQ(R.ErrorMessage, "Output file '" + Output + "' disappeared during the conversion.");
  EXPECT_EQ(AnyRemovalLines(R), 0) << R.LogText();
  const mediagen::DecodedMedia D = mediagen::Decode(Moved);
  ASSERT_EQ(D.Error, "");
  EXPECT_EQ(D.Frames.size(), 25u);
}

TEST_F(RunTrustTest, ANameTakenByAnotherFileDuringAFailedRunIsNotRemoved) {
  // The created output is replaced by another file under the same name
  // while the run writes; the run then fails (size limit): the other file
  // stays.
  const std::string Source = RawClip();
  const std::string Output = OutPath("replaced.mkv");
  TRunRecord R;
  TRunRequest Request = Req({{"re", ""}}, Source, Copy, Output);
  Request.Threaded = true;
  Request.ProgressIntervalUs = 0;
  std::atomic<bool> Replaced{false};
  Request.OnProgress = [&](TCustomFFmpeg&, const TProgressRecord&) {
    if (Replaced.exchange(true)) return;
    fs::remove(Output);
    std::ofstream(Output) << "someone else's";
  };
  {
    FileSizeLimit Limit(600000);
    ASSERT_TRUE(Limit.Active);
    RunConversion(Request, R);
  }
  ASSERT_TRUE(R.Opened) << R.OpenError;
  ASSERT_TRUE(Replaced);
  EXPECT_EQ(R.Terminations, 1);
  EXPECT_TRUE(R.ExceptionRaised);
  ASSERT_TRUE(fs::exists(Output));
  std::ifstream In(Output);
  std::string Text;
  std::getline(In, Text);
  EXPECT_EQ(Text, "someone else's");
  EXPECT_EQ(AnyRemovalLines(R), 0) << R.LogText();
}

TEST_F(RunTrustTest, AStoppedRunWritesItsTrailerAndItsOutputDecodes) {
  const std::string Output = OutPath("stopped.mp4");
  TRunRecord R;
  TRunRequest Request = Req({}, Clip(), {{"vcodec", "mpeg4"}, {"acodec", "aac"}}, Output);
  Request.Threaded = true;
  Request.ProgressIntervalUs = 0;
  Request.OnProgress = [](TCustomFFmpeg& Sender, const TProgressRecord& P) {
    if (P.FrameNumber >= 5) Sender.Stop();
  };
  RunConversion(Request, R);
  ASSERT_TRUE(R.Opened) << R.OpenError;
  EXPECT_EQ(R.Terminations, 1);
  EXPECT_FALSE(R.Finished);
  EXPECT_FALSE(R.ExceptionRaised) << R.ErrorMessage;
  const mediagen::DecodedMedia D = mediagen::Decode(Output);
  ASSERT_EQ(D.Error, "");
  EXPECT_GE(D.Frames.size(), 5u);
  EXPECT_LT(D.Frames.size(), 25u);
}

TEST_F(RunTrustTest, AStopBeforeAnythingWasWrittenRemovesTheHeaderOnlyOutput) {
  // Stopped while the run is being set up: the trailer is written, but the
  // file holds no picture and no sound, which no player opens.
  const std::string Output = OutPath("stopped-at-setup.mp4");
  TCustomFFmpeg E;
  E.InitOptions();
  ASSERT_TRUE(E.OpenInputFile(Clip())) << E.LastError;
  E.SetOption("vcodec", "mpeg4");
  E.SetOption("acodec", "aac");
  ASSERT_TRUE(E.OpenOutputFile(Output)) << E.LastError;
  std::vector<std::string> Lines;
  int RemovalLevel = -2;
  E.OnLog = [&](TCustomFFmpeg& Sender, int Level, const std::string& Text) {
    Lines.push_back(Text);
    if (Text.starts_with("Removed output file")) RemovalLevel = Level;
    if (Text == "Stream mapping:") Sender.Stop();
  };
  int Notices = 0;
  E.OnTerminate = [&](TCustomFFmpeg&) { ++Notices; };
  E.Start(false);
  EXPECT_EQ(Notices, 1);
  EXPECT_FALSE(E.Finished);
  EXPECT_FALSE(E.ExceptionRaised) << E.ErrorMessage;
  EXPECT_FALSE(fs::exists(Output));
  EXPECT_EQ(std::count(Lines.begin(), Lines.end(),
                       "Removed output file '" + Output +
                           "': the conversion was stopped before anything was written."),
            1);
  // The ordinary end of a stop, not an error that ended the run.
  EXPECT_EQ(RemovalLevel, 1);
}

TEST_F(RunTrustTest, AnEngineThatNeverRunsLeavesNoOutput) {
  const std::string Output = OutPath("never-ran.mp4");
  {
    TCustomFFmpeg E;
    E.InitOptions();
    ASSERT_TRUE(E.OpenInputFile(Clip())) << E.LastError;
    ASSERT_TRUE(E.OpenOutputFile(Output)) << E.LastError;
    ASSERT_TRUE(fs::exists(Output));
  }
  EXPECT_FALSE(fs::exists(Output));
}

TEST_F(RunTrustTest, AnEngineStoppedBeforeItRanRemovesItsOutputWithItsNotice) {
  const std::string Output = OutPath("stopped-before.mp4");
  TCustomFFmpeg E;
  E.InitOptions();
  ASSERT_TRUE(E.OpenInputFile(Clip())) << E.LastError;
  ASSERT_TRUE(E.OpenOutputFile(Output)) << E.LastError;
  std::atomic<int> Notices{0};
  std::atomic<bool> GoneAtNotice{false};
  E.OnTerminate = [&](TCustomFFmpeg&) {
    GoneAtNotice = !fs::exists(Output);
    ++Notices;
  };
  E.StopOrNotify();
  ASSERT_TRUE(E.WaitForRun(120000));
  EXPECT_EQ(Notices, 1);
  EXPECT_TRUE(GoneAtNotice);
}

}  // namespace
}  // namespace vexav::test
