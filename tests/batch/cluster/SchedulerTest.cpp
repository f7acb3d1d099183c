// The scheduler's pieces that need no cluster: how a batch is cut into
// Slurm job arrays below MaxArraySize, the one sbatch request every
// submission is built by, squeue's and scontrol's words taken as the
// scheduler's neutral states, and the job folder's record of the scheduler
// (also as the version before wrote it).
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "batch/cluster/JobFolder.h"
#include "batch/cluster/Scheduler.h"
#include "batch/cluster/slurm/SlurmScheduler.h"

namespace vexav::batch::cluster {
namespace {

using slurm::ArrayPart;

std::vector<std::size_t> BatchIndexes(const std::vector<ArrayPart>& Parts, std::size_t Max) {
  std::vector<std::size_t> Indexes;
  for (const ArrayPart& P : Parts) {
    EXPECT_GT(P.Count, 0u);
    EXPECT_LE(P.First + P.Count, Max) << "an array index at or past MaxArraySize";
    for (std::size_t I = 0; I < P.Count; ++I) Indexes.push_back(P.Base + P.First + I);
  }
  return Indexes;
}

std::vector<std::size_t> Iota(std::size_t First, std::size_t Count) {
  std::vector<std::size_t> Indexes(Count);
  for (std::size_t I = 0; I < Count; ++I) Indexes[I] = First + I;
  return Indexes;
}

TEST(ClusterScheduler, ABatchPastMaxArraySizeIsCutIntoArraysThatCoverItOnce) {
  // Within the limit: one array with the batch's own indexes, as before.
  std::vector<ArrayPart> Parts = slurm::SplitIntoArrays(0, 4, 4);
  ASSERT_EQ(Parts.size(), 1u);
  EXPECT_EQ(Parts[0].Base, 0u);
  EXPECT_EQ(BatchIndexes(Parts, 4), Iota(0, 4));
  // Nine tasks, at most four to an array: 4 + 4 + 1.
  Parts = slurm::SplitIntoArrays(0, 9, 4);
  ASSERT_EQ(Parts.size(), 3u);
  EXPECT_EQ(Parts[2].Count, 1u);
  EXPECT_EQ(BatchIndexes(Parts, 4), Iota(0, 9));
  // Slurm's default limit and a batch just past it.
  EXPECT_EQ(slurm::SplitIntoArrays(0, 1001, 1001).size(), 1u);
  EXPECT_EQ(BatchIndexes(slurm::SplitIntoArrays(0, 2003, 1001), 1001), Iota(0, 2003));
  // One task submitted again: under the limit it keeps its index, past it
  // it is index 0 of an array of its own.
  Parts = slurm::SplitIntoArrays(2, 1, 4);
  ASSERT_EQ(Parts.size(), 1u);
  EXPECT_EQ(Parts[0].First, 2u);
  EXPECT_EQ(Parts[0].Base, 0u);
  Parts = slurm::SplitIntoArrays(7, 1, 4);
  ASSERT_EQ(Parts.size(), 1u);
  EXPECT_EQ(Parts[0].First, 0u);
  EXPECT_EQ(Parts[0].Base, 7u);
  EXPECT_TRUE(slurm::SplitIntoArrays(0, 0, 4).empty());
}

TEST(ClusterScheduler, EverySubmissionIsBuiltFromTheJobFolderAlike) {
  Manifest M;
  M.Folder = "/shared/out/.vexav-job-abc";
  M.JobName = "vexav-abc";
  M.CpusPerTask = 2;
  M.Queue = "debug";
  M.SchedulerOptions = {"--time=5"};
  const TaskRequest Request = RequestOf(M);
  EXPECT_EQ(Request.Script, ScriptPath(M.Folder));
  const std::vector<std::string> First = slurm::SbatchArguments(Request, ArrayPart{0, 0, 4});
  const std::vector<std::string> Again = slurm::SbatchArguments(Request, ArrayPart{8, 0, 1});
  auto Has = [](const std::vector<std::string>& Args, const std::string& Word) {
    return std::find(Args.begin(), Args.end(), Word) != Args.end();
  };
  for (const std::vector<std::string>* Args : {&First, &Again}) {
    EXPECT_EQ(Args->front(), "sbatch");
    for (const char* Word : {"--job-name=vexav-abc", "--chdir=/shared/out/.vexav-job-abc",
                             "--cpus-per-task=2", "--partition=debug", "--time=5", "--no-requeue",
                             "--output=/shared/out/.vexav-job-abc/slurm-%A_%a.out"})
      EXPECT_TRUE(Has(*Args, Word)) << Word;
    // The user's options come before the script, whose argument is the
    // batch's index of the array's index 0.
    ASSERT_GE(Args->size(), 2u);
    EXPECT_EQ((*Args)[Args->size() - 2], Request.Script);
  }
  EXPECT_TRUE(Has(First, "--array=0-3"));
  EXPECT_EQ(First.back(), "0");
  EXPECT_TRUE(Has(Again, "--array=0"));
  EXPECT_EQ(Again.back(), "8");
}

// The task script turns the array task's index into the batch's: run with
// sh as Slurm would run it, for an array whose index 0 is the batch's 8.
TEST(ClusterScheduler, TheTaskScriptGivesTheBatchIndexAndTheCpus) {
  char Template[] = "/tmp/vexav-script-XXXXXX";
  ASSERT_NE(::mkdtemp(Template), nullptr);
  const std::string Folder = Template, Script = Folder + "/task.sh", Seen = Folder + "/seen";
  slurm::SlurmScheduler Slurm;
  std::string Error;
  ASSERT_TRUE(Slurm.WriteTaskScript(
      Script, {"/bin/sh", "-c", "echo \"$VEXAV_TASK_INDEX $VEXAV_TASK_CPUS\" > '" + Seen + "'"},
      Error))
      << Error;
  const std::string Run = "SLURM_ARRAY_TASK_ID=2 SLURM_CPUS_PER_TASK=3 '" + Script + "' 8";
  ASSERT_EQ(std::system(Run.c_str()), 0);
  std::ifstream In(Seen);
  std::string Line;
  std::getline(In, Line);
  EXPECT_EQ(Line, "10 3");
  // Outside of an array task it refuses to run anything.
  ::unlink(Seen.c_str());
  EXPECT_NE(std::system(("env -u SLURM_ARRAY_TASK_ID '" + Script + "' 2>/dev/null").c_str()), 0);
  EXPECT_FALSE(std::filesystem::exists(Seen));
  std::filesystem::remove_all(Folder);
}

// Inside a task, the index and CPUs come from what the task script set;
// under a script of the version before (Slurm's own variables only) from
// Slurm's, the batch being one array then.
TEST(ClusterScheduler, ATaskFindsItsIndexUnderEitherScript) {
  slurm::SlurmScheduler Slurm;
  ::unsetenv("VEXAV_TASK_INDEX");
  ::unsetenv("VEXAV_TASK_CPUS");
  ::unsetenv("SLURM_ARRAY_TASK_ID");
  ::unsetenv("SLURM_CPUS_PER_TASK");
  EXPECT_FALSE(Slurm.TaskIndexHere());
  EXPECT_EQ(Slurm.TaskCpusHere(), 0);
  ::setenv("SLURM_ARRAY_TASK_ID", "5", 1);
  ::setenv("SLURM_CPUS_PER_TASK", "2", 1);
  EXPECT_EQ(Slurm.TaskIndexHere(), std::optional<std::size_t>(5));
  EXPECT_EQ(Slurm.TaskCpusHere(), 2);
  ::setenv("VEXAV_TASK_INDEX", "1005", 1);
  ::setenv("VEXAV_TASK_CPUS", "3", 1);
  EXPECT_EQ(Slurm.TaskIndexHere(), std::optional<std::size_t>(1005));
  EXPECT_EQ(Slurm.TaskCpusHere(), 3);
  ::setenv("VEXAV_TASK_INDEX", "x", 1);
  ::unsetenv("SLURM_ARRAY_TASK_ID");
  EXPECT_FALSE(Slurm.TaskIndexHere());
  for (const char* Name :
       {"VEXAV_TASK_INDEX", "VEXAV_TASK_CPUS", "SLURM_ARRAY_TASK_ID", "SLURM_CPUS_PER_TASK"})
    ::unsetenv(Name);
}

// squeue's lines: a pending task's reason, with its spaces and commas, and
// which reasons are only a task's turn; a running task's node.
TEST(ClusterScheduler, QueueLinesGiveStateReasonAndHost) {
  const std::map<std::string, QueuedState> Queue = slurm::ParseQueue(
      "12_0|PENDING||ReqNodeNotAvail, UnavailableNodes:n1\n12_1|RUNNING|n2|None\n"
      "12_2|PENDING||Priority\ngarbage\n12_3|RUNNING\n");
  ASSERT_EQ(Queue.size(), 3u);
  EXPECT_TRUE(Queue.at("12_0").Pending);
  EXPECT_EQ(Queue.at("12_0").Reason, "ReqNodeNotAvail, UnavailableNodes:n1");
  EXPECT_FALSE(Queue.at("12_0").Routine);
  EXPECT_FALSE(Queue.at("12_1").Pending);
  EXPECT_EQ(Queue.at("12_1").Host, "n2");
  EXPECT_EQ(Queue.at("12_1").Reason, "");
  EXPECT_TRUE(Queue.at("12_2").Routine);
}

TEST(ClusterScheduler, SlurmEndsAreTakenAsTheSchedulersOwn) {
  const EndState Done = slurm::EndFromSlurm("COMPLETED", "None", "0:0");
  EXPECT_TRUE(Done.Completed && Done.ByItself && !Done.Retriable);
  EXPECT_EQ(Done.Text, "COMPLETED");
  const EndState Failed = slurm::EndFromSlurm("FAILED", "NonZeroExitCode", "1:0");
  EXPECT_TRUE(Failed.ByItself && !Failed.Completed);
  const EndState Node = slurm::EndFromSlurm("NODE_FAIL", "None", "0:0");
  EXPECT_TRUE(Node.Retriable && !Node.ByItself && !Node.Completed);
  EXPECT_EQ(Node.Text, "NODE_FAIL");
  EXPECT_TRUE(slurm::EndFromSlurm("PREEMPTED", "", "0:15").Retriable);
  const EndState Cancelled = slurm::EndFromSlurm("CANCELLED", "JobLaunchFailure", "0:0");
  EXPECT_TRUE(Cancelled.LaunchFailed && !Cancelled.Retriable);
  EXPECT_EQ(Cancelled.Text, "CANCELLED (JobLaunchFailure)");
  const EndState Gone = slurm::EndFromSlurm("", "", "");
  EXPECT_FALSE(Gone.Known || Gone.Completed || Gone.Retriable);
}

TEST(ClusterScheduler, MaxArraySizeIsReadFromTheConfiguration) {
  EXPECT_EQ(slurm::MaxArraySizeIn("MaxArraySize            = 4\nMaxJobCount = 10000\n"), 4u);
  EXPECT_EQ(slurm::MaxArraySizeIn("Foo = 1\nMaxArraySize = 1001\n"), 1001u);
  EXPECT_EQ(slurm::MaxArraySizeIn("MaxArraySizeX = 4\n"), 0u);
  EXPECT_EQ(slurm::MaxArraySizeIn("MaxArraySize = many\n"), 0u);
  EXPECT_EQ(slurm::MaxArraySizeIn(""), 0u);
}

// sinfo's "partition|allocated/idle/other/total" lines: the CPUs of nodes
// that are up, of the partition asked for or the default one (marked "*").
TEST(ClusterScheduler, TheCpusAPartitionOffersAreReadFromSinfo) {
  const std::string Lines = "short*|10/54/8/72\nlong|0/128/0/128\nlong|32/0/32/64\n";
  EXPECT_EQ(slurm::CpusInPartitionLines(Lines, ""), 64);
  EXPECT_EQ(slurm::CpusInPartitionLines(Lines, "short"), 64);
  EXPECT_EQ(slurm::CpusInPartitionLines(Lines, "long"), 160);
  EXPECT_EQ(slurm::CpusInPartitionLines(Lines, "gpu"), 0);
  EXPECT_EQ(slurm::CpusInPartitionLines("short*|n/a\nshort*|4/x/0/8\n", ""), 0);
  EXPECT_EQ(slurm::CpusInPartitionLines("", ""), 0);
}

std::string FileText(const std::string& Path) {
  std::ifstream In(Path, std::ios::binary);
  std::ostringstream Text;
  Text << In.rdbuf();
  return Text.str();
}

void Replace(std::string& Text, const std::string& From, const std::string& To) {
  const std::size_t At = Text.find(From);
  ASSERT_NE(At, std::string::npos) << From;
  Text.replace(At, From.size(), To);
}

// The job folder names the scheduler and keeps its options as given; a
// job folder of the version before (Slurm only, its own field names) is
// still followed.
TEST(ClusterScheduler, TheJobFolderNamesItsSchedulerAndReadsTheVersionBefore) {
  char Template[] = "/tmp/vexav-job-XXXXXX";
  ASSERT_NE(::mkdtemp(Template), nullptr);
  Manifest M;
  M.Folder = Template;
  M.Scheduler = "slurm";
  M.JobName = "vexav-abc";
  M.Program = "/usr/bin/vexav-convert";
  M.Queue = "debug";
  M.SchedulerOptions = {"--time=5", "--hold"};
  PlannedFile F;
  F.Source = "/data/a.avi";
  F.Plan.Final = "/data/a.mp4";
  F.Plan.WriteTo = "/data/a.mp4";
  M.Files = {F};
  M.Tasks = TasksOfFiles(M.Files);
  M.Tasks[0].JobId = "12_0";
  std::string Error;
  ASSERT_TRUE(SaveManifest(M, Error)) << Error;
  std::optional<Manifest> Loaded = LoadManifest(M.Folder, Error);
  ASSERT_TRUE(Loaded) << Error;
  EXPECT_EQ(Loaded->Scheduler, "slurm");
  EXPECT_EQ(Loaded->Queue, "debug");
  EXPECT_EQ(Loaded->SchedulerOptions, M.SchedulerOptions);
  EXPECT_EQ(Loaded->Tasks.at(0).JobId, "12_0");
  ASSERT_NE(MakeScheduler(Loaded->Scheduler), nullptr);
  EXPECT_EQ(MakeScheduler("no-such-scheduler"), nullptr);

  std::string Text = FileText(ManifestPath(M.Folder));
  Replace(Text, "\"version\":4", "\"version\":2");
  Replace(Text, "\"scheduler\":\"slurm\",", "");
  Replace(Text, "\"queue\"", "\"partition\"");
  Replace(Text, "\"scheduler_options\"", "\"slurm_options\"");
  std::ofstream(ManifestPath(M.Folder), std::ios::binary) << Text;
  Loaded = LoadManifest(M.Folder, Error);
  ASSERT_TRUE(Loaded) << Error;
  EXPECT_EQ(Loaded->Scheduler, "slurm");
  EXPECT_EQ(Loaded->Queue, "debug");
  EXPECT_EQ(Loaded->SchedulerOptions, M.SchedulerOptions);

  Replace(Text, "\"version\":2", "\"version\":1");
  std::ofstream(ManifestPath(M.Folder), std::ios::binary) << Text;
  EXPECT_FALSE(LoadManifest(M.Folder, Error));
  EXPECT_NE(Error.find("written by another version"), std::string::npos) << Error;
  std::filesystem::remove_all(M.Folder);
}

}  // namespace
}  // namespace vexav::batch::cluster
