#include "engine/video/FrameRateRule.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace vexav {

double RoundHalfEven(double X) {
  if (!std::isfinite(X)) return X;
  const double Floor = std::floor(X);
  const double Fraction = X - Floor;
  if (Fraction > 0.5) return Floor + 1.0;
  if (Fraction < 0.5) return Floor;
  // Exactly half way: the even one of Floor and Floor + 1.
  return std::fmod(Floor, 2.0) == 0.0 ? Floor : Floor + 1.0;
}

int64_t RoundHalfEvenToInt64(double X) {
  if (std::isnan(X)) return 0;
  const double R = RoundHalfEven(X);
  // 2^63 is exactly representable; anything at or beyond it does not fit.
  constexpr double Limit = 9223372036854775808.0;
  if (R >= Limit) return std::numeric_limits<int64_t>::max();
  if (R < -Limit) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(R);
}

TFrameRateDecision DecideFrameCount(const TFrameRateInput& In) {
  TFrameRateDecision D;
  D.SyncPts = In.SyncPts;

  const AVRational Tb = In.EncoderTimeBase;
  if (Tb.num > 0 && Tb.den > 0) {
    const double Base = static_cast<double>(Tb.num) / static_cast<double>(Tb.den);
    D.RuleOn = In.VideoSyncMethod > 0 || (In.VideoSyncMethod != 0 && Base > 0.001);
    if (D.RuleOn) {
      const double Delta = In.InTime / Base - static_cast<double>(In.SyncPts);
      if (Delta < -1.1) {
        D.RuleCount = 0;
      } else if (In.VideoSyncMethod == 2) {
        D.SyncPts = RoundHalfEvenToInt64(In.InTime / Base);
      } else if (Delta > 1.1) {
        D.RuleCount = RoundHalfEvenToInt64(Delta);
        if (Delta * Base > kMaxFilledGapSeconds) {
          D.GapNotFilled = D.RuleCount - 1;
          D.RuleCount = 1;
          D.SyncPts = RoundHalfEvenToInt64(In.InTime / Base);
        }
      }
      if (D.RuleCount == 0) {
        D.Dropped = 1;
      } else if (D.RuleCount > 1) {
        D.Duplicated = D.RuleCount - 1;
      }
    } else {
      D.SyncPts = RoundHalfEvenToInt64(In.InTime / Base);
    }
    if (In.PictureWritten && D.SyncPts < In.SyncPts) D.SyncPts = In.SyncPts;
  }

  D.Count = std::min(D.RuleCount, In.FramesLeft);
  return D;
}

}  // namespace vexav
