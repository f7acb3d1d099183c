// Stopping a batch on the cluster (ClusterHarness.h): a task cancelled on its
// own, Ctrl-C of the front end (once, and twice in a row), and SIGTERM. A
// part that a stopped task kept is never removed, whoever settles the
// batch, and its path is printed as the local mode prints it.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "ClusterHarness.h"

namespace vexav::cli::clustertest {
namespace {

// The job id in "submitted job 12 (...)".
std::string SubmittedJob(const std::string& Err) {
  const std::string Mark = "submitted job ";
  const std::size_t At = Err.find(Mark);
  if (At == std::string::npos) return std::string();
  const std::size_t From = At + Mark.size();
  return Err.substr(From, Err.find(' ', From) - From);
}

std::vector<std::string> Sorted(std::vector<std::string> Lines) {
  std::sort(Lines.begin(), Lines.end());
  return Lines;
}

// The parts kept of Stems that exist, each checked to decode.
std::vector<std::string> KeptParts(const Cluster& Test, const std::vector<std::string>& Stems) {
  std::vector<std::string> Kept;
  for (const std::string& Stem : Stems) {
    EXPECT_FALSE(fs::exists(Test.Output(Stem))) << "the full name is never left: " << Stem;
    if (!fs::exists(Test.Partial(Stem))) continue;
    Kept.push_back(Test.Partial(Stem));
    ExpectPlayable(Test.Partial(Stem), 0.1);
  }
  return Sorted(Kept);
}

// A task cancelled with scancel alone, after it has converted part of its
// file: the file fails with Slurm's state, and the part the task kept
// stays (it is what was converted); the other file is converted.
TEST_F(Cluster, ATaskCancelledAloneFailsItsFileAndKeepsItsPart) {
  const std::string Slow = SlowClip("slow.avi");
  const std::string Quick = Clip("quick.avi", 1.0);
  RunResult Submitted =
      Convert({"--cluster", "slurm", "--detach", "--output-dir", Out, Slow, Quick}, Folder);
  ASSERT_EQ(Submitted.Status, 0) << Submitted.Err;
  ASSERT_EQ(Submitted.OutLines.size(), 2u);
  const std::string Job = Submitted.OutLines[0], JobFolder = Submitted.OutLines[1];
  ASSERT_TRUE(WaitForState(Job + "_0", "RUNNING"));
  // Cancelled once it has reported progress and written part of its output.
  bool Converting = false;
  for (int I = 0; I < 600 && !Converting; ++I) {
    Converting =
        FileText(JobFolder + "/task-0.jsonl").find("\"event\":\"progress\"") != std::string::npos &&
        BeingWrittenSize(Output("slow")) > 0;
    if (!Converting) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_TRUE(Converting) << "the task never reported progress with a non-empty output";
  ASSERT_EQ(RunCommand({"scancel", Job + "_0"}, "/").Status, 0);

  RunResult R = Convert({"--cluster-status", JobFolder, "--wait"}, Folder);
  EXPECT_EQ(R.Status, 1) << R.Err;
  EXPECT_NE(R.Err.find("slow.avi: Slurm ended the task: CANCELLED; stopped at "), std::string::npos)
      << R.Err;
  EXPECT_NE(R.Err.find("the part converted so far is kept as " + Partial("slow")),
            std::string::npos)
      << R.Err;
  EXPECT_EQ(KeptParts(*this, {"slow"}), std::vector<std::string>{Partial("slow")});
  EXPECT_EQ(Sorted(R.OutLines), Sorted({Output("quick"), Partial("slow")})) << R.Err;
  ExpectPlayable(Output("quick"), 0.9);
  EXPECT_FALSE(fs::exists(JobFolder));
}

// Ctrl-C cancels the array: the running tasks keep what they converted,
// which the front end names on standard output as the local mode does.
TEST_F(Cluster, CtrlCCancelsTheArrayAndPrintsThePartsKept) {
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
  const std::vector<std::string> Kept = KeptParts(*this, {"s1", "s2", "s3"});
  EXPECT_GE(Kept.size(), 1u) << R.Err;
  for (const std::string& Part : Kept)
    EXPECT_NE(R.Err.find("the part converted so far is kept as " + Part), std::string::npos)
        << R.Err;
  EXPECT_EQ(Sorted(R.OutLines), Kept) << R.Err;
  EXPECT_TRUE(JobFolders(Out).empty());
}

// Ctrl-C twice, 0.1 s apart: the batch is cancelled before the front end
// goes, which says how to follow it. A later --cluster-status finds the
// tasks stopped on request (not ended by Slurm), keeps their parts and
// names them.
TEST_F(Cluster, CtrlCTwiceLeavesTheBatchToALaterLookThatKeepsTheParts) {
  const std::vector<std::string> Sources = {SlowClip("s1.avi"), SlowClip("s2.avi")};
  bool Sent = false;
  RunResult R = Convert({"--cluster", "slurm", "--output-dir", Out, Sources[0], Sources[1]}, Folder,
                        [&](const std::string& Line, pid_t Child) {
                          if (Sent || !IsEarlyProgress(Line)) return;
                          Sent = true;
                          ::kill(Child, SIGINT);
                          std::this_thread::sleep_for(std::chrono::milliseconds(100));
                          ::kill(Child, SIGINT);
                        });
  ASSERT_TRUE(Sent) << R.Err;
  EXPECT_EQ(R.Status, 130) << R.Err;
  const std::vector<std::string> Left = JobFolders(Out);
  ASSERT_EQ(Left.size(), 1u) << R.Err;
  const std::string JobFolder = Left.front();
  EXPECT_NE(R.Err.find("--cluster-status '" + JobFolder + "' --wait"), std::string::npos) << R.Err;
  const std::string Job = SubmittedJob(R.Err);
  ASSERT_FALSE(Job.empty()) << R.Err;
  ASSERT_TRUE(WaitUntilGone(Job)) << "the tasks were not cancelled";

  RunResult Later = Convert({"--cluster-status", JobFolder}, Folder);
  EXPECT_EQ(Later.Status, 130) << Later.Err;
  EXPECT_EQ(Later.Err.find("Slurm ended the task"), std::string::npos) << Later.Err;
  const std::vector<std::string> Kept = KeptParts(*this, {"s1", "s2"});
  EXPECT_GE(Kept.size(), 1u) << Later.Err;
  EXPECT_EQ(Sorted(Later.OutLines), Kept) << Later.Err;
  EXPECT_FALSE(fs::exists(JobFolder));
}

// SIGTERM (a scheduler or a service manager stopping the front end) is
// taken as Ctrl-C: the batch is cancelled and followed to its end, the
// parts are kept and printed.
TEST_F(Cluster, SigtermIsTakenAsCtrlC) {
  const std::vector<std::string> Sources = {SlowClip("s1.avi"), SlowClip("s2.avi")};
  bool Sent = false;
  RunResult R = Convert({"--cluster", "slurm", "--output-dir", Out, Sources[0], Sources[1]}, Folder,
                        [&](const std::string& Line, pid_t Child) {
                          if (!Sent && IsEarlyProgress(Line)) {
                            ::kill(Child, SIGTERM);
                            Sent = true;
                          }
                        });
  ASSERT_TRUE(Sent) << R.Err;
  EXPECT_EQ(R.Signal, 0) << "ended by the signal: " << R.Err;
  EXPECT_EQ(R.Status, 130) << R.Err;
  EXPECT_NE(R.Err.find("stopping on SIGTERM"), std::string::npos) << R.Err;
  const std::vector<std::string> Kept = KeptParts(*this, {"s1", "s2"});
  EXPECT_GE(Kept.size(), 1u) << R.Err;
  EXPECT_EQ(Sorted(R.OutLines), Kept) << R.Err;
  EXPECT_TRUE(JobFolders(Out).empty());
}

}  // namespace
}  // namespace vexav::cli::clustertest
