// vexav-convert --cluster slurm against a real Slurm cluster (ClusterHarness.h):
// batches converted and decoded, names reserved, broken reports, retries,
// followers of a detached batch, folders, --json and segments.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "ClusterHarness.h"
#include "JsonReader.h"

namespace vexav::cli::clustertest {
namespace {

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

// --overwrite: the task writes beside the old output under a name of its
// own, which replaces the old file (keeping its permissions) once it is
// done; nothing else is left in the output folder.
TEST_F(Cluster, OverwriteReplacesTheOldOutputAndLeavesNothingElse) {
  const std::string Source = Clip("a.avi", 1.0);
  fs::create_directories(Out);
  std::ofstream(Output("a")) << "an old conversion";
  fs::permissions(Output("a"),
                  fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  RunResult R = Convert({"--cluster", "slurm", "--overwrite", "--output-dir", Out, Source}, Folder);
  ASSERT_EQ(R.Status, 0) << R.Err;
  EXPECT_EQ(R.OutLines, std::vector<std::string>{Output("a")});
  ExpectPlayable(Output("a"), 0.9);
  EXPECT_EQ(fs::status(Output("a")).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  std::vector<std::string> Names;
  for (const fs::directory_entry& E : fs::directory_iterator(Out))
    Names.push_back(E.path().filename());
  EXPECT_EQ(Names, std::vector<std::string>{"a (MPEG-4 Video).mp4"});
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
  EXPECT_FALSE(fs::exists(Out)) << "the outputs, the job folder and the folder made for them "
                                   "are removed";
}

TEST_F(Cluster, ANodeFailureIsRetriedAndAnEngineFailureIsNot) {
  const std::string Slow = SlowClip("slow.avi");
  const std::string Text = Folder + "/text.avi";
  std::ofstream(Text) << "not a video\n";
  bool Downed = false, Resumed = false, TextFailed = false;
  RunResult R =
      Convert({"--cluster", "slurm", "--retries", "1", "--output-dir", Out, Slow, Text}, Folder,
              [&](const std::string& Line, pid_t) {
                // The nodes fail under the running task, and come
                // back once the task has been submitted again.
                // (After the text file's task has ended, so that
                // only the slow one meets the failure.)
                if (Line.rfind("text.avi: ", 0) == 0 && Line.back() != '%') TextFailed = true;
                if (!Downed && TextFailed && IsEarlyProgress(Line)) {
                  Downed = UpdateNodes({"state=down", "reason=vexav-test"});
                }
                if (Downed && !Resumed && Line.find("submitted again") != std::string::npos) {
                  UpdateNodes({"state=resume"});
                  Resumed = true;
                }
              });
  // Whatever happened, the nodes take jobs again for the next test.
  UpdateNodes({"state=resume"});
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

// Each follower either settles the batch itself (exit 0, the output
// printed) or finds the job folder gone because the other one did (exit 1
// with that message, nothing printed); never anything else, and the output
// is there once and decodes.
TEST_F(Cluster, TwoFollowersOfOneBatchLoseNoOutput) {
  const std::string Source = Clip("clip.avi", 1.0);
  RunResult Submitted =
      Convert({"--cluster", "slurm", "--detach", "--output-dir", Out, Source}, Folder);
  ASSERT_EQ(Submitted.Status, 0) << Submitted.Err;
  const std::string JobFolder = Submitted.OutLines.at(1);
  RunResult Second;
  std::thread Other([&] { Second = Convert({"--cluster-status", JobFolder, "--wait"}, Folder); });
  RunResult First = Convert({"--cluster-status", JobFolder, "--wait"}, Folder);
  Other.join();
  int Settled = 0;
  for (const RunResult* R : {&First, &Second}) {
    if (R->Status == 0) {
      ++Settled;
      EXPECT_EQ(R->OutLines, std::vector<std::string>{Output("clip")}) << R->Err;
      continue;
    }
    EXPECT_EQ(R->Status, 1) << "neither settled nor told the folder is gone: " << R->Err;
    EXPECT_TRUE(R->OutLines.empty()) << R->Err;
    EXPECT_NE(R->Err.find("the job folder " + JobFolder +
                          " is gone (another vexav-convert followed the batch to its end)"),
              std::string::npos)
        << R->Err;
  }
  EXPECT_GE(Settled, 1) << First.Err << Second.Err;
  ExpectPlayable(Output("clip"), 0.9);
  EXPECT_FALSE(fs::exists(JobFolder));
}

// A FOLDER stands for the media files in it, their outputs in the same
// sub-folders of the output folder, as in the local mode.
TEST_F(Cluster, AFolderIsConvertedAsItsTreeMirrored) {
  Clip("tree/a.avi", 1.0);
  Clip("tree/sub/b.avi", 1.0);
  RunResult R = Convert({"--cluster", "slurm", "--output-dir", Out, "tree"}, Folder);
  ASSERT_EQ(R.Status, 0) << R.Err;
  const std::string A = Output("a"), B = Out + "/sub/b (MPEG-4 Video).mp4";
  std::vector<std::string> Printed = R.OutLines;
  std::sort(Printed.begin(), Printed.end());
  EXPECT_EQ(Printed, (std::vector<std::string>{A, B})) << R.Err;
  ExpectPlayable(A, 0.9);
  ExpectPlayable(B, 0.9);
  EXPECT_NE(R.Err.find("Assumed: every node sees the sources, " + Out + " and "), std::string::npos)
      << R.Err;
  EXPECT_TRUE(JobFolders(Out).empty());
}

// With --same-folder the outputs lie in each source's folder: the line that
// says what every node must see names them all.
TEST_F(Cluster, SameFolderNamesEveryOutputFolderTheNodesMustSee) {
  const std::string A = Clip("one/a.avi", 1.0), B = Clip("two/b.avi", 1.0);
  RunResult R = Convert({"--cluster", "slurm", "--same-folder", A, B}, Folder);
  ASSERT_EQ(R.Status, 0) << R.Err;
  EXPECT_NE(R.Err.find("Assumed: every node sees the sources, " + Folder + "/one, " + Folder +
                       "/two and "),
            std::string::npos)
      << R.Err;
  ExpectPlayable(Folder + "/one/a (MPEG-4 Video).mp4", 0.9);
  ExpectPlayable(Folder + "/two/b (MPEG-4 Video).mp4", 0.9);
}

// --json on the cluster gives the local mode's objects: progress while a
// file runs, then its result, for a file failed before submission too, and
// from --cluster-status following a detached batch.
TEST_F(Cluster, JsonGivesTheObjectsOfTheLocalMode) {
  using testjson::Reader;
  using testjson::Value;
  const std::string A = Clip("a.avi", 1.0);
  auto Objects = [](const RunResult& R, int& Converting) {
    std::vector<Value> Results;
    for (const std::string& Line : R.OutLines) {
      Value V;
      EXPECT_NO_THROW(V = Reader::Parse(Line)) << Line;
      for (const char* Key :
           {"file", "percent", "frame", "fps", "elapsed", "eta", "output", "status", "error"})
        EXPECT_TRUE(V.Has(Key)) << Key << " in " << Line;
      if (V.Has("status") && V["status"].Text == "converting")
        ++Converting;
      else
        Results.push_back(V);
    }
    return Results;
  };
  RunResult R = Convert(
      {"--cluster", "slurm", "--json", "--output-dir", Out, "a.avi", "missing.avi"}, Folder);
  EXPECT_EQ(R.Status, 1) << R.Err;
  int Converting = 0;
  std::vector<Value> Results = Objects(R, Converting);
  EXPECT_GT(Converting, 0) << R.Err;
  ASSERT_EQ(Results.size(), 2u) << R.Err;
  EXPECT_EQ(Results[0]["file"].Text, "missing.avi");
  EXPECT_EQ(Results[0]["status"].Text, "failed");
  EXPECT_EQ(Results[0]["error"].Text, "No such file or directory");
  EXPECT_EQ(Results[1]["file"].Text, "a.avi");
  EXPECT_EQ(Results[1]["status"].Text, "done");
  EXPECT_EQ(Results[1]["percent"].Number, 100);
  EXPECT_GT(Results[1]["frame"].Number, 0);
  EXPECT_EQ(Results[1]["elapsed"].Type, Value::Kind::Number);
  EXPECT_EQ(Results[1]["output"].Text, Output("a"));
  ExpectPlayable(Output("a"), 0.9);

  RunResult Submitted = Convert({"--cluster", "slurm", "--detach", "--output-dir", Out, A}, Folder);
  ASSERT_EQ(Submitted.Status, 0) << Submitted.Err;
  RunResult Followed =
      Convert({"--cluster-status", Submitted.OutLines.at(1), "--wait", "--json"}, Folder);
  EXPECT_EQ(Followed.Status, 0) << Followed.Err;
  Converting = 0;
  Results = Objects(Followed, Converting);
  ASSERT_EQ(Results.size(), 1u) << Followed.Err;
  EXPECT_EQ(Results[0]["file"].Text, A);
  EXPECT_EQ(Results[0]["status"].Text, "done");
  EXPECT_EQ(Results[0]["output"].Text, Out + "/a (MPEG-4 Video [1]).mp4");
  ExpectPlayable(Results[0]["output"].Text, 0.9);
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

TEST_F(Cluster, SegmentsRunAsTasksAndJoinIntoTheSameBytesAsLocally) {
  const std::string Source = SegmentClip(Folder);
  const std::string Local = Folder + "/local";
  RunResult Here =
      Convert({"--segments", "3", "--jobs", "2", "--output-dir", Local, Source}, Folder);
  ASSERT_EQ(Here.Status, 0) << Here.Err;
  RunResult R =
      Convert({"--cluster", "slurm", "--segments", "3", "--output-dir", Out, Source}, Folder);
  ASSERT_EQ(R.Status, 0) << R.Err;
  // Three segments and three sound pieces.
  EXPECT_NE(R.Err.find("in 6 tasks"), std::string::npos) << R.Err;
  ASSERT_EQ(R.OutLines, std::vector<std::string>{Output("clip")}) << R.Err;
  const std::string Joined = FileText(Output("clip"));
  ASSERT_FALSE(Joined.empty());
  EXPECT_TRUE(Joined == FileText(Local + "/clip (MPEG-4 Video).mp4"))
      << "the segments' bytes depend on where they ran";
  ExpectPlayable(Output("clip"), 5.5);
  EXPECT_TRUE(LeftOver(Out).empty());
}

TEST_F(Cluster, AFailedSegmentFailsItsFileAndLeavesNothing) {
  const std::string Source = SegmentClip(Folder);
  // The nodes' program, except that the second segment (the batch's task 4,
  // after the three sound pieces and the first segment; by the batch's index,
  // as its tasks may be split over arrays) reports an engine failure.
  const std::string Fake = Folder + "/fail-segment.sh";
  {
    std::ofstream Script(Fake);
    Script << "#!/bin/sh\n"
              "if [ \"$VEXAV_TASK_INDEX\" = 4 ]; then\n"
              "  printf '{\"event\":\"start\",\"host\":\"x\"}\\n{\"event\":\"result\","
              "\"status\":\"failed\",\"message\":\"broken picture\",\"output\":\"\"}\\n' "
              ">\"$2/task-4.jsonl\"\n"
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
  EXPECT_FALSE(fs::exists(Out)) << "the output, the pieces, the job folder and the folder made "
                                   "for them are removed";
}

}  // namespace
}  // namespace vexav::cli::clustertest
