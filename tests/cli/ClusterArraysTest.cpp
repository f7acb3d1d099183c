// A batch with more tasks than the cluster's MaxArraySize (ClusterHarness.h):
// submitted as several job arrays and followed as one batch, with the same
// outputs, Ctrl-C and --cluster-status as a batch of one array. Needs a
// test cluster with a small MaxArraySize (scripts/slurm-local.sh started
// with VEXAV_SLURM_MAX_ARRAY_SIZE=4).
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "ClusterHarness.h"

namespace vexav::cli::clustertest {
namespace {

// The cluster's MaxArraySize as scontrol shows it (0: not told).
std::size_t ClusterMaxArraySize() {
  const RunResult R = RunCommand({"scontrol", "show", "config"}, "/");
  for (const std::string& Line : R.OutLines) {
    if (Line.rfind("MaxArraySize ", 0) != 0) continue;
    const std::size_t Equals = Line.find('=');
    if (Equals != std::string::npos) return std::stoul(Line.substr(Equals + 1));
  }
  return 0;
}

// The job ids in "submitted jobs 12, 13 and 14 (...)" (or "submitted job 12").
std::vector<std::string> SubmittedJobs(const std::string& Err) {
  std::vector<std::string> Jobs;
  std::size_t At = Err.find("submitted job");
  if (At == std::string::npos) return Jobs;
  At = Err.find(' ', At + 10) + 1;
  const std::string List = Err.substr(At, Err.find(" (", At) - At);
  std::string Word;
  std::istringstream Words(List);
  while (Words >> Word) {
    if (Word == "and") continue;
    if (Word.back() == ',') Word.pop_back();
    Jobs.push_back(Word);
  }
  return Jobs;
}

std::vector<std::string> Sorted(std::vector<std::string> Lines) {
  std::sort(Lines.begin(), Lines.end());
  return Lines;
}

class ClusterArrays : public Cluster {
 public:
  void SetUp() override {
    Cluster::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    Max = ClusterMaxArraySize();
    if (Max > 0 && Max <= 8) return;
    // test.sh's cluster stage starts its cluster so: there these cases must run.
    const char* Required = std::getenv("VEXAV_CLUSTER_REQUIRED");
    const std::string Why = "the test cluster's MaxArraySize is " + std::to_string(Max) +
                            "; start it with VEXAV_SLURM_MAX_ARRAY_SIZE=4 for these cases";
    if (Required && std::string(Required) == "1") FAIL() << Why;
    GTEST_SKIP() << Why;
  }
  // Twice MaxArraySize and one more: three arrays, the last of one task.
  std::vector<std::string> Clips(double Seconds, std::vector<std::string>& Stems, int Width = 160,
                                 int Height = 120) {
    std::vector<std::string> Sources;
    for (std::size_t I = 0; I < 2 * Max + 1; ++I) {
      std::string Stem = "c";
      Stem += std::to_string(I);
      Stems.push_back(Stem);
      Sources.push_back(Clip(Stems.back() + ".avi", Seconds, Width, Height));
    }
    return Sources;
  }
  std::size_t Max = 0;
};

TEST_F(ClusterArrays, ABatchPastTheArrayLimitIsSeveralArraysFollowedAsOne) {
  std::vector<std::string> Stems;
  std::vector<std::string> Args = {"--cluster", "slurm", "--output-dir", Out};
  for (const std::string& Source : Clips(0.6, Stems)) Args.push_back(Source);
  RunResult R = Convert(Args, Folder);
  ASSERT_EQ(R.Status, 0) << R.Err;
  EXPECT_EQ(SubmittedJobs(R.Err).size(), 3u) << R.Err;
  std::vector<std::string> Expected;
  for (const std::string& Stem : Stems) Expected.push_back(Output(Stem));
  EXPECT_EQ(Sorted(R.OutLines), Sorted(Expected)) << R.Err;
  for (const std::string& Path : Expected) ExpectPlayable(Path, 0.5);
  EXPECT_TRUE(JobFolders(Out).empty());
}

// Detached and held, one look (every file of every array pending), then
// released and followed to its end: every output, once.
TEST_F(ClusterArrays, ClusterStatusFollowsEveryArrayOfABatch) {
  std::vector<std::string> Stems;
  std::vector<std::string> Args = {"--cluster",    "slurm", "--detach", "--slurm-option=--hold",
                                   "--output-dir", Out};
  for (const std::string& Source : Clips(0.6, Stems)) Args.push_back(Source);
  RunResult Submitted = Convert(Args, Folder);
  ASSERT_EQ(Submitted.Status, 0) << Submitted.Err;
  ASSERT_EQ(Submitted.OutLines.size(), 2u) << Submitted.Err;
  // The jobs on the first line, as many as the message names.
  const std::vector<std::string> Jobs = SubmittedJobs(Submitted.Err);
  ASSERT_EQ(Jobs.size(), 3u) << Submitted.Err;
  std::string Line;
  for (const std::string& Job : Jobs) Line += (Line.empty() ? "" : " ") + Job;
  EXPECT_EQ(Submitted.OutLines[0], Line);
  const std::string JobFolder = Submitted.OutLines[1];

  RunResult Look = Convert({"--cluster-status", JobFolder}, Folder);
  EXPECT_EQ(Look.Status, 0) << Look.Err;
  const std::string Count = std::to_string(Stems.size());
  EXPECT_NE(Look.Err.find(Count + " of " + Count + " files not finished (" + Count + " pending)"),
            std::string::npos)
      << Look.Err;
  EXPECT_NE(Look.Err.find(Stems.back() + ".avi: pending (" + Jobs.back() + "_0"), std::string::npos)
      << Look.Err;
  for (const std::string& Job : Jobs)
    ASSERT_EQ(RunCommand({"scontrol", "release", Job}, "/").Status, 0) << Job;
  RunResult R = Convert({"--cluster-status", JobFolder, "--wait"}, Folder);
  ASSERT_EQ(R.Status, 0) << R.Err;
  std::vector<std::string> Expected;
  for (const std::string& Stem : Stems) Expected.push_back(Output(Stem));
  EXPECT_EQ(Sorted(R.OutLines), Sorted(Expected)) << R.Err;
  for (const std::string& Path : Expected) ExpectPlayable(Path, 0.5);
  EXPECT_FALSE(fs::exists(JobFolder));
}

// A task past the array limit that a node failure ends is submitted again
// as an array of its own (its index in the batch past MaxArraySize) and
// converted whole.
TEST_F(ClusterArrays, ATaskPastTheLimitIsSubmittedAgainAfterANodeFailure) {
  std::vector<std::string> Stems;
  std::vector<std::string> Sources = Clips(0.6, Stems);
  // The last task, alone in the last array, is the slow one.
  Sources.back() = SlowClip(Stems.back() + ".avi");
  std::vector<std::string> Args = {"--cluster", "slurm", "--retries", "1", "--output-dir", Out};
  Args.insert(Args.end(), Sources.begin(), Sources.end());
  const std::string Last = Stems.back() + ".avi: ";
  bool Downed = false, Resumed = false;
  RunResult R = Convert(Args, Folder, [&](const std::string& Line, pid_t) {
    if (!Downed && Line.rfind(Last, 0) == 0 && IsEarlyProgress(Line))
      Downed = UpdateNodes({"state=down", "reason=vexav-test"});
    if (Downed && !Resumed && Line.rfind(Last, 0) == 0 &&
        Line.find("submitted again") != std::string::npos) {
      UpdateNodes({"state=resume"});
      Resumed = true;
    }
  });
  // Whatever happened, the nodes take jobs again for the next test.
  UpdateNodes({"state=resume"});
  ASSERT_TRUE(Downed) << R.Err;
  EXPECT_EQ(R.Status, 0) << R.Err;
  EXPECT_NE(R.Err.find(Last + "Slurm ended the task: NODE_FAIL"), std::string::npos) << R.Err;
  EXPECT_NE(R.Err.find("(attempt 2 of 2)"), std::string::npos) << R.Err;
  std::vector<std::string> Expected;
  for (const std::string& Stem : Stems) Expected.push_back(Output(Stem));
  EXPECT_EQ(Sorted(R.OutLines), Sorted(Expected)) << R.Err;
  for (std::size_t I = 0; I + 1 < Expected.size(); ++I) ExpectPlayable(Expected[I], 0.5);
  ExpectPlayable(Expected.back(), 9.5);
  EXPECT_TRUE(JobFolders(Out).empty());
}

// Ctrl-C cancels every array of the batch: nothing of it stays queued, the
// last array's task never runs, and each file either has its output (ended
// before), a kept part, or nothing at all.
TEST_F(ClusterArrays, CtrlCCancelsEveryArray) {
  std::vector<std::string> Stems;
  std::vector<std::string> Args = {"--cluster", "slurm", "--output-dir", Out};
  for (const std::string& Source : Clips(6.0, Stems, 320, 240)) Args.push_back(Source);
  bool Sent = false;
  RunResult R = Convert(Args, Folder, [&](const std::string& Line, pid_t Child) {
    if (!Sent && IsEarlyProgress(Line)) {
      ::kill(Child, SIGINT);
      Sent = true;
    }
  });
  ASSERT_TRUE(Sent) << R.Err;
  EXPECT_EQ(R.Status, 130) << R.Err;
  const std::vector<std::string> Jobs = SubmittedJobs(R.Err);
  ASSERT_EQ(Jobs.size(), 3u) << R.Err;
  for (const std::string& Job : Jobs) EXPECT_TRUE(WaitUntilGone(Job)) << Job;
  EXPECT_NE(R.Err.find(" not converted"), std::string::npos) << R.Err;
  std::vector<std::string> Left;
  for (const std::string& Stem : Stems) {
    for (const std::string& Path : {Output(Stem), Partial(Stem)}) {
      if (!fs::exists(Path)) continue;
      Left.push_back(Path);
      ExpectPlayable(Path, 0.1);
    }
  }
  EXPECT_FALSE(Left.empty()) << "the running tasks keep what they converted: " << R.Err;
  EXPECT_EQ(Sorted(R.OutLines), Sorted(Left)) << R.Err;
  EXPECT_FALSE(fs::exists(Output(Stems.back())) || fs::exists(Partial(Stems.back())));
  EXPECT_TRUE(JobFolders(Out).empty());
}

}  // namespace
}  // namespace vexav::cli::clustertest
