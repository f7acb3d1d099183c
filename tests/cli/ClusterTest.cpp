// vexav-convert --cluster slurm against a real Slurm cluster: the one-node
// cluster of scripts/slurm-local.sh, named by SLURM_CONF. Without it these
// cases are skipped, unless VEXAV_CLUSTER_REQUIRED=1 (test.sh's cluster
// stage) makes that a failure. Outputs are read back by decoding them.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "MediaGenerator.h"
#include "binding/FFmpegLibs.h"

namespace vexav::cli {
namespace {

namespace fs = std::filesystem;
using mediagen::MediaSpec;

struct RunResult {
  int Status = -1;
  std::vector<std::string> OutLines;
  std::string Err;
};

std::vector<std::string> SplitLines(const std::string& Text) {
  std::vector<std::string> Lines;
  std::istringstream In(Text);
  std::string Line;
  while (std::getline(In, Line)) Lines.push_back(Line);
  return Lines;
}

// Runs Args[0] with the rest in Folder; OnErrLine sees each line of
// standard error as it comes, with the child's pid.
RunResult RunCommand(const std::vector<std::string>& Args, const std::string& Folder,
                     const std::function<void(const std::string&, pid_t)>& OnErrLine = nullptr) {
  RunResult Result;
  int OutPipe[2], ErrPipe[2];
  if (::pipe(OutPipe) != 0 || ::pipe(ErrPipe) != 0) return Result;
  const pid_t Child = ::fork();
  if (Child == 0) {
    ::dup2(OutPipe[1], 1);
    ::dup2(ErrPipe[1], 2);
    for (int Fd : {OutPipe[0], OutPipe[1], ErrPipe[0], ErrPipe[1]}) ::close(Fd);
    if (::chdir(Folder.c_str()) != 0) ::_exit(127);
    std::vector<char*> Argv;
    for (const std::string& Arg : Args) Argv.push_back(const_cast<char*>(Arg.c_str()));
    Argv.push_back(nullptr);
    ::execvp(Argv[0], Argv.data());
    ::_exit(127);
  }
  ::close(OutPipe[1]);
  ::close(ErrPipe[1]);
  char C;
  std::string Line;
  while (::read(ErrPipe[0], &C, 1) == 1) {
    Result.Err.push_back(C);
    if (C != '\n') {
      Line.push_back(C);
      continue;
    }
    if (OnErrLine) OnErrLine(Line, Child);
    Line.clear();
  }
  std::string Out;
  char Buffer[4096];
  ssize_t Got;
  while ((Got = ::read(OutPipe[0], Buffer, sizeof Buffer)) > 0) Out.append(Buffer, Got);
  ::close(OutPipe[0]);
  ::close(ErrPipe[0]);
  int Status = 0;
  ::waitpid(Child, &Status, 0);
  Result.Status = WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
  Result.OutLines = SplitLines(Out);
  return Result;
}

RunResult Convert(std::vector<std::string> Args, const std::string& Folder,
                  const std::function<void(const std::string&, pid_t)>& OnErrLine = nullptr) {
  Args.insert(Args.begin(), VEXAV_CONVERT_PROGRAM);
  return RunCommand(Args, Folder, OnErrLine);
}

bool IsEarlyProgress(const std::string& Line) {
  return !Line.empty() && Line.back() == '%' && Line.find("100%") == std::string::npos;
}

std::vector<std::string> JobFolders(const std::string& Folder) {
  std::vector<std::string> Found;
  for (const fs::directory_entry& E : fs::directory_iterator(Folder))
    if (E.path().filename().string().rfind(".vexav-job-", 0) == 0) Found.push_back(E.path());
  return Found;
}

// The Slurm state of an array task as squeue shows it; empty when gone.
std::string QueueState(const std::string& TaskId) {
  const RunResult R =
      RunCommand({"squeue", "--noheader", "--array", "--jobs=" + TaskId, "--format=%T"}, "/");
  return R.OutLines.empty() ? std::string() : R.OutLines.front();
}

bool WaitForState(const std::string& TaskId, const std::string& State) {
  for (int I = 0; I < 1200; ++I) {
    if (QueueState(TaskId) == State) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

class Cluster : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* Conf = std::getenv("SLURM_CONF");
    const char* Required = std::getenv("VEXAV_CLUSTER_REQUIRED");
    const bool Must = Required && std::string(Required) == "1";
    const bool Up = Conf && *Conf && RunCommand({"sinfo", "--noheader"}, "/").Status == 0;
    if (!Up) {
      if (Must) FAIL() << "no Slurm cluster answers (SLURM_CONF=" << (Conf ? Conf : "") << ")";
      GTEST_SKIP() << "no Slurm cluster: start one with scripts/slurm-local.sh start and set "
                      "SLURM_CONF (eval \"$(scripts/slurm-local.sh env)\")";
    }
    ASSERT_TRUE(LoadFFmpegLibs("", true)) << LastLoadError();
    // The folder the "nodes" share: this machine's own file system.
    char Template[] = "/tmp/vexav-cluster-XXXXXX";
    ASSERT_NE(::mkdtemp(Template), nullptr);
    Folder = Template;
    Out = Folder + "/out";
  }
  void TearDown() override {
    if (!Folder.empty()) fs::remove_all(Folder);
  }

  // A clip of Seconds at Width x Height (MPEG-4 Part 2 + MP3, 25 frames/s).
  std::string Clip(const std::string& Name, double Seconds, int Width = 320, int Height = 240) {
    MediaSpec Request;
    Request.Width = Width;
    Request.Height = Height;
    Request.DurationSeconds = Seconds;
    Request.MarkSeconds = {};
    const std::string Path = Folder + "/" + Name;
    EXPECT_EQ(mediagen::Generate(Path, Request), "") << Path;
    return Path;
  }
  // A clip whose conversion takes several seconds on one CPU.
  std::string SlowClip(const std::string& Name) { return Clip(Name, 10.0, 640, 480); }

  std::string Output(const std::string& Stem) const {
    return Out + "/" + Stem + " (MPEG-4 Video).mp4";
  }

  std::string Folder, Out;
};

void ExpectPlayable(const std::string& Path, double MinSeconds) {
  const mediagen::DecodedMedia Media = mediagen::Decode(Path);
  ASSERT_EQ(Media.Error, "") << Path;
  ASSERT_FALSE(Media.Frames.empty()) << Path;
  EXPECT_GE(Media.Frames.back().PtsUs, static_cast<int64_t>(MinSeconds * 1e6)) << Path;
  EXPECT_EQ(Media.AudioChannels, 2) << Path;
  EXPECT_EQ(Media.AudioSampleRate, 44100) << Path;
}

TEST_F(Cluster, BatchOfThreeIsConvertedThroughSlurm) {
  const std::vector<std::string> Sources = {Clip("a.avi", 1.0), Clip("b.avi", 1.0),
                                            Clip("c.avi", 1.0)};
  RunResult R = Convert(
      {"--cluster", "slurm", "--output-dir", Out, Sources[0], Sources[1], Sources[2]}, Folder);
  ASSERT_EQ(R.Status, 0) << R.Err;
  ASSERT_EQ(R.OutLines.size(), 3u) << R.Err;
  for (const char* Stem : {"a", "b", "c"}) {
    EXPECT_NE(std::find(R.OutLines.begin(), R.OutLines.end(), Output(Stem)), R.OutLines.end());
    ExpectPlayable(Output(Stem), 0.9);
  }
  EXPECT_NE(R.Err.find("a.avi: 100%"), std::string::npos) << R.Err;
  EXPECT_TRUE(JobFolders(Out).empty());
}

TEST_F(Cluster, ATaskCancelledAloneIsReportedFailedAndLeavesNothing) {
  const std::string Slow = SlowClip("slow.avi");
  const std::string Quick = Clip("quick.avi", 1.0);
  RunResult Submitted =
      Convert({"--cluster", "slurm", "--detach", "--output-dir", Out, Slow, Quick}, Folder);
  ASSERT_EQ(Submitted.Status, 0) << Submitted.Err;
  ASSERT_EQ(Submitted.OutLines.size(), 2u);
  const std::string Job = Submitted.OutLines[0], JobFolder = Submitted.OutLines[1];
  ASSERT_TRUE(WaitForState(Job + "_0", "RUNNING"));
  // Cancelled once it has begun writing its output.
  for (int I = 0; I < 600 && !fs::exists(JobFolder + "/task-0.jsonl"); ++I)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_EQ(RunCommand({"scancel", Job + "_0"}, "/").Status, 0);

  RunResult R = Convert({"--cluster-status", JobFolder, "--wait"}, Folder);
  EXPECT_EQ(R.Status, 1) << R.Err;
  EXPECT_NE(R.Err.find("slow.avi: Slurm ended the task: CANCELLED"), std::string::npos) << R.Err;
  EXPECT_FALSE(fs::exists(Output("slow")));
  ASSERT_EQ(R.OutLines, std::vector<std::string>{Output("quick")}) << R.Err;
  ExpectPlayable(Output("quick"), 0.9);
  EXPECT_FALSE(fs::exists(JobFolder));
}

TEST_F(Cluster, CtrlCCancelsTheArrayAndStoppedOutputsStayPlayable) {
  // Two tasks run (one CPU each on the two-CPU node); the third waits.
  const std::vector<std::string> Sources = {SlowClip("s1.avi"), SlowClip("s2.avi"),
                                            SlowClip("s3.avi")};
  bool Sent = false;
  RunResult R =
      Convert({"--cluster", "slurm", "--output-dir", Out, Sources[0], Sources[1], Sources[2]},
              Folder, [&](const std::string& Line, pid_t Child) {
                if (!Sent && IsEarlyProgress(Line)) {
                  ::kill(Child, SIGINT);
                  Sent = true;
                }
              });
  ASSERT_TRUE(Sent) << R.Err;
  EXPECT_EQ(R.Status, 130) << R.Err;
  EXPECT_TRUE(R.OutLines.empty());
  // What a stopped task converted is kept under a name that says it is
  // not the whole source; the full name is never left behind.
  int Kept = 0;
  for (const char* Stem : {"s1", "s2", "s3"}) {
    EXPECT_FALSE(fs::exists(Output(Stem))) << Stem;
    const std::string Partial = Out + "/" + Stem + " (MPEG-4 Video) (partial).mp4";
    if (!fs::exists(Partial)) continue;
    ++Kept;
    EXPECT_NE(R.Err.find("the part converted so far is kept as " + Partial), std::string::npos)
        << R.Err;
    ExpectPlayable(Partial, 0.1);
  }
  EXPECT_GE(Kept, 1) << R.Err;
  EXPECT_TRUE(JobFolders(Out).empty());
  EXPECT_TRUE(fs::is_empty(Out) || Kept > 0);
}

TEST_F(Cluster, ANameTakenWhileTheJobIsPendingGoesToTheOtherProgram) {
  const std::string Source = Clip("clip.avi", 1.0);
  RunResult Submitted = Convert(
      {"--cluster", "slurm", "--detach", "--slurm-option=--hold", "--output-dir", Out, Source},
      Folder);
  ASSERT_EQ(Submitted.Status, 0) << Submitted.Err;
  const std::string Job = Submitted.OutLines.at(0), JobFolder = Submitted.OutLines.at(1);
  // The name is reserved at submission: a local run meanwhile takes the next.
  RunResult Local = Convert({"--output-dir", Out, Source}, Folder);
  ASSERT_EQ(Local.Status, 0) << Local.Err;
  EXPECT_EQ(Local.OutLines, std::vector<std::string>{Out + "/clip (MPEG-4 Video [1]).mp4"});

  RunResult Pending = Convert({"--cluster-status", JobFolder}, Folder);
  EXPECT_EQ(Pending.Status, 0) << Pending.Err;
  EXPECT_NE(Pending.Err.find("clip.avi: pending"), std::string::npos) << Pending.Err;
  ASSERT_EQ(RunCommand({"scontrol", "release", Job}, "/").Status, 0);
  RunResult R = Convert({"--cluster-status", JobFolder, "--wait"}, Folder);
  ASSERT_EQ(R.Status, 0) << R.Err;
  EXPECT_EQ(R.OutLines, std::vector<std::string>{Output("clip")});
  ExpectPlayable(Output("clip"), 0.9);
  ExpectPlayable(Out + "/clip (MPEG-4 Video [1]).mp4", 0.9);
  EXPECT_FALSE(fs::exists(JobFolder));
}

TEST_F(Cluster, AGarbledOrCutOffReportIsAnErrorForItsFileOnly) {
  // A stand-in for the program on the nodes that leaves broken reports:
  // task 0 garbage, task 1 a line cut off.
  const std::string Fake = Folder + "/fake-task.sh";
  {
    std::ofstream Script(Fake);
    Script
        << "#!/bin/sh\n"
           "report=\"$2/task-$SLURM_ARRAY_TASK_ID.jsonl\"\n"
           "if [ \"$SLURM_ARRAY_TASK_ID\" = 0 ]; then printf '\\001\\377garbage\\n' >\"$report\";\n"
           "else printf '{\"event\":\"start\",\"host\":\"x\"}\\n{\"event\":\"res' >\"$report\"; "
           "fi\n";
  }
  fs::permissions(Fake, fs::perms::owner_all);
  RunResult R = Convert({"--cluster", "slurm", "--cluster-program", Fake, "--output-dir", Out,
                         Clip("g.avi", 0.5), Clip("t.avi", 0.5)},
                        Folder);
  EXPECT_EQ(R.Status, 1) << R.Err;
  EXPECT_NE(R.Err.find("g.avi: its report is unreadable (line 1: not JSON)"), std::string::npos)
      << R.Err;
  EXPECT_NE(R.Err.find("t.avi: its report is unreadable (line 2 was cut off)"), std::string::npos)
      << R.Err;
  EXPECT_TRUE(R.OutLines.empty());
  EXPECT_TRUE(fs::is_empty(Out)) << "outputs and the job folder are removed";
}

TEST_F(Cluster, ANodeFailureIsRetriedAndAnEngineFailureIsNot) {
  const std::string Slow = SlowClip("slow.avi");
  const std::string Text = Folder + "/text.avi";
  std::ofstream(Text) << "not a video\n";
  const std::string Node = RunCommand({"hostname", "-s"}, "/").OutLines.at(0);
  bool Downed = false, Resumed = false, TextFailed = false;
  RunResult R =
      Convert({"--cluster", "slurm", "--retries", "1", "--output-dir", Out, Slow, Text}, Folder,
              [&](const std::string& Line, pid_t) {
                // The node fails under the running task, and comes
                // back once the task has been submitted again.
                // (After the text file's task has ended, so that
                // only the slow one meets the failure.)
                if (Line.rfind("text.avi: ", 0) == 0 && Line.back() != '%') TextFailed = true;
                if (!Downed && TextFailed && IsEarlyProgress(Line)) {
                  Downed = RunCommand({"scontrol", "update", "nodename=" + Node, "state=down",
                                       "reason=vexav-test"},
                                      "/")
                               .Status == 0;
                }
                if (Downed && !Resumed && Line.find("submitted again") != std::string::npos) {
                  RunCommand({"scontrol", "update", "nodename=" + Node, "state=resume"}, "/");
                  Resumed = true;
                }
              });
  // Whatever happened, the node takes jobs again for the next test.
  RunCommand({"scontrol", "update", "nodename=" + Node, "state=resume"}, "/");
  ASSERT_TRUE(Downed) << R.Err;
  EXPECT_EQ(R.Status, 1) << R.Err;
  EXPECT_NE(R.Err.find("slow.avi: Slurm ended the task: NODE_FAIL"), std::string::npos) << R.Err;
  EXPECT_NE(R.Err.find("(attempt 2 of 2)"), std::string::npos) << R.Err;
  EXPECT_EQ(R.OutLines, std::vector<std::string>{Output("slow")}) << R.Err;
  ExpectPlayable(Output("slow"), 9.5);
  // The text file failed in the engine once, and was not submitted again.
  EXPECT_NE(R.Err.find("text.avi: "), std::string::npos) << R.Err;
  EXPECT_EQ(R.Err.find("text.avi: " + Text), std::string::npos) << "named once: " << R.Err;
  EXPECT_EQ(R.Err.find("text.avi: Slurm"), std::string::npos) << R.Err;
  EXPECT_FALSE(fs::exists(Output("text")));
  EXPECT_TRUE(JobFolders(Out).empty());
}

TEST_F(Cluster, TwoFollowersOfOneBatchLoseNoOutput) {
  const std::string Source = Clip("clip.avi", 1.0);
  RunResult Submitted =
      Convert({"--cluster", "slurm", "--detach", "--output-dir", Out, Source}, Folder);
  ASSERT_EQ(Submitted.Status, 0) << Submitted.Err;
  const std::string JobFolder = Submitted.OutLines.at(1);
  // Both follow to the end; whichever finds the job folder gone stops
  // following without touching the output the other one settled.
  RunResult Second;
  std::thread Other([&] { Second = Convert({"--cluster-status", JobFolder, "--wait"}, Folder); });
  RunResult First = Convert({"--cluster-status", JobFolder, "--wait"}, Folder);
  Other.join();
  EXPECT_TRUE(First.Status == 0 || Second.Status == 0) << First.Err << Second.Err;
  ExpectPlayable(Output("clip"), 0.9);
  EXPECT_FALSE(fs::exists(JobFolder));
}

std::string FileBytes(const std::string& Path) {
  std::ifstream In(Path, std::ios::binary);
  std::ostringstream Bytes;
  Bytes << In.rdbuf();
  return Bytes.str();
}

// What a segmented run may leave beside its outputs: none is expected.
std::vector<std::string> LeftOver(const std::string& Folder) {
  std::vector<std::string> Found = JobFolders(Folder);
  for (const fs::directory_entry& E : fs::directory_iterator(Folder))
    if (E.path().filename().string().rfind(".vexav-seg-", 0) == 0) Found.push_back(E.path());
  return Found;
}

// A short NTSC-rate clip to be converted in three segments.
std::string SegmentClip(const std::string& Folder) {
  MediaSpec Request;
  Request.Width = 160;
  Request.Height = 120;
  Request.FrameRateNum = 30000;
  Request.FrameRateDen = 1001;
  Request.DurationSeconds = 6.0;
  const std::string Path = Folder + "/clip.avi";
  EXPECT_EQ(mediagen::Generate(Path, Request), "") << Path;
  return Path;
}

TEST_F(Cluster, SegmentsRunAsTasksAndJoinIntoTheSameBytesAsLocally) {
  const std::string Source = SegmentClip(Folder);
  const std::string Local = Folder + "/local";
  RunResult Here =
      Convert({"--segments", "3", "--jobs", "2", "--output-dir", Local, Source}, Folder);
  ASSERT_EQ(Here.Status, 0) << Here.Err;
  RunResult R =
      Convert({"--cluster", "slurm", "--segments", "3", "--output-dir", Out, Source}, Folder);
  ASSERT_EQ(R.Status, 0) << R.Err;
  EXPECT_NE(R.Err.find("in 4 tasks"), std::string::npos) << R.Err;
  ASSERT_EQ(R.OutLines, std::vector<std::string>{Output("clip")}) << R.Err;
  const std::string Joined = FileBytes(Output("clip"));
  ASSERT_FALSE(Joined.empty());
  EXPECT_TRUE(Joined == FileBytes(Local + "/clip (MPEG-4 Video).mp4"))
      << "the segments' bytes depend on where they ran";
  ExpectPlayable(Output("clip"), 5.5);
  EXPECT_TRUE(LeftOver(Out).empty());
}

TEST_F(Cluster, AFailedSegmentFailsItsFileAndLeavesNothing) {
  const std::string Source = SegmentClip(Folder);
  // The nodes' program, except that the second segment (array task 2, after
  // the sound and the first segment) reports an engine failure.
  const std::string Fake = Folder + "/fail-segment.sh";
  {
    std::ofstream Script(Fake);
    Script << "#!/bin/sh\n"
              "if [ \"$SLURM_ARRAY_TASK_ID\" = 2 ]; then\n"
              "  printf '{\"event\":\"start\",\"host\":\"x\"}\\n{\"event\":\"result\","
              "\"status\":\"failed\",\"message\":\"broken picture\",\"output\":\"\"}\\n' "
              ">\"$2/task-2.jsonl\"\n"
              "  exit 0\n"
              "fi\n"
              "exec '" VEXAV_CONVERT_PROGRAM "' \"$@\"\n";
  }
  fs::permissions(Fake, fs::perms::owner_all);
  RunResult R = Convert({"--cluster", "slurm", "--cluster-program", Fake, "--segments", "3",
                         "--output-dir", Out, Source},
                        Folder);
  EXPECT_EQ(R.Status, 1) << R.Err;
  EXPECT_NE(R.Err.find("clip.avi: segment 2 of 3: broken picture"), std::string::npos) << R.Err;
  EXPECT_TRUE(R.OutLines.empty());
  EXPECT_TRUE(fs::is_empty(Out)) << "the output, the pieces and the job folder are removed";
}

}  // namespace
}  // namespace vexav::cli
