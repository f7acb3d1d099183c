// Faults around a batch on the cluster (ClusterHarness.h): an output folder
// the nodes cannot write, a job folder the front end cannot write, a
// submission sbatch refuses, a source missing at submission, and a task
// that waits on a drained node. Whatever the run made and did not use is
// removed, and the messages say why.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ClusterHarness.h"

namespace vexav::cli::clustertest {
namespace {

// What a run left in Folder: every file and folder under it.
std::vector<std::string> Everything(const std::string& Folder) {
  std::vector<std::string> Found;
  std::error_code Error;
  for (fs::recursive_directory_iterator It(Folder, Error), End; !Error && It != End;
       It.increment(Error))
    Found.push_back(It->path().string());
  return Found;
}

// The tasks run as a user that cannot write into the output folder: the
// file fails saying that the output could not be written, and where; the
// job folder, the reserved output and the output folder the run made go.
TEST_F(Cluster, AnOutputFolderTheNodesCannotWriteIsNamed) {
  const std::string Source = Clip("a.avi", 0.5);
  RunResult R = Convert(
      {"--cluster", "slurm", "--slurm-option=--uid=nobody", "--output-dir", Out, Source}, Folder);
  EXPECT_EQ(R.Status, 1) << R.Err;
  EXPECT_NE(R.Err.find("a.avi: the output could not be written: the task's node could not write "
                       "into " +
                       Out + "/.vexav-job-"),
            std::string::npos)
      << R.Err;
  EXPECT_NE(R.Err.find("; is " + Out + " shared with the nodes and writable there"),
            std::string::npos)
      << R.Err;
  EXPECT_TRUE(R.OutLines.empty());
  EXPECT_FALSE(fs::exists(Out)) << "left: " << ::testing::PrintToString(Everything(Out));
}

// The tasks run as a user that can write into the job folder but not the
// output reserved for it (made by the front end's user): the file fails
// naming the node and the output, and the 0-byte reservation goes.
TEST_F(Cluster, AnOutputTheNodeCannotOpenIsNamedAndItsReservationRemoved) {
  const std::string Source = Clip("a.avi", 0.5);
  RunResult Submitted = Convert({"--cluster", "slurm", "--detach", "--slurm-option=--hold",
                                 "--slurm-option=--uid=nobody", "--output-dir", Out, Source},
                                Folder);
  ASSERT_EQ(Submitted.Status, 0) << Submitted.Err;
  const std::string Job = Submitted.OutLines.at(0), JobFolder = Submitted.OutLines.at(1);
  // The job's user may read the sources and the batch, and write its report.
  fs::permissions(Folder, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                              fs::perms::others_read | fs::perms::others_exec);
  fs::permissions(JobFolder, fs::perms::all);
  ASSERT_EQ(FileSize(Output("a")), 0);
  ASSERT_EQ(RunCommand({"scontrol", "release", Job}, "/").Status, 0);
  RunResult R = Convert({"--cluster-status", JobFolder, "--wait"}, Folder);
  EXPECT_EQ(R.Status, 1) << R.Err;
  bool Named = false;
  for (const std::string& Node : Nodes())
    Named = Named || R.Err.find("a.avi: the output could not be written on node " + Node + ": " +
                                Output("a") + ": Permission denied") != std::string::npos;
  EXPECT_TRUE(Named) << R.Err;
  EXPECT_TRUE(R.OutLines.empty());
  EXPECT_FALSE(fs::exists(Output("a"))) << "the 0-byte reservation stayed";
  EXPECT_FALSE(fs::exists(Out)) << "left: " << ::testing::PrintToString(Everything(Out));
}

// The front end cannot write into the output folder either (no file of it
// may grow past 0 bytes here): it says so and why, submits nothing, and
// removes the job folder, the 0-byte reservations and the folder it made.
TEST_F(Cluster, AJobFolderTheFrontEndCannotWriteIsRemovedWithWhatItMade) {
  const std::string A = Clip("a.avi", 0.5), B = Clip("b.avi", 0.5);
  RunResult R =
      RunCommand({"prlimit", "--fsize=0", "--", "sh", "-c", "trap '' XFSZ; exec \"$0\" \"$@\"",
                  VEXAV_CONVERT_PROGRAM, "--cluster", "slurm", "--output-dir", Out, A, B},
                 Folder);
  EXPECT_EQ(R.Status, 1) << R.Err;
  EXPECT_NE(R.Err.find("cannot write the job folder: " + Out + "/.vexav-job-"), std::string::npos)
      << R.Err;
  EXPECT_NE(R.Err.find("task.sh: File too large; nothing was submitted"), std::string::npos)
      << R.Err;
  EXPECT_FALSE(fs::exists(Out)) << "left: " << ::testing::PrintToString(Everything(Out));
}

// sbatch refuses the submission, or the only source is missing: the output
// folder the run made goes again; one that was there before stays.
TEST_F(Cluster, ARefusedSubmissionOrAMissingSourceLeavesNoFolderMade) {
  const std::string Source = Clip("a.avi", 0.5);
  RunResult R = Convert({"--cluster", "slurm", "--slurm-option=--no-such-option", "--output-dir",
                         Out + "/deeper", Source},
                        Folder);
  EXPECT_EQ(R.Status, 1) << R.Err;
  EXPECT_NE(R.Err.find("the batch was not submitted: sbatch"), std::string::npos) << R.Err;
  EXPECT_FALSE(fs::exists(Out)) << "left: " << ::testing::PrintToString(Everything(Out));

  R = Convert({"--cluster", "slurm", "--output-dir", Out, "missing.avi"}, Folder);
  EXPECT_EQ(R.Status, 1) << R.Err;
  EXPECT_NE(R.Err.find("missing.avi: No such file or directory"), std::string::npos) << R.Err;
  EXPECT_FALSE(fs::exists(Out));

  fs::create_directories(Out);
  R = Convert({"--cluster", "slurm", "--output-dir", Out, "missing.avi"}, Folder);
  EXPECT_EQ(R.Status, 1) << R.Err;
  EXPECT_TRUE(fs::is_directory(Out)) << "there before the run";
}

// A task waits while the nodes are drained: its line shows Slurm's reason;
// once the nodes are back the file is converted.
TEST_F(Cluster, APendingTaskShowsWhySlurmHoldsIt) {
  const std::string Source = Clip("clip.avi", 0.5);
  ASSERT_TRUE(UpdateNodes({"state=drain", "reason=vexav-test"}));
  // The nodes come back once the reason was shown, or after 20 s whatever
  // happened, so that the batch (and the tests after this one) can run.
  std::mutex Lock;
  std::condition_variable Wake;
  bool Shown = false;
  std::thread Resume([&] {
    std::unique_lock<std::mutex> Guard(Lock);
    Wake.wait_for(Guard, std::chrono::seconds(20), [&] { return Shown; });
    UpdateNodes({"state=resume"});
  });
  std::string Line;
  RunResult R = Convert({"--cluster", "slurm", "--output-dir", Out, Source}, Folder,
                        [&](const std::string& Text, pid_t) {
                          if (Text.rfind("clip.avi: pending (", 0) != 0) return;
                          std::lock_guard<std::mutex> Guard(Lock);
                          if (Shown) return;
                          Line = Text;
                          Shown = true;
                          Wake.notify_all();
                        });
  {
    std::lock_guard<std::mutex> Guard(Lock);
    Shown = true;
    Wake.notify_all();
  }
  Resume.join();
  EXPECT_TRUE(Line.find("DRAINED") != std::string::npos ||
              Line.find("ReqNodeNotAvail") != std::string::npos)
      << "no pending line with the node's state: " << R.Err;
  ASSERT_EQ(R.Status, 0) << R.Err;
  EXPECT_EQ(R.OutLines, std::vector<std::string>{Output("clip")});
  ExpectPlayable(Output("clip"), 0.4);
}

}  // namespace
}  // namespace vexav::cli::clustertest
