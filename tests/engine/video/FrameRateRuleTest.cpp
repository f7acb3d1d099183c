// The frame-rate rule: when pictures are dropped, written once or
// duplicated, and where the sync counter goes.
#include <gtest/gtest.h>

#include <cmath>

#include "engine/video/FrameRateRule.h"

namespace vexav {
namespace {

TFrameRateInput Input(int Method, AVRational Tb, double InTime, int64_t SyncPts,
                      int64_t FramesLeft = 1000) {
  TFrameRateInput In;
  In.VideoSyncMethod = Method;
  In.EncoderTimeBase = Tb;
  In.InTime = InTime;
  In.SyncPts = SyncPts;
  In.FramesLeft = FramesLeft;
  return In;
}

// A time base of 1/2 s makes Delta = 2 * InTime - SyncPts exact in binary
// arithmetic, so the thresholds are met exactly.
constexpr AVRational Half{1, 2};

TEST(RoundHalfEven, RoundsHalvesToTheEvenNeighbour) {
  EXPECT_EQ(RoundHalfEven(2.5), 2.0);
  EXPECT_EQ(RoundHalfEven(3.5), 4.0);
  EXPECT_EQ(RoundHalfEven(-2.5), -2.0);
  EXPECT_EQ(RoundHalfEven(-1.5), -2.0);
  EXPECT_EQ(RoundHalfEven(0.5), 0.0);
  EXPECT_EQ(RoundHalfEven(1.4999), 1.0);
  EXPECT_EQ(RoundHalfEven(1.5001), 2.0);
  EXPECT_EQ(RoundHalfEven(-0.7), -1.0);
  EXPECT_EQ(RoundHalfEvenToInt64(1e300), INT64_MAX);
  EXPECT_EQ(RoundHalfEvenToInt64(-1e300), INT64_MIN);
  EXPECT_EQ(RoundHalfEvenToInt64(std::nan("")), 0);
}

TEST(FrameRateRule, MethodZeroWritesOnceAndSyncFollowsInput) {
  for (double T : {0.0, 0.04, 1.0, 7.3, 0.5}) {  // also a jump back in time
    const auto D = DecideFrameCount(Input(0, AVRational{1, 25}, T, 3));
    EXPECT_FALSE(D.RuleOn);
    EXPECT_EQ(D.Count, 1);
    EXPECT_EQ(D.SyncPts, RoundHalfEvenToInt64(T * 25));
    EXPECT_EQ(D.Dropped, 0);
    EXPECT_EQ(D.Duplicated, 0);
  }
  // Half a frame rounds to the even neighbour: 2.5 -> 2, 3.5 -> 4.
  EXPECT_EQ(DecideFrameCount(Input(0, Half, 1.25, 0)).SyncPts, 2);
  EXPECT_EQ(DecideFrameCount(Input(0, Half, 1.75, 0)).SyncPts, 4);
}

TEST(FrameRateRule, AutoMethodNeedsABaseAboveOneMillisecond) {
  // 1/1000 is not above 0.001: the rule is off, the picture goes once at
  // its own time even 50 units ahead.
  const auto Off = DecideFrameCount(Input(-1, AVRational{1, 1000}, 0.05, 0));
  EXPECT_FALSE(Off.RuleOn);
  EXPECT_EQ(Off.Count, 1);
  EXPECT_EQ(Off.SyncPts, 50);
  // 1/999 is: the same lateness duplicates.
  const auto On = DecideFrameCount(Input(-1, AVRational{1, 999}, 0.05, 0));
  EXPECT_TRUE(On.RuleOn);
  EXPECT_EQ(On.SyncPts, 0);
  EXPECT_EQ(On.Count, RoundHalfEvenToInt64(0.05 * 999));
  // Method 1 is on whatever the base.
  EXPECT_TRUE(DecideFrameCount(Input(1, AVRational{1, 90000}, 0, 0)).RuleOn);
}

TEST(FrameRateRule, ThresholdsOfDropAndDuplicate) {
  struct TCase {
    double InTime;
    double Delta;
    int64_t Count;
    int Dropped;
    int64_t Duplicated;
  };
  for (const TCase& C :
       {TCase{0.55, 1.1, 1, 0, 0}, TCase{1.25, 2.5, 2, 0, 1}, TCase{1.75, 3.5, 4, 0, 3},
        TCase{0.6, 1.2, 1, 0, 0}, TCase{-0.55, -1.1, 1, 0, 0}, TCase{-0.6, -1.2, 0, 1, 0},
        TCase{0.0, 0.0, 1, 0, 0}}) {
    SCOPED_TRACE(C.Delta);
    ASSERT_EQ(C.InTime / (1.0 / 2.0) - 0, C.Delta);
    for (int Method : {-1, 1}) {
      const auto D = DecideFrameCount(Input(Method, Half, C.InTime, 0));
      EXPECT_TRUE(D.RuleOn);
      EXPECT_EQ(D.Count, C.Count);
      EXPECT_EQ(D.RuleCount, C.Count);
      EXPECT_EQ(D.Dropped, C.Dropped);
      EXPECT_EQ(D.Duplicated, C.Duplicated);
      EXPECT_EQ(D.SyncPts, 0);  // methods 1 and -1 never move the counter
    }
  }
}

TEST(FrameRateRule, MethodTwoLetsLatePicturesMoveTheCounter) {
  // 10 units late: written once, the counter jumps to the picture's time.
  const auto Late = DecideFrameCount(Input(2, AVRational{1, 25}, 0.6, 5));
  EXPECT_EQ(Late.Count, 1);
  EXPECT_EQ(Late.SyncPts, 15);
  EXPECT_EQ(Late.Duplicated, 0);
  // Early beyond -1.1: dropped, the counter stays.
  const auto Early = DecideFrameCount(Input(2, AVRational{1, 25}, 0.12, 5));
  EXPECT_EQ(Early.Count, 0);
  EXPECT_EQ(Early.Dropped, 1);
  EXPECT_EQ(Early.SyncPts, 5);
  // Slightly early within the tolerance: once, counter moves back.
  const auto Near = DecideFrameCount(Input(2, Half, 2.0, 5));  // Delta -1
  EXPECT_EQ(Near.Count, 1);
  EXPECT_EQ(Near.SyncPts, 4);
}

TEST(FrameRateRule, FrameLimitCapsTheCount) {
  // vframes 10: pictures 0..14 at 25 fps, the counters as the video output
  // keeps them.
  int64_t SyncPts = 0;
  int64_t FrameNumber = 0;
  int Written = 0;
  for (int N = 0; N < 15; ++N) {
    const auto D =
        DecideFrameCount(Input(-1, AVRational{1, 25}, N / 25.0, SyncPts, 10 - FrameNumber));
    for (int64_t I = 0; I < D.Count; ++I) {
      ++SyncPts;
      ++FrameNumber;
      ++Written;
    }
  }
  EXPECT_EQ(Written, 10);
  EXPECT_EQ(FrameNumber, 10);
  // A duplication is cut at the limit but still counted as the rule saw it.
  const auto D = DecideFrameCount(Input(-1, Half, 1.75, 0, 2));
  EXPECT_EQ(D.RuleCount, 4);
  EXPECT_EQ(D.Count, 2);
  EXPECT_EQ(D.Duplicated, 3);
  EXPECT_LE(DecideFrameCount(Input(-1, Half, 0, 0, 0)).Count, 0);
}

TEST(FrameRateRule, AGapTooLongToFillIsSkipped) {
  // 29.97 frames/s: a picture 60 s after the previous one is still filled
  // with copies; one 2 hours later (a damaged time stamp) is written once at
  // its own time instead of some 215,000 times.
  constexpr AVRational Ntsc{1001, 30000};
  const double Base = 1001.0 / 30000.0;
  const auto Filled = DecideFrameCount(Input(1, Ntsc, 59.0, 0, 1000000));
  EXPECT_EQ(Filled.GapNotFilled, 0);
  EXPECT_EQ(Filled.RuleCount, RoundHalfEvenToInt64(59.0 / Base));
  EXPECT_EQ(Filled.SyncPts, 0);

  const auto Skipped = DecideFrameCount(Input(1, Ntsc, 7200.0, 10, 1000000));
  EXPECT_EQ(Skipped.RuleCount, 1);
  EXPECT_EQ(Skipped.Count, 1);
  EXPECT_EQ(Skipped.Duplicated, 0);
  EXPECT_EQ(Skipped.GapNotFilled, RoundHalfEvenToInt64(7200.0 / Base - 10) - 1);
  EXPECT_EQ(Skipped.SyncPts, RoundHalfEvenToInt64(7200.0 / Base));
}

TEST(FrameRateRule, InvalidTimeBaseWritesOnceWithoutMovingTheCounter) {
  for (AVRational Tb : {AVRational{0, 1}, AVRational{1, 0}, AVRational{0, 0}}) {
    const auto D = DecideFrameCount(Input(1, Tb, 3.0, 7));
    EXPECT_EQ(D.Count, 1);
    EXPECT_EQ(D.SyncPts, 7);
  }
}

}  // namespace
}  // namespace vexav
