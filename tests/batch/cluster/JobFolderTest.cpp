// A cluster batch's job folder without a cluster: the task report lines and
// their reader, and job.json written and read back.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "batch/cluster/JobFolder.h"
#include "batch/segments/SoundPieces.h"

namespace vexav::batch::cluster {
namespace {

// Each case gets a temporary folder of its own (a job folder, or one to
// write a report into), removed afterwards whatever the case found.
class ClusterReport : public ::testing::Test {
 protected:
  void SetUp() override {
    char Template[] = "/tmp/vexav-job-XXXXXX";
    ASSERT_NE(::mkdtemp(Template), nullptr);
    Folder = Template;
  }
  void TearDown() override {
    std::error_code Ignored;
    if (!Folder.empty()) std::filesystem::remove_all(Folder, Ignored);
  }
  std::string Folder;
};

TEST_F(ClusterReport, LinesReadBackAsWritten) {
  ReportRecord Result;
  Result.Type = ReportRecord::Kind::Result;
  Result.Status = "stopped";
  Result.Message = "stopped; the part converted so far is in /x/\"a\" b.mp4";
  Result.Output = "/x/\"a\" b.mp4";
  std::string Error;
  const std::optional<ReportRecord> Read = ParseReportLine(ReportLine(Result), Error);
  ASSERT_TRUE(Read) << Error;
  EXPECT_EQ(Read->Status, "stopped");
  EXPECT_EQ(Read->Message, Result.Message);
  EXPECT_EQ(Read->Output, Result.Output);
}

// Paths are bytes: one that is not UTF-8 comes back from a report line and
// from job.json as it was, so that the task opens the right source and the
// front end finds the right output.
TEST_F(ClusterReport, PathsThatAreNotUtf8SurviveTheJobFolder) {
  const std::string Odd = "/data/caf\xe9 \"1\"\x01.avi";
  ReportRecord Result;
  Result.Type = ReportRecord::Kind::Result;
  Result.Status = "done";
  Result.Output = Odd + ".mp4";
  std::string Error;
  const std::optional<ReportRecord> Read = ParseReportLine(ReportLine(Result), Error);
  ASSERT_TRUE(Read) << Error;
  EXPECT_EQ(Read->Output, Result.Output);

  Manifest M;
  M.Folder = Folder;
  M.Program = "/opt/vexav\xff/vexav-convert";
  PlannedFile F;
  F.Source = Odd;
  F.Plan.Final = Odd + ".mp4";
  F.Plan.WriteTo = Odd + ".part.mp4";
  M.Files = {F};
  ASSERT_TRUE(SaveManifest(M, Error)) << Error;
  const std::optional<Manifest> Loaded = LoadManifest(M.Folder, Error);
  ASSERT_TRUE(Loaded) << Error;
  EXPECT_EQ(Loaded->Program, M.Program);
  ASSERT_EQ(Loaded->Files.size(), 1u);
  EXPECT_EQ(Loaded->Files[0].Source, F.Source);
  EXPECT_EQ(Loaded->Files[0].Plan.Final, F.Plan.Final);
  EXPECT_EQ(Loaded->Files[0].Plan.WriteTo, F.Plan.WriteTo);
}

// The tasks write each piece into the work folder under the name job.json
// gives; a job.json from elsewhere cannot point them out of it.
TEST_F(ClusterReport, PiecesSurviveTheJobFolderAndStayInTheWorkFolder) {
  Manifest M;
  M.Folder = Folder;
  PlannedFile F;
  F.Source = "/data/clip.avi";
  F.Plan.Final = F.Plan.WriteTo = "/data/clip.mp4";
  F.WorkFolder = "/data/.vexav-seg-abcdef";
  F.DurationUs = 6000000;
  std::string Error;
  std::vector<int64_t> Pictures;  // 25 frames/s
  for (int64_t T = 0; T < F.DurationUs; T += 40000) Pictures.push_back(T);
  F.Segments = segments::MakeSegmentPlan({{"r", "30000/1001"}, {"acodec", "aac"}}, F.DurationUs, 3,
                                         true, Pictures, Error);
  ASSERT_EQ(F.Segments.Pieces.size(), 4u) << Error;
  M.Files = {F};
  M.Tasks = TasksOfFiles(M.Files);
  ASSERT_TRUE(SaveManifest(M, Error)) << Error;
  std::optional<Manifest> Loaded = LoadManifest(M.Folder, Error);
  ASSERT_TRUE(Loaded) << Error;
  ASSERT_EQ(Loaded->Tasks.size(), 4u);
  EXPECT_EQ(Loaded->Tasks[0].Piece, 3) << "the sound runs first";
  const segments::Piece& Read = Loaded->Files.at(0).Segments.Pieces[2];
  EXPECT_EQ(Read.FileName, F.Segments.Pieces[2].FileName);
  EXPECT_EQ(Read.InputOptions, F.Segments.Pieces[2].InputOptions);
  EXPECT_EQ(Read.OutputOptions, F.Segments.Pieces[2].OutputOptions);
  EXPECT_EQ(Read.Frames, F.Segments.Pieces[2].Frames);

  M.Files[0].Segments.Pieces[1].FileName = "../picture-001.mp4";
  ASSERT_TRUE(SaveManifest(M, Error)) << Error;
  EXPECT_FALSE(LoadManifest(M.Folder, Error));
  EXPECT_NE(Error.find("not a plain name"), std::string::npos) << Error;
}

std::string TextOf(const std::string& Path) {
  std::ifstream In(Path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(In), {});
}

// The sound in pieces: each piece's samples and the grid survive job.json,
// its tasks run first in order; a job.json of the version before (one sound
// piece over the whole source) still reads, and several sound pieces
// without a grid do not.
TEST_F(ClusterReport, SoundPiecesSurviveTheJobFolder) {
  Manifest M;
  M.Folder = Folder;
  PlannedFile F;
  F.Source = "/data/clip.avi";
  F.Plan.Final = F.Plan.WriteTo = "/data/clip.mp4";
  F.WorkFolder = "/data/.vexav-seg-abcdef";
  F.DurationUs = 60000000;
  std::string Error;
  std::vector<int64_t> Pictures;
  for (int64_t T = 0; T < F.DurationUs; T += 40000) Pictures.push_back(T);
  const std::vector<segments::TEngineOption> Preset{
      {"r", "25"}, {"acodec", "aac"}, {"ar", "44100"}, {"async", "0"}};
  F.Segments = segments::MakeSegmentPlan(Preset, F.DurationUs, 3, true, Pictures, Error);
  const segments::SegmentPlan Whole = F.Segments;
  segments::SplitSound(F.Segments, Preset, {44100, F.DurationUs, true}, F.DurationUs);
  ASSERT_EQ(F.Segments.SoundPieces(), 3);
  M.Files = {F};
  M.Tasks = TasksOfFiles(M.Files);
  ASSERT_TRUE(SaveManifest(M, Error)) << Error;
  std::optional<Manifest> Loaded = LoadManifest(M.Folder, Error);
  ASSERT_TRUE(Loaded) << Error;
  ASSERT_EQ(Loaded->Tasks.size(), 6u);
  for (int T = 0; T < 3; ++T) EXPECT_EQ(Loaded->Tasks[T].Piece, 3 + T) << "the sound runs first";
  const segments::SegmentPlan& Read = Loaded->Files.at(0).Segments;
  EXPECT_EQ(Read.Sound.Rate, 44100);
  EXPECT_EQ(Read.Sound.FrameSamples, 1024);
  EXPECT_EQ(Read.Sound.Priming, 1024);
  for (int P = 3; P < 6; ++P) {
    EXPECT_EQ(Read.Pieces[P].FirstSample, F.Segments.Pieces[P].FirstSample);
    EXPECT_EQ(Read.Pieces[P].Samples, F.Segments.Pieces[P].Samples);
    EXPECT_EQ(Read.Pieces[P].LeadSamples, F.Segments.Pieces[P].LeadSamples);
    EXPECT_EQ(Read.Pieces[P].OutputOptions, F.Segments.Pieces[P].OutputOptions);
  }

  // Several sound pieces need the grid they are cut on.
  std::string Text = TextOf(ManifestPath(M.Folder));
  const std::string Grid = "\"sound_frame\":1024,";
  ASSERT_NE(Text.find(Grid), std::string::npos);
  std::string Broken = Text;
  Broken.erase(Broken.find("\"sound_rate\""), std::string("\"sound_rate\":44100,").size());
  std::ofstream(ManifestPath(M.Folder), std::ios::binary) << Broken;
  EXPECT_FALSE(LoadManifest(M.Folder, Error));

  // The version before: the sound one piece, read as before.
  M.Files[0].Segments = Whole;
  M.Tasks = TasksOfFiles(M.Files);
  ASSERT_TRUE(SaveManifest(M, Error)) << Error;
  Text = TextOf(ManifestPath(M.Folder));
  ASSERT_EQ(Text.find("sound_rate"), std::string::npos);
  const std::size_t Version = Text.find("\"version\":4");
  ASSERT_NE(Version, std::string::npos);
  Text.replace(Version, 11, "\"version\":3");
  std::ofstream(ManifestPath(M.Folder), std::ios::binary) << Text;
  Loaded = LoadManifest(M.Folder, Error);
  ASSERT_TRUE(Loaded) << Error;
  EXPECT_EQ(Loaded->Files.at(0).Segments.SoundPieces(), 1);
  EXPECT_FALSE(Loaded->Files.at(0).Segments.Sound.InPieces());
  EXPECT_EQ(Loaded->Tasks.at(0).Piece, 3);
}

// What the front end needs besides a file's percent for --json: the frame
// and rate, when the task began and how long it took; lines without them
// still read.
TEST_F(ClusterReport, ProgressCarriesFrameAndRateAndTheStartItsTime) {
  ReportRecord Progress;
  Progress.Type = ReportRecord::Kind::Progress;
  Progress.Ms = 400;
  Progress.TotalMs = 1000;
  Progress.Frame = 10;
  Progress.Fps = 25;
  ReportRecord Start;
  Start.Type = ReportRecord::Kind::Start;
  Start.Host = "n1";
  Start.StartedMs = 1700000000123;
  std::string Error;
  const std::optional<ReportRecord> P = ParseReportLine(ReportLine(Progress), Error);
  ASSERT_TRUE(P) << Error;
  EXPECT_EQ(P->Frame, 10);
  EXPECT_EQ(P->Fps, 25);
  const std::optional<ReportRecord> S = ParseReportLine(ReportLine(Start), Error);
  ASSERT_TRUE(S) << Error;
  EXPECT_EQ(S->StartedMs, 1700000000123);
  ReportRecord Result;
  Result.Type = ReportRecord::Kind::Result;
  Result.Status = "done";
  Result.Output = "/o.mp4";
  Result.ElapsedMs = 2500;
  const std::optional<ReportRecord> R = ParseReportLine(ReportLine(Result), Error);
  ASSERT_TRUE(R) << Error;
  EXPECT_EQ(R->ElapsedMs, 2500);

  const std::optional<ReportRecord> Plain =
      ParseReportLine("{\"event\":\"progress\",\"ms\":4,\"total_ms\":8}", Error);
  ASSERT_TRUE(Plain) << Error;
  EXPECT_EQ(Plain->Frame, -1);
  EXPECT_EQ(Plain->Fps, -1);
  EXPECT_FALSE(
      ParseReportLine("{\"event\":\"progress\",\"ms\":4,\"total_ms\":8,\"frame\":-3}", Error));
  EXPECT_FALSE(ParseReportLine("{\"event\":\"start\",\"host\":\"n\",\"started_ms\":\"x\"}", Error));
}

// job.json keeps each source as the command line named it (--json's
// "file"), the output folders the submission made (removed at the batch's
// end when empty), and whether the batch was cancelled.
TEST_F(ClusterReport, TheJobFolderKeepsNamesGivenFoldersMadeAndTheCancel) {
  Manifest M;
  M.Folder = Folder;
  PlannedFile F;
  F.Source = "/data/tree/a.avi";
  F.Given = "tree/a.avi";
  F.Plan.Final = F.Plan.WriteTo = "/out/tree/a.mp4";
  PlannedFile G = F;
  G.Given = G.Source;
  M.Files = {F, G};
  M.Tasks = TasksOfFiles(M.Files);
  M.MadeFolders = {"/out", "/out/tree"};
  std::string Error;
  ASSERT_TRUE(SaveManifest(M, Error)) << Error;
  std::optional<Manifest> Loaded = LoadManifest(M.Folder, Error);
  ASSERT_TRUE(Loaded) << Error;
  EXPECT_EQ(Loaded->Files.at(0).Given, "tree/a.avi");
  EXPECT_EQ(Loaded->Files.at(1).Given, G.Source);
  EXPECT_EQ(Loaded->MadeFolders, M.MadeFolders);

  M.MadeFolders = {"relative/folder"};
  ASSERT_TRUE(SaveManifest(M, Error)) << Error;
  EXPECT_FALSE(LoadManifest(M.Folder, Error));
  EXPECT_NE(Error.find("not an absolute path"), std::string::npos) << Error;

  EXPECT_FALSE(WasCancelled(M.Folder));
  EXPECT_TRUE(MarkCancelled(M.Folder));
  EXPECT_TRUE(WasCancelled(M.Folder));
}

// A task submitted again keeps the ids of its earlier submissions (each
// wrote under a name of its own); a job folder without them (one task, one
// submission, or an older front end's) reads with none. A submission marked
// given up is known as such, and so is every one once the job folder is gone.
TEST_F(ClusterReport, TheJobFolderKeepsEarlierSubmissionsAndTheOnesGivenUp) {
  Manifest M;
  M.Folder = Folder;
  PlannedFile F;
  F.Source = "/data/a.avi";
  F.Given = F.Source;
  F.Plan.Final = F.Plan.WriteTo = "/out/a.mp4";
  M.Files = {F, F};
  M.Tasks = TasksOfFiles(M.Files);
  M.Tasks[0].JobId = "12_0";
  M.Tasks[1].JobId = "20_1";
  M.Tasks[1].EarlierIds = {"12_1", "17_1"};
  M.Tasks[1].Attempts = 3;
  std::string Error;
  ASSERT_TRUE(SaveManifest(M, Error)) << Error;
  std::optional<Manifest> Loaded = LoadManifest(M.Folder, Error);
  ASSERT_TRUE(Loaded) << Error;
  EXPECT_TRUE(Loaded->Tasks.at(0).EarlierIds.empty());
  EXPECT_EQ(Loaded->Tasks.at(1).EarlierIds, (std::vector<std::string>{"12_1", "17_1"}));
  EXPECT_EQ(Loaded->Tasks.at(1).JobId, "20_1");

  EXPECT_FALSE(IsGivenUp(M.Folder, "17_1"));
  EXPECT_TRUE(MarkGivenUp(M.Folder, "17_1"));
  EXPECT_TRUE(IsGivenUp(M.Folder, "17_1"));
  EXPECT_FALSE(IsGivenUp(M.Folder, "20_1"));
  std::filesystem::remove_all(Folder);
  EXPECT_TRUE(IsGivenUp(M.Folder, "20_1")) << "the batch has ended";
}

TEST_F(ClusterReport, MalformedLinesAreErrors) {
  for (const char* Bad : {"", "garbage", "[1,2]", "{\"event\":\"progress\",\"ms\":\"x\"}",
                          "{\"event\":\"result\",\"status\":\"done\",\"message\":\"\","
                          "\"output\":\"\"}",
                          "{\"event\":\"result\",\"status\":\"maybe\",\"message\":\"\","
                          "\"output\":\"o\"}",
                          "{\"event\":\"launch\"}", "{\"event\":\"start\"}", "\xff\xfe{",
                          // numbers no task writes: past the range, or fractions
                          "{\"event\":\"progress\",\"ms\":1e300,\"total_ms\":5}",
                          "{\"event\":\"progress\",\"ms\":18446744073709551615,\"total_ms\":5}",
                          "{\"event\":\"progress\",\"ms\":1,\"total_ms\":4.5}"}) {
    std::string Error;
    EXPECT_FALSE(ParseReportLine(Bad, Error)) << Bad;
    EXPECT_FALSE(Error.empty()) << Bad;
  }
}

TEST_F(ClusterReport, ReaderTakesOnlyWholeLinesAndKnowsACutOffOne) {
  char Template[] = "/tmp/vexav-report-XXXXXX";
  const int Fd = ::mkstemp(Template);
  ASSERT_GE(Fd, 0);
  ::close(Fd);
  const std::string Path = Template;
  ReportReader Reader(Path);
  {
    std::ofstream Out(Path);
    Out << "{\"event\":\"start\",\"host\":\"n1\"}\n{\"event\":\"progress\",\"ms\":4";
  }
  std::vector<ReportRecord> First = Reader.Poll();
  ASSERT_EQ(First.size(), 1u);
  EXPECT_EQ(First[0].Host, "n1");
  {
    std::ofstream Out(Path, std::ios::app);
    Out << "0,\"total_ms\":80}\n";
  }
  std::vector<ReportRecord> Second = Reader.Poll();
  ASSERT_EQ(Second.size(), 1u);
  EXPECT_EQ(Second[0].Ms, 40);
  EXPECT_EQ(Second[0].TotalMs, 80);
  Reader.CheckComplete();
  EXPECT_EQ(Reader.Error(), "");
  {
    std::ofstream Out(Path, std::ios::app);
    Out << "{\"event\":\"res";
  }
  EXPECT_TRUE(Reader.Poll().empty());
  Reader.CheckComplete();
  EXPECT_EQ(Reader.Error(), "its report is unreadable (line 3 was cut off)");
  std::filesystem::remove(Path);
}

// A report that never ends (here the endless file of zero bytes) fails as
// one line too long after a bounded read instead of filling memory.
TEST_F(ClusterReport, EndlessReportFailsAtTheLineLimit) {
  const std::string Path = Folder + "/task-0.jsonl";
  std::filesystem::create_symlink("/dev/zero", Path);
  ReportReader Reader(Path);
  EXPECT_TRUE(Reader.Poll().empty());
  EXPECT_EQ(Reader.Error(), "its report is unreadable (line 1 is too long)");
}

// The preset and the size limit go with the batch to every task; a job
// folder written before there was a choice reads as the default preset at
// the source's size, and one naming a preset this program lacks is refused.
TEST_F(ClusterReport, TheJobFolderKeepsThePresetAndTheSizeLimit) {
  Manifest M;
  M.Folder = Folder;
  PlannedFile F;
  F.Source = "/data/a.avi";
  F.Given = F.Source;
  F.Plan.Final = F.Plan.WriteTo = "/out/a (HEVC Video).mp4";
  M.Files = {F};
  M.Tasks = TasksOfFiles(M.Files);
  M.Preset.Format = 2;
  M.Preset.MaxHeight = 720;
  std::string Error;
  ASSERT_TRUE(SaveManifest(M, Error)) << Error;
  std::optional<Manifest> Loaded = LoadManifest(M.Folder, Error);
  ASSERT_TRUE(Loaded) << Error;
  EXPECT_EQ(Loaded->Preset.Format, 2);
  EXPECT_EQ(Loaded->Preset.MaxHeight, 720);

  auto Rewrite = [&](const std::string& From, const std::string& To) {
    std::ifstream In(ManifestPath(M.Folder));
    std::string Text((std::istreambuf_iterator<char>(In)), {});
    const std::size_t At = Text.find(From);
    ASSERT_NE(At, std::string::npos) << From;
    Text.replace(At, From.size(), To);
    std::ofstream(ManifestPath(M.Folder), std::ios::trunc) << Text;
  };
  // Older: neither key.
  Rewrite("\"preset\":\"HEVC Video\",", "");
  Rewrite("\"max_height\":720,", "");
  Loaded = LoadManifest(M.Folder, Error);
  ASSERT_TRUE(Loaded) << Error;
  EXPECT_EQ(Loaded->Preset.Format, 0);
  EXPECT_EQ(Loaded->Preset.MaxHeight, 0);

  ASSERT_TRUE(SaveManifest(M, Error)) << Error;
  Rewrite("\"HEVC Video\"", "\"Betamax\"");
  EXPECT_FALSE(LoadManifest(M.Folder, Error));
  EXPECT_NE(Error.find("Betamax"), std::string::npos) << Error;
  ASSERT_TRUE(SaveManifest(M, Error)) << Error;
  Rewrite("\"max_height\":720", "\"max_height\":12");
  EXPECT_FALSE(LoadManifest(M.Folder, Error));
}

}  // namespace
}  // namespace vexav::batch::cluster
