// The overall progress of a run: the share done and the time left from the
// source time converted (not from the number of files), the tally of a
// run's files, and the texts of the status bar and the title.
#include <gtest/gtest.h>

#include "QtPrinters.h"
#include "window/OverallProgress.h"

namespace vexav {
namespace {

TEST(OverallProgress, ShareAndTimeLeftFromTheSourceTime) {
  // 30 s of 100 s converted in 60 s: 30 %, 140 s left at that rate.
  const TOverallEstimate e = EstimateOverall(30000, 100000, 60000);
  ASSERT_TRUE(e.Percent);
  EXPECT_EQ(*e.Percent, 30);
  EXPECT_DOUBLE_EQ(e.Fraction, 0.3);
  ASSERT_TRUE(e.LeftMs);
  EXPECT_EQ(*e.LeftMs, 140000);
  // Rounded down: 100 only when all is done, and then nothing is left.
  EXPECT_EQ(*EstimateOverall(99999, 100000, 1000).Percent, 99);
  const TOverallEstimate done = EstimateOverall(100000, 100000, 5000);
  EXPECT_EQ(*done.Percent, 100);
  EXPECT_DOUBLE_EQ(done.Fraction, 1.0);
  EXPECT_FALSE(done.LeftMs);
}

TEST(OverallProgress, NoGuesses) {
  // Unknown length: nothing at all.
  const TOverallEstimate unknown = EstimateOverall(5000, 0, 10000);
  EXPECT_FALSE(unknown.Percent);
  EXPECT_FALSE(unknown.LeftMs);
  EXPECT_DOUBLE_EQ(unknown.Fraction, 0.0);
  // Before 2 s and 1 %: a share, but no time left yet.
  const TOverallEstimate early = EstimateOverall(500, 100000, 1000);
  EXPECT_EQ(*early.Percent, 0);
  EXPECT_FALSE(early.LeftMs);
  // Nothing converted yet: no rate to go by.
  EXPECT_FALSE(EstimateOverall(0, 100000, 30000).LeftMs);
  // Done beyond the total, or below 0, is held.
  EXPECT_EQ(*EstimateOverall(200000, 100000, 1000).Percent, 100);
  EXPECT_EQ(*EstimateOverall(-5, 100000, 1000).Percent, 0);
}

TEST(OverallProgress, TallyCountsSecondsNotFiles) {
  TRunTally tally;
  // Two short files and a long one, and one file that could not start.
  tally.Begin({1000, 1000, 8000}, 1);
  EXPECT_EQ(tally.Files(), 4);
  EXPECT_EQ(tally.EndedFiles(), 1);
  EXPECT_EQ(tally.FailedFiles(), 1);
  EXPECT_EQ(tally.TotalMs(), 10000);
  EXPECT_EQ(tally.DoneMs(), 0);
  tally.Progress(0, 500, 1000);
  EXPECT_EQ(tally.DoneMs(), 500);
  tally.Ended(0, false);
  tally.Ended(1, false);
  // Three of four files ended, but only a fifth of the source time.
  EXPECT_EQ(tally.EndedFiles(), 3);
  EXPECT_EQ(tally.EndedTasks(), 2);
  EXPECT_EQ(*EstimateOverall(tally.DoneMs(), tally.TotalMs(), 4000).Percent, 20);
  // The engine's own length replaces the probe's.
  tally.Progress(2, 3000, 6000);
  EXPECT_EQ(tally.TotalMs(), 8000);
  EXPECT_EQ(tally.DoneMs(), 5000);
  // A file that fails counts as ended: none of it is left to convert.
  tally.Ended(2, true);
  EXPECT_EQ(tally.DoneMs(), tally.TotalMs());
  EXPECT_EQ(tally.FailedFiles(), 2);
  // Late or foreign reports change nothing.
  tally.Progress(2, 100, 6000);
  tally.Progress(7, 100, 6000);
  tally.Ended(2, true);
  tally.Ended(-1, true);
  EXPECT_EQ(tally.DoneMs(), 8000);
  EXPECT_EQ(tally.EndedFiles(), 4);
  EXPECT_EQ(tally.FailedFiles(), 2);
}

TEST(OverallProgress, Texts) {
  const TOverallEstimate e = EstimateOverall(31000, 100000, 116000);
  EXPECT_EQ(OverallRunText(7, 23, 0, e), "7 of 23 done, 31%, about 4:18 left");
  EXPECT_EQ(OverallRunText(7, 23, 2, e), "7 of 23 done, 2 failed, 31%, about 4:18 left");
  EXPECT_EQ(OverallRunText(0, 3, 0, {}), "0 of 3 done");
  EXPECT_EQ(OverallPausedText(7, 23, 0, e, true),
            "Pausing after the running files: 7 of 23 done, 31%");
  EXPECT_EQ(OverallPausedText(7, 23, 0, e, false), "Paused: 7 of 23 done, 31%");
  EXPECT_EQ(OverallTitlePrefix(e), "31% - ");
  EXPECT_EQ(OverallTitlePrefix({}), "");
  EXPECT_EQ(ListedFilesText(0), "No files listed");
  EXPECT_EQ(ListedFilesText(1), "1 file listed");
  EXPECT_EQ(ListedFilesText(23), "23 files listed");
}

}  // namespace
}  // namespace vexav
