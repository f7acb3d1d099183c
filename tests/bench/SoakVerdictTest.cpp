// The soak run's growth rule on readings made up for each case: the run
// itself takes an hour and is a benchmark, not a test.
#include <gtest/gtest.h>

#include "SoakVerdict.h"

namespace vexav::soak {
namespace {

constexpr long MiB = 1024;

// One sample a minute over Minutes minutes, all alike.
std::vector<SoakSample> Steady(int Minutes, long RssKiB, int Fds, int Threads) {
  std::vector<SoakSample> Samples;
  for (int M = 0; M <= Minutes; ++M) Samples.push_back({M * 60.0, RssKiB, Fds, Threads});
  return Samples;
}

TEST(SoakVerdictTest, SteadyReadingsPass) {
  const Verdict V = Judge(Steady(60, 100 * MiB, 5, 1), 3600);
  EXPECT_TRUE(V.Judged);
  EXPECT_FALSE(V.Grew);
  EXPECT_EQ(V.WindowSeconds, 600);
  EXPECT_EQ(V.First.Samples, 11);
  EXPECT_EQ(V.Last.Samples, 11);
}

TEST(SoakVerdictTest, MemoryWithinTheToleranceIsNoGrowth) {
  std::vector<SoakSample> Samples = Steady(60, 100 * MiB, 5, 1);
  Samples.back().RssKiB = 105 * MiB;  // 5 %: the tolerance
  EXPECT_FALSE(Judge(Samples, 3600).Grew);
}

TEST(SoakVerdictTest, MemoryAboveTheToleranceGrows) {
  std::vector<SoakSample> Samples = Steady(60, 100 * MiB, 5, 1);
  Samples.back().RssKiB = 105 * MiB + 1;
  EXPECT_TRUE(Judge(Samples, 3600).Grew);
  // A small process: the 4 MiB floor applies, not 5 % of 20 MiB.
  Samples = Steady(60, 20 * MiB, 5, 1);
  Samples.back().RssKiB = 24 * MiB;
  EXPECT_FALSE(Judge(Samples, 3600).Grew);
  Samples.back().RssKiB = 24 * MiB + 1;
  EXPECT_TRUE(Judge(Samples, 3600).Grew);
}

TEST(SoakVerdictTest, AHighReadingInTheMiddleIsNotCompared) {
  std::vector<SoakSample> Samples = Steady(60, 100 * MiB, 5, 1);
  Samples[30] = {1800, 300 * MiB, 9, 4};
  EXPECT_FALSE(Judge(Samples, 3600).Grew);
}

TEST(SoakVerdictTest, OneMoreDescriptorOrThreadGrows) {
  std::vector<SoakSample> Samples = Steady(60, 100 * MiB, 5, 1);
  Samples.back().Fds = 6;
  EXPECT_TRUE(Judge(Samples, 3600).Grew);
  Samples = Steady(60, 100 * MiB, 5, 1);
  Samples.back().Threads = 2;
  EXPECT_TRUE(Judge(Samples, 3600).Grew);
}

TEST(SoakVerdictTest, AShortRunHasWindowsOfAThird) {
  // 3 minutes, a sample every 10 s: windows of 60 s.
  std::vector<SoakSample> Samples;
  for (int S = 0; S <= 180; S += 10) Samples.push_back({double(S), 50 * MiB, 5, 1});
  Samples[3].Fds = 8;  // at 30 s: in the first window, which sets the bar
  const Verdict V = Judge(Samples, 180);
  EXPECT_EQ(V.WindowSeconds, 60);
  EXPECT_EQ(V.First.Samples, 7);
  EXPECT_EQ(V.Last.Samples, 7);
  EXPECT_EQ(V.First.Fds, 8);
  EXPECT_FALSE(V.Grew);
}

TEST(SoakVerdictTest, TooFewSamplesAreNotJudged) {
  const Verdict V = Judge({{5, 50 * MiB, 5, 1}}, 3600);
  EXPECT_FALSE(V.Judged);
  EXPECT_FALSE(V.Lines.empty());
}

}  // namespace
}  // namespace vexav::soak
