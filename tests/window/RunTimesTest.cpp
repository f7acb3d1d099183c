// The window's run times: clocks, words, the time-left estimate and the
// summary line.
#include <gtest/gtest.h>

#include "QtPrinters.h"
#include "window/RunTimes.h"

namespace vexav::test {
namespace {

TEST(WindowRunTimes, ClocksAndWords) {
  EXPECT_EQ(ClockText(-5), "0:00");
  EXPECT_EQ(ClockText(59999), "0:59");
  EXPECT_EQ(ClockText(133000), "2:13");
  EXPECT_EQ(ClockText(3723000), "1:02:03");
  EXPECT_EQ(DurationWords(13400), "13 s");
  EXPECT_EQ(DurationWords(133000), "2 min 13 s");
  EXPECT_EQ(DurationWords(3840000), "1 h 4 min");
}

TEST(WindowRunTimes, TimeLeftWaitsForTwoSecondsOrOnePercent) {
  EXPECT_EQ(TimeLeft(1000, 0.005), std::nullopt);  // neither yet
  EXPECT_EQ(TimeLeft(5000, 0), std::nullopt);      // no rate to go by
  EXPECT_EQ(TimeLeft(2000, 0.005), 398000);        // 2 s have passed
  EXPECT_EQ(TimeLeft(500, 0.25), 1500);            // 25 % done
  EXPECT_EQ(TimeLeft(9000, 1.0), 0);
  EXPECT_EQ(ConvertingTimeText(12000, std::nullopt), "0:12");
  EXPECT_EQ(ConvertingTimeText(12000, 34000), "0:12, 0:34 left");
}

TEST(WindowRunTimes, SummaryNamesWhatHappened) {
  EXPECT_EQ(RunSummaryText({3, 1, 0, 1}, 133000),
            "3 converted, 1 failed, 1 canceled in 2 min 13 s");
  EXPECT_EQ(RunSummaryText({2, 0, 0, 0}, 4000), "2 converted in 4 s");
  EXPECT_EQ(RunSummaryText({0, 0, 0, 2}, 1000), "0 converted, 2 canceled in 1 s");
  // A stopped file kept its part: counted apart from those never started.
  EXPECT_EQ(RunSummaryText({2, 1, 1, 0}, 5000),
            "2 converted, 1 failed, 1 stopped (part kept) in 5 s");
  EXPECT_EQ(RunSummaryText({0, 0, 1, 2}, 5000),
            "0 converted, 1 stopped (part kept), 2 canceled in 5 s");
}

}  // namespace
}  // namespace vexav::test
