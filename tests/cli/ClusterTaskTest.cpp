// One task of a cluster batch run here, as a scheduler starts it: the job
// folder written as the front end writes it, Slurm's variables of an array
// task set, and vexav-convert --cluster-task JOBFOLDER run as a child
// process (no cluster needed). Each submission of a task writes under a
// name of its own and puts its output in place only at its end; it never
// removes the output reserved for the file, nor a piece another submission
// put in place, and one that the front end has given up on touches
// nothing at all.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <string>
#include <vector>

#include "ClusterHarness.h"
#include "batch/OutputFiles.h"
#include "batch/cluster/JobFolder.h"
#include "batch/segments/SegmentJoin.h"
#include "batch/segments/SourcePlan.h"
#include "component/AVProbe.h"
#include "component/OutputNaming.h"
#include "component/Presets.h"

namespace vexav::cli::clustertest {
namespace {

using batch::cluster::Manifest;
using batch::cluster::PlannedFile;
namespace segments = batch::segments;

// The id Slurm gives the task in this test's environment.
constexpr const char* Attempt = "4100_0";

bool AnyAttemptFile(const std::string& Folder) {
  for (const std::string& Name : Entries(Folder))
    if (Name.rfind(".vexav-task-", 0) == 0) return true;
  return false;
}

class ClusterTask : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(LoadFFmpegLibs("", true)) << LastLoadError();
    char Template[] = "/tmp/vexav-task-XXXXXX";
    ASSERT_NE(::mkdtemp(Template), nullptr);
    Folder = Template;
    Out = Folder + "/out";
    fs::create_directories(Out);
    mediagen::MediaRequest Request;
    Request.Width = 160;
    Request.Height = 120;
    Request.DurationSeconds = 2.0;
    Source = Folder + "/clip.avi";
    ASSERT_EQ(mediagen::Generate(Source, Request), "");
    Final = Out + "/clip (MPEG-4 Video).mp4";
    // What a task of array job 4100 at index 0 is told.
    ::setenv("SLURM_ARRAY_JOB_ID", "4100", 1);
    ::setenv("SLURM_ARRAY_TASK_ID", "0", 1);
  }
  void TearDown() override {
    if (!Folder.empty()) fs::remove_all(Folder);
  }

  // The job folder of a batch of the one file, its output reserved as the
  // front end reserves it, and task Index to run. Count: segments (0: the
  // file whole).
  void WriteBatch(int Count, int Index) {
    PlannedFile File;
    File.Source = Source;
    File.Given = Source;
    std::string Error;
    const output::TFormatPreset& Preset = output::kFormats[output::kDefaultFormatIndex];
    ASSERT_TRUE(batch::PlanDefaultOutput(
        output::PathInFolder(Out, Source), output::FormatExtension(Preset.ItemText),
        output::FormatLabel(Preset.ItemText), false, File.Plan, Error))
        << Error;
    ASSERT_EQ(File.Plan.Final, Final);
    if (Count > 0) {
      TAVProbe Probe;
      ASSERT_TRUE(Probe.Open(Source)) << Probe.LastError();
      segments::SourcePlan Planned;
      ASSERT_TRUE(segments::PlanSource(Probe, Source, {}, Planned, Error)) << Error;
      File.Segments = segments::PlanSegments(Source, Planned, Count, Error);
      ASSERT_EQ(File.Segments.Segments(), Count) << Error;
      File.DurationUs = Planned.DurationUs;
      segments::WorkFolder Work;
      ASSERT_TRUE(Work.Make(Final, Error)) << Error;
      File.WorkFolder = Work.Path();
      Work.Release();
    }
    M.Folder = Out + "/.vexav-job-test";
    fs::create_directories(M.Folder);
    M.Scheduler = "slurm";
    M.JobName = "vexav-test";
    M.Program = VEXAV_CONVERT_PROGRAM;
    M.Files = {File};
    M.Tasks = batch::cluster::TasksOfFiles(M.Files);
    for (batch::cluster::PlannedTask& Task : M.Tasks) Task.JobId = "4000_0";
    M.Tasks.at(Index).JobId = Attempt;
    ASSERT_TRUE(batch::cluster::SaveManifest(M, Error)) << Error;
    ::setenv("VEXAV_TASK_INDEX", std::to_string(Index).c_str(), 1);
  }

  RunResult RunTask() { return Convert({"--cluster-task", M.Folder}, Folder); }

  // The task's result line ("" when it wrote none).
  std::string ResultLine(int Index) const {
    std::istringstream In(FileText(batch::cluster::ReportPath(M.Folder, Index)));
    std::string Line, Result;
    while (std::getline(In, Line))
      if (Line.find("\"result\"") != std::string::npos) Result = Line;
    return Result;
  }

  // Makes the source unreadable as media: the task fails at its start.
  void SpoilSource() { std::ofstream(Source, std::ios::trunc) << "not a video"; }

  std::string Folder, Out, Source, Final;
  Manifest M;
};

// A whole file: converted under the attempt's own name, which takes the
// reserved name's place at the end; nothing else is left beside it.
TEST_F(ClusterTask, AFileIsPutInItsReservedPlaceAtTheEnd) {
  WriteBatch(0, 0);
  const RunResult R = RunTask();
  ASSERT_EQ(R.Status, 0) << R.Err;
  EXPECT_NE(ResultLine(0).find("\"done\""), std::string::npos) << ResultLine(0);
  ExpectPlayable(Final, 1.9);
  EXPECT_FALSE(AnyAttemptFile(Out)) << "the attempt's own file is left";
  EXPECT_EQ(Entries(Out), (std::vector<std::string>{".vexav-job-test", "clip (MPEG-4 Video).mp4"}));

  // A failed attempt leaves the reserved output as it is: another attempt
  // of the task may have put the conversion there.
  const std::string Before = FileText(Final);
  SpoilSource();
  const RunResult Failed = RunTask();
  EXPECT_NE(ResultLine(0).find("\"failed\""), std::string::npos) << ResultLine(0);
  EXPECT_TRUE(FileText(Final) == Before) << "a failed attempt removed or changed the output";
  EXPECT_FALSE(AnyAttemptFile(Out)) << "the failed attempt's own file is left";
}

// An attempt that the front end has given up on (it submitted the task
// again) neither converts nor reports: the output in place stays as it is,
// and nothing is added.
TEST_F(ClusterTask, AnAttemptGivenUpTouchesNothing) {
  WriteBatch(0, 0);
  std::ofstream(Final, std::ios::trunc) << "the later attempt's output";
  ASSERT_TRUE(batch::cluster::MarkGivenUp(M.Folder, Attempt));
  const std::vector<std::string> Job = Entries(M.Folder);
  const RunResult R = RunTask();
  EXPECT_EQ(R.Status, 0) << R.Err;
  EXPECT_NE(R.Err.find("given up"), std::string::npos) << R.Err;
  EXPECT_TRUE(FileText(Final) == "the later attempt's output") << "the output in place was changed";
  EXPECT_EQ(Entries(Out), (std::vector<std::string>{".vexav-job-test", "clip (MPEG-4 Video).mp4"}));
  EXPECT_EQ(Entries(M.Folder), Job) << "the attempt wrote into the job folder";

  // So is one whose batch has ended (its job folder is gone).
  fs::remove_all(M.Folder);
  const RunResult Late = RunTask();
  EXPECT_NE(Late.Status, 0);
  EXPECT_TRUE(FileText(Final) == "the later attempt's output") << "the output in place was changed";
  EXPECT_EQ(Entries(Out), std::vector<std::string>{"clip (MPEG-4 Video).mp4"});
}

// A piece of a segmented file: converted under the attempt's own name in
// the work folder and renamed to the piece's name at its end; a failed
// attempt leaves a piece that another one put there.
TEST_F(ClusterTask, APieceIsPutInPlaceAtTheEndAndAFailedAttemptLeavesItAlone) {
  WriteBatch(2, 1);
  const PlannedFile& File = M.Files[0];
  const int Piece = M.Tasks[1].Piece;
  ASSERT_GE(Piece, 0);
  const std::string PiecePath = File.WorkFolder + "/" + File.Segments.Pieces[Piece].FileName;
  const RunResult R = RunTask();
  ASSERT_EQ(R.Status, 0) << R.Err;
  EXPECT_NE(ResultLine(1).find("\"done\""), std::string::npos) << ResultLine(1);
  EXPECT_NE(ResultLine(1).find(PiecePath), std::string::npos) << ResultLine(1);
  EXPECT_GT(FileSize(PiecePath), 0);
  EXPECT_FALSE(AnyAttemptFile(File.WorkFolder)) << "the attempt's own file is left";

  const std::string Before = FileText(PiecePath);
  SpoilSource();
  const RunResult Failed = RunTask();
  EXPECT_NE(ResultLine(1).find("\"failed\""), std::string::npos) << ResultLine(1);
  EXPECT_TRUE(FileText(PiecePath) == Before) << "a failed attempt removed the piece in place";
  EXPECT_FALSE(AnyAttemptFile(File.WorkFolder)) << "the failed attempt's own file is left";
}

// The task converts with the batch's preset and size limit, as job.json
// carries them (the name was reserved before: only the content tells).
TEST_F(ClusterTask, ATaskConvertsWithTheBatchsPresetAndSizeLimit) {
  mediagen::MediaRequest Request;
  Request.Width = 320;
  Request.Height = 240;
  Request.DurationSeconds = 0.5;
  ASSERT_EQ(mediagen::Generate(Source, Request), "");
  WriteBatch(0, 0);
  M.Preset.Format = 2;  // HEVC Video
  M.Preset.MaxHeight = 144;
  std::string Error;
  ASSERT_TRUE(batch::cluster::SaveManifest(M, Error)) << Error;
  const RunResult R = RunTask();
  ASSERT_EQ(R.Status, 0) << R.Err;
  EXPECT_NE(ResultLine(0).find("\"done\""), std::string::npos) << ResultLine(0);
  const mediagen::DecodedMedia Decoded = mediagen::Decode(Final);
  ASSERT_EQ(Decoded.Error, "");
  EXPECT_EQ(Decoded.VideoCodecName, "hevc");
  ASSERT_FALSE(Decoded.Frames.empty());
  EXPECT_EQ(Decoded.Frames[0].Width, 192);
  EXPECT_EQ(Decoded.Frames[0].Height, 144);
}

}  // namespace
}  // namespace vexav::cli::clustertest
