// The end of a segmented file once its pieces have ended, on real files: what
// is said, what is left of the output reserved, and that the pieces' folder
// goes in every case. (Joins that succeed are read back by SegmentsTest,
// through the program.)
#include "batch/segments/SettleFile.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace vexav::batch::segments {
namespace {

namespace fs = std::filesystem;

class SettleFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char Template[] = "/tmp/vexav-batch-settle-XXXXXX";
    ASSERT_NE(::mkdtemp(Template), nullptr);
    Dir = Template;
  }
  void TearDown() override { fs::remove_all(Dir); }

  // The request of a file whose output is reserved and whose pieces are in
  // their work folder.
  SettleRequest Reserved(FileEnd End) {
    SettleRequest R;
    R.End = End;
    std::string Error;
    EXPECT_TRUE(PlanDefaultOutput(Dir + "/clip.avi", ".mp4", "MPEG-4 Video", false, R.Output, Error))
        << Error;
    EXPECT_TRUE(fs::exists(R.Output.WriteTo));
    R.WorkFolder = Dir + "/.vexav-seg-clip";
    fs::create_directories(R.WorkFolder);
    std::ofstream(R.WorkFolder + "/piece-0.mp4") << "piece";
    return R;
  }

  std::string Dir;
};

TEST_F(SettleFileTest, AFailedPieceFailsTheFileAndLeavesNothing) {
  FileEnd End;
  End.Type = FileEnd::Kind::Failed;
  End.Message = "Video encoding failed";
  const SettleRequest R = Reserved(End);
  const FileResult Result = SettleSegmentedFile(R);
  EXPECT_EQ(Result.Outcome, FileOutcome::Failed);
  EXPECT_EQ(Result.Message, "Video encoding failed");
  EXPECT_EQ(Result.Output, "");
  EXPECT_FALSE(fs::exists(R.Output.WriteTo));
  EXPECT_FALSE(fs::exists(R.WorkFolder));
}

TEST_F(SettleFileTest, AStopSaysWhetherAnythingRanAndKeepsNothingWithoutASegment) {
  FileEnd End;
  End.Type = FileEnd::Kind::Stopped;
  End.KeptSegments = 0;
  {
    // No piece ever ran: the file is canceled.
    const SettleRequest R = Reserved(End);
    const FileResult Result = SettleSegmentedFile(R);
    EXPECT_EQ(Result.Outcome, FileOutcome::Canceled);
    EXPECT_EQ(Result.Output, "");
    EXPECT_FALSE(fs::exists(R.Output.WriteTo));
    EXPECT_FALSE(fs::exists(R.WorkFolder));
  }
  {
    // Pieces ran, but no segment was complete: stopped, nothing kept, and
    // the same words whichever front end settles the file.
    SettleRequest R = Reserved(End);
    ProgressInfo Last;
    Last.CurrentDurationMs = 300;
    Last.TotalOutputDurationMs = 2000;
    R.Last = Last;
    const FileResult Result = SettleSegmentedFile(R);
    EXPECT_EQ(Result.Outcome, FileOutcome::Stopped);
    EXPECT_EQ(Result.Message, "stopped before its first segment was converted; nothing is kept");
    EXPECT_EQ(Result.Output, "");
    EXPECT_EQ(Result.Error, "");
    EXPECT_FALSE(fs::exists(R.Output.WriteTo));
    EXPECT_FALSE(fs::exists(R.WorkFolder));
    // Nothing but the source's folder's own files is left.
    EXPECT_TRUE(fs::is_empty(Dir));
  }
}

TEST(PercentDone, OfTheExpectedDurationAtMostAHundred) {
  ProgressInfo Info;
  EXPECT_EQ(PercentDone(Info), -1);  // unknown length
  Info.TotalOutputDurationMs = 2000;
  Info.CurrentDurationMs = 999;
  EXPECT_EQ(PercentDone(Info), 49);
  Info.CurrentDurationMs = 2100;
  EXPECT_EQ(PercentDone(Info), 100);
  Info.CurrentDurationMs = -40;
  EXPECT_EQ(PercentDone(Info), 0);
}

}  // namespace
}  // namespace vexav::batch::segments
