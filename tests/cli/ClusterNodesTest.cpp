// A batch on a cluster of several nodes (scripts/slurm-local.sh start
// --nodes 3, ClusterHarness.h): the tasks spread over the nodes; a node that
// dies under a task (its slurmd and every process on it killed) makes the
// task end as a node failure, and the file is converted on another node
// with the bytes of a conversion here; a segmented file spread over the
// nodes joins into the bytes of the local --segments run. And a front end
// that dies while it holds the claim on a join leaves the join to the next
// one. Which node ran a task is read from the task's report in the job
// folder ("start" names its host).
//
// The multi-node cases need 3 nodes: with fewer they are skipped, unless
// VEXAV_CLUSTER_NODES (test.sh's cluster stage sets it to 3) asks for them.
// Killing a node needs the script that made the cluster
// (VEXAV_SLURM_LOCAL_SCRIPT, with the same VEXAV_SLURM_* settings).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "ClusterHarness.h"
#include "batch/cluster/JobFolder.h"
#include "JsonReader.h"

namespace vexav::cli::clustertest {
namespace {

// Waits until every node is idle (at most 90 s): a node brought back by a
// test before this one may still be registering, and one still ending a
// task of an earlier test would leave a task of this one waiting for a node
// that another task has used already.
bool AllNodesIdle() {
  for (int I = 0; I < 900; ++I) {
    const RunResult R = RunCommand({"sinfo", "--noheader", "--Node", "--format=%T"}, "/");
    bool Idle = R.Status == 0 && !R.OutLines.empty();
    for (const std::string& State : R.OutLines) Idle = Idle && State == "idle";
    if (Idle) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

// The job folder in "submitted job 12 (...; job folder <path>). Assumed: ...".
std::string JobFolderOf(const std::string& Err) {
  const std::string Mark = "job folder ";
  const std::size_t At = Err.find(Mark);
  if (At == std::string::npos) return std::string();
  const std::size_t From = At + Mark.size();
  const std::size_t To = Err.find("). Assumed", From);
  return To == std::string::npos ? std::string() : Err.substr(From, To - From);
}

// What task Index's report says so far: the host of its (last) start, and
// whether its result is in.
struct TaskReport {
  std::string Host;
  bool Ended = false;
};

TaskReport ReadReport(const std::string& JobFolder, int Index) {
  TaskReport Report;
  std::istringstream In(FileText(JobFolder + "/task-" + std::to_string(Index) + ".jsonl"));
  std::string Line;
  while (std::getline(In, Line)) {
    testjson::Value V;
    try {
      V = testjson::Reader::Parse(Line);
    } catch (...) {
      continue;  // a line still being written
    }
    if (!V.Has("event")) continue;
    if (V["event"].Text == "start" && V.Has("host")) Report.Host = V["host"].Text;
    if (V["event"].Text == "result") Report.Ended = true;
  }
  return Report;
}

// Waits until the reports of tasks 0..Count-1 all have their result (at
// most 3 minutes), and gives each task's host.
std::vector<std::string> WaitForResults(const std::string& JobFolder, int Count) {
  std::vector<std::string> Hosts(Count);
  for (int Round = 0; Round < 1800; ++Round) {
    bool All = true;
    for (int I = 0; I < Count; ++I) {
      const TaskReport Report = ReadReport(JobFolder, I);
      Hosts[I] = Report.Host;
      All = All && Report.Ended;
    }
    if (All) return Hosts;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ADD_FAILURE() << "the tasks of " << JobFolder << " did not all end";
  return Hosts;
}

// The processes whose command line holds Text (the nodes' processes are
// this machine's: the nodes share its process table).
std::vector<pid_t> ProcessesWith(const std::string& Text) {
  std::vector<pid_t> Found;
  std::error_code Error;
  for (const fs::directory_entry& E : fs::directory_iterator("/proc", Error)) {
    const std::string Name = E.path().filename();
    if (Name.empty() || Name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::string Line = FileText(E.path().string() + "/cmdline");
    std::replace(Line.begin(), Line.end(), '\0', ' ');
    if (Line.find(Text) != std::string::npos) Found.push_back(std::stoi(Name));
  }
  return Found;
}

// Waits until no process's command line holds Text (at most a minute).
bool WaitUntilNoProcessWith(const std::string& Text) {
  for (int I = 0; I < 600; ++I) {
    if (ProcessesWith(Text).empty()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

// A short NTSC-rate clip to be converted in three segments.
std::string SegmentedClip(const std::string& Folder) {
  mediagen::MediaRequest Request;
  Request.Width = 160;
  Request.Height = 120;
  Request.FrameRateNum = 30000;
  Request.FrameRateDen = 1001;
  Request.DurationSeconds = 6.0;
  const std::string Path = Folder + "/clip.avi";
  EXPECT_EQ(mediagen::Generate(Path, Request), "") << Path;
  return Path;
}

class ClusterNodes : public Cluster {
 public:
  void SetUp() override {
    Cluster::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    const char* Wanted = std::getenv("VEXAV_CLUSTER_NODES");
    const bool Must = Wanted && std::atoi(Wanted) >= 3;
    if (Nodes().size() < 3) {
      if (Must) FAIL() << "the cluster has fewer than 3 nodes: " << Nodes().size();
      GTEST_SKIP() << "needs a cluster of 3 nodes: scripts/slurm-local.sh start --nodes 3";
    }
    ASSERT_TRUE(AllNodesIdle()) << "not every node is idle";
  }

  // Runs scripts/slurm-local.sh with Args.
  static RunResult SlurmLocal(const std::vector<std::string>& Args) {
    std::vector<std::string> Command = {"bash", VEXAV_SLURM_LOCAL_SCRIPT};
    Command.insert(Command.end(), Args.begin(), Args.end());
    return RunCommand(Command, "/");
  }
};

// Three files, three nodes of one CPU each: each task starts on a node of
// its own, and every output decodes.
TEST_F(ClusterNodes, ABatchIsSpreadOverTheNodes) {
  const std::vector<std::string> Sources = {Clip("a.avi", 2.0), Clip("b.avi", 2.0),
                                            Clip("c.avi", 2.0)};
  const RunResult Submitted = Convert(
      {"--cluster", "slurm", "--detach", "--output-dir", Out, Sources[0], Sources[1], Sources[2]},
      Folder);
  ASSERT_EQ(Submitted.Status, 0) << Submitted.Err;
  const std::string JobFolder = Submitted.OutLines.at(1);
  const std::vector<std::string> Hosts = WaitForResults(JobFolder, 3);
  const RunResult R = Convert({"--cluster-status", JobFolder, "--wait"}, Folder);
  ASSERT_EQ(R.Status, 0) << R.Err;
  const std::vector<std::string> Known = Nodes();
  for (const std::string& Host : Hosts)
    EXPECT_NE(std::find(Known.begin(), Known.end(), Host), Known.end())
        << "'" << Host << "' is none of the nodes";
  EXPECT_EQ(std::set<std::string>(Hosts.begin(), Hosts.end()).size(), 3u)
      << Hosts[0] << ", " << Hosts[1] << ", " << Hosts[2];
  for (const std::string Stem : {"a", "b", "c"}) ExpectPlayable(Output(Stem), 1.9);
  EXPECT_EQ(Entries(Out), (std::vector<std::string>{"a (MPEG-4 Video).mp4", "b (MPEG-4 Video).mp4",
                                                    "c (MPEG-4 Video).mp4"}));
}

// The node converting a file dies (slurmd and the task's processes killed
// at once, as when its machine goes): Slurm finds the node not answering
// and ends the task as NODE_FAIL; with --retries 1 the file is converted
// again on another node, into the bytes a conversion here gives (one codec
// thread, as a task of one CPU).
TEST_F(ClusterNodes, ATaskOnANodeThatDiesIsConvertedOnAnotherWithTheSameBytes) {
  const std::string Slow = SlowClip("slow.avi");
  const std::string Local = Folder + "/local";
  const RunResult Here = Convert({"--codec-threads", "1", "--output-dir", Local, Slow}, Folder);
  ASSERT_EQ(Here.Status, 0) << Here.Err;

  std::string JobFolder, Killed, Again;
  bool Resubmitted = false;
  std::string KillError;
  const RunResult R =
      Convert({"--cluster", "slurm", "--retries", "1", "--output-dir", Out, Slow}, Folder,
              [&](const std::string& Line, pid_t) {
                if (JobFolder.empty()) JobFolder = JobFolderOf(Line);
                if (Line.find("submitted again") != std::string::npos) Resubmitted = true;
                if (!IsEarlyProgress(Line) || JobFolder.empty()) return;
                const std::string Host = ReadReport(JobFolder, 0).Host;
                if (Killed.empty() && !Host.empty()) {
                  // Converting on Host: the node dies under it.
                  const RunResult Kill = SlurmLocal({"kill-node", Host});
                  if (Kill.Status != 0) KillError = Kill.Err;
                  Killed = Host;
                } else if (Resubmitted && Again.empty() && !Host.empty() && Host != Killed) {
                  Again = Host;
                }
              });
  if (!Killed.empty()) {
    // The node comes back for the tests after this one.
    const RunResult Revived = SlurmLocal({"revive-node", Killed});
    EXPECT_EQ(Revived.Status, 0) << Revived.Err;
  }
  ASSERT_FALSE(Killed.empty()) << "no node was seen converting: " << R.Err;
  ASSERT_EQ(KillError, "");
  EXPECT_EQ(R.Status, 0) << R.Err;
  EXPECT_NE(R.Err.find("slow.avi: Slurm ended the task: NODE_FAIL"), std::string::npos) << R.Err;
  EXPECT_NE(R.Err.find("(attempt 2 of 2)"), std::string::npos) << R.Err;
  EXPECT_FALSE(Again.empty()) << "the second attempt was not seen on another node than " << Killed
                              << ": " << R.Err;
  ASSERT_EQ(R.OutLines, std::vector<std::string>{Output("slow")}) << R.Err;
  ExpectPlayable(Output("slow"), 9.5);
  const std::string Bytes = FileText(Output("slow"));
  ASSERT_FALSE(Bytes.empty());
  EXPECT_TRUE(Bytes == FileText(Local + "/slow (MPEG-4 Video).mp4"))
      << "the conversion on another node gave other bytes";
  EXPECT_EQ(Entries(Out), std::vector<std::string>{"slow (MPEG-4 Video).mp4"})
      << "nothing but the output is left";
  EXPECT_TRUE(AllNodesIdle()) << Killed << " did not come back";
}

// Only the slurmd of the node converting a file dies: the conversion goes
// on there, unseen by the controller, which takes the node for dead after
// SlurmdTimeout (NODE_FAIL), and with --retries 1 the file is converted
// again on another node while the first attempt still runs: two attempts of
// one task at once. The first one is held (SIGSTOP) until the batch has
// ended, then ended as its node's slurmd, back, ends it (SIGTERM: a task
// stops and keeps what it converted). Each attempt writes under a name of
// its own, and one the front end has given up on puts nothing in place:
// the batch ends with the file converted once, with the bytes of a
// conversion here, and nothing else in the output folder, also after the
// first attempt has ended.
TEST_F(ClusterNodes, AnAttemptWhoseSlurmdDiedPutsNothingInTheOutputsPlace) {
  const std::string Slow = SlowClip("slow.avi");
  const std::string Local = Folder + "/local";
  const RunResult Here = Convert({"--codec-threads", "1", "--output-dir", Local, Slow}, Folder);
  ASSERT_EQ(Here.Status, 0) << Here.Err;
  const std::string Expected = FileText(Local + "/slow (MPEG-4 Video).mp4");
  ASSERT_FALSE(Expected.empty());

  std::string JobFolder, Killed, Problem;
  pid_t First = 0;
  // Whatever happens below, the first attempt does not stay held and the
  // node comes back for the tests after this one.
  struct Release {
    pid_t& First;
    std::string& Killed;
    ~Release() {
      if (First > 0) {
        ::kill(First, SIGKILL);
        ::kill(First, SIGCONT);
      }
      if (!Killed.empty()) ClusterNodes::SlurmLocal({"revive-node", Killed});
    }
  } Releaser{First, Killed};
  const RunResult R = Convert({"--cluster", "slurm", "--retries", "1", "--output-dir", Out, Slow},
                              Folder, [&](const std::string& Line, pid_t) {
                                if (JobFolder.empty()) JobFolder = JobFolderOf(Line);
                                if (!Killed.empty() || !IsEarlyProgress(Line) || JobFolder.empty())
                                  return;
                                const std::string Host = ReadReport(JobFolder, 0).Host;
                                const std::vector<pid_t> Tasks =
                                    ProcessesWith("--cluster-task " + JobFolder);
                                if (Host.empty() || Tasks.size() != 1) return;
                                // Converting on Host: held there, and its slurmd killed.
                                First = Tasks.front();
                                ::kill(First, SIGSTOP);
                                const RunResult Kill = SlurmLocal({"kill-slurmd", Host});
                                if (Kill.Status != 0) Problem = Kill.Err;
                                Killed = Host;
                              });
  ASSERT_FALSE(Killed.empty()) << "no node was seen converting: " << R.Err;
  ASSERT_EQ(Problem, "");
  EXPECT_EQ(R.Status, 0) << R.Err;
  EXPECT_NE(R.Err.find("slow.avi: Slurm ended the task: NODE_FAIL"), std::string::npos) << R.Err;
  EXPECT_NE(R.Err.find("(attempt 2 of 2)"), std::string::npos) << R.Err;
  ASSERT_EQ(R.OutLines, std::vector<std::string>{Output("slow")}) << R.Err;
  EXPECT_TRUE(FileText(Output("slow")) == Expected) << "the output has other bytes";
  EXPECT_EQ(Entries(Out), std::vector<std::string>{"slow (MPEG-4 Video).mp4"})
      << "nothing but the output is left";
  ASSERT_EQ(::kill(First, 0), 0) << "the first attempt ended before the batch did";

  // The first attempt ends now, stopped, well after the batch.
  ::kill(First, SIGTERM);
  ::kill(First, SIGCONT);
  EXPECT_TRUE(WaitUntilNoProcessWith("--cluster-task " + JobFolder))
      << "the first attempt did not end";
  First = 0;
  const RunResult Revived = SlurmLocal({"revive-node", Killed});
  EXPECT_EQ(Revived.Status, 0) << Revived.Err;
  Killed.clear();
  EXPECT_TRUE(FileText(Output("slow")) == Expected)
      << "the first attempt changed the output after the batch had ended";
  EXPECT_EQ(Entries(Out), std::vector<std::string>{"slow (MPEG-4 Video).mp4"})
      << "the first attempt left something in the output folder";
  ExpectPlayable(Output("slow"), 9.5);
  EXPECT_TRUE(AllNodesIdle()) << "a node did not come back";
}

// Three segments and the sound, four tasks on three nodes: the first three
// start on three nodes; the join gives the bytes of the local run.
TEST_F(ClusterNodes, ASegmentedFileSpreadOverTheNodesGivesTheLocalBytes) {
  const std::string Source = SegmentedClip(Folder);
  const std::string Local = Folder + "/local";
  const RunResult Here =
      Convert({"--segments", "3", "--jobs", "2", "--output-dir", Local, Source}, Folder);
  ASSERT_EQ(Here.Status, 0) << Here.Err;
  const RunResult Submitted = Convert(
      {"--cluster", "slurm", "--segments", "3", "--detach", "--output-dir", Out, Source}, Folder);
  ASSERT_EQ(Submitted.Status, 0) << Submitted.Err;
  const std::string JobFolder = Submitted.OutLines.at(1);
  const std::vector<std::string> Hosts = WaitForResults(JobFolder, 4);
  const RunResult R = Convert({"--cluster-status", JobFolder, "--wait"}, Folder);
  ASSERT_EQ(R.Status, 0) << R.Err;
  EXPECT_EQ(std::set<std::string>(Hosts.begin(), Hosts.end()).size(), 3u)
      << Hosts[0] << ", " << Hosts[1] << ", " << Hosts[2] << ", " << Hosts[3];
  ASSERT_EQ(R.OutLines, std::vector<std::string>{Output("clip")}) << R.Err;
  const std::string Joined = FileText(Output("clip"));
  ASSERT_FALSE(Joined.empty());
  EXPECT_TRUE(Joined == FileText(Local + "/clip (MPEG-4 Video).mp4"))
      << "the segments' bytes depend on where they ran";
  ExpectPlayable(Output("clip"), 5.5);
  EXPECT_EQ(Entries(Out), std::vector<std::string>{"clip (MPEG-4 Video).mp4"});
}

// --segments auto on the cluster counts the partition's CPUs: three nodes
// of one CPU make three segments of a 70 s file, and two of a 45 s one
// (none under 20 s); each joins into the whole file.
TEST_F(ClusterNodes, AutoSegmentsFollowTheCpusOfThePartition) {
  auto SegmentsPlanned = [&](double Seconds) {
    mediagen::MediaRequest Request;
    Request.Width = 96;
    Request.Height = 64;
    Request.DurationSeconds = Seconds;
    const std::string Source = Folder + "/long.avi";
    EXPECT_EQ(mediagen::Generate(Source, Request), "");
    const RunResult Submitted = Convert(
        {"--cluster", "slurm", "--segments", "auto", "--detach", "--output-dir", Out, Source},
        Folder);
    EXPECT_EQ(Submitted.Status, 0) << Submitted.Err;
    if (Submitted.OutLines.size() < 2) return -1;
    const std::string JobFolder = Submitted.OutLines.at(1);
    std::string Error;
    const auto M = batch::cluster::LoadManifest(JobFolder, Error);
    EXPECT_TRUE(M.has_value()) << Error;
    const int Count = M && M->Files.size() == 1 && M->Files[0].Segmented()
                          ? M->Files[0].Segments.Segments()
                          : (M ? 1 : -1);
    const RunResult R = Convert({"--cluster-status", JobFolder, "--wait"}, Folder);
    EXPECT_EQ(R.Status, 0) << R.Err;
    ExpectPlayable(Output("long"), Seconds - 0.5);
    std::filesystem::remove(Output("long"));
    return Count;
  };
  EXPECT_EQ(SegmentsPlanned(70.0), 3);
  EXPECT_EQ(SegmentsPlanned(45.0), 2);
}

// A front end killed after it had claimed a file's join, before it had
// settled the file: the claim names a process that is gone, so the next
// front end takes the join over (without the temporary file of the join
// the first one had begun), and the batch ends with the output joined
// and the job folder removed (not left to a front end that will never come
// back). Needs one node only.
TEST_F(Cluster, AJoinClaimedByAFrontEndThatDiedIsTakenOver) {
  const std::string Source = SegmentedClip(Folder);
  const std::string Local = Folder + "/local";
  const RunResult Here =
      Convert({"--segments", "3", "--jobs", "2", "--output-dir", Local, Source}, Folder);
  ASSERT_EQ(Here.Status, 0) << Here.Err;
  const RunResult Submitted = Convert(
      {"--cluster", "slurm", "--segments", "3", "--detach", "--output-dir", Out, Source}, Folder);
  ASSERT_EQ(Submitted.Status, 0) << Submitted.Err;
  const std::string JobFolder = Submitted.OutLines.at(1);
  WaitForResults(JobFolder, 4);
  // What such a front end leaves: the claim with its host and pid (a
  // process that has ended and been reaped).
  const pid_t Gone = ::fork();
  ASSERT_GE(Gone, 0);
  if (Gone == 0) ::_exit(0);
  ASSERT_EQ(::waitpid(Gone, nullptr, 0), Gone);
  char Host[256] = {};
  ASSERT_EQ(::gethostname(Host, sizeof Host - 1), 0);
  std::ofstream(JobFolder + "/join-0") << Host << " " << Gone << "\n";
  // And the temporary file of the join it had begun.
  const std::string Stale = Out + "/.vexav-join-Ab12Cd-clip (MPEG-4 Video).mp4";
  std::ofstream(Stale) << "the leading segments";

  const RunResult R = Convert({"--cluster-status", JobFolder, "--wait"}, Folder);
  EXPECT_EQ(R.Status, 0) << R.Err;
  ASSERT_EQ(R.OutLines, std::vector<std::string>{Output("clip")}) << R.Err;
  EXPECT_TRUE(FileText(Output("clip")) == FileText(Local + "/clip (MPEG-4 Video).mp4"));
  ExpectPlayable(Output("clip"), 5.5);
  EXPECT_FALSE(fs::exists(JobFolder)) << "the job folder is left behind";
  EXPECT_EQ(Entries(Out), std::vector<std::string>{"clip (MPEG-4 Video).mp4"});
}

}  // namespace
}  // namespace vexav::cli::clustertest
