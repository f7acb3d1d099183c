// The output frame-rate rule of re-encoded video: how many times a picture is
// written (0 drops it, more than 1 duplicates it) so that the output keeps the
// encoder's frame rate, and where the stream's sync counter goes.
#pragma once

#include <cstdint>

extern "C" {
#include <libavutil/rational.h>
}

namespace vexav {

// X rounded to the nearest integer, halves to the even neighbour
// (2.5 -> 2, 3.5 -> 4, -0.5 -> -0). Not-a-number stays as it is.
double RoundHalfEven(double X);

// RoundHalfEven(X) as a 64-bit integer, held within the int64 range
// (not-a-number gives 0).
int64_t RoundHalfEvenToInt64(double X);

struct TFrameRateInput {
  // Option "vsync": 0 passes every picture once; 1 (and -1 when the rule is
  // on) drops and duplicates; 2 drops early pictures and lets late ones move
  // the counter instead of duplicating them.
  int VideoSyncMethod = -1;
  AVRational EncoderTimeBase{0, 1};
  // The picture's time in seconds from the output's start.
  double InTime = 0;
  // The stream's counter of written pictures in encoder time-base units.
  int64_t SyncPts = 0;
  // The frame limit still open for the stream: MaxFrames - FrameNumber.
  int64_t FramesLeft = INT64_MAX;
  // The stream has written a picture already: SyncPts is then one past its
  // stamp, and no later picture may take a stamp at or below that one.
  bool PictureWritten = false;
};

struct TFrameRateDecision {
  // Whether dropping and duplicating applied to this picture.
  bool RuleOn = false;
  // The rule's count before the frame limit: 0 drop, 1, > 1 duplicates.
  int64_t RuleCount = 1;
  // How many times to write the picture, after the frame limit; 0 or less
  // means nothing is written.
  int64_t Count = 1;
  // The stream's sync counter to write the first copy at.
  int64_t SyncPts = 0;
  // Counted by the rule (before the frame limit): 1 for a drop, and the
  // extra copies for a duplication.
  int Dropped = 0;
  int64_t Duplicated = 0;
  // The copies a gap would have needed when it was too long to fill
  // (kMaxFilledGapSeconds): the picture is written once at its own time
  // instead; 0 otherwise.
  int64_t GapNotFilled = 0;
};

// The longest gap between two pictures that duplicates fill. A longer one
// comes from a damaged or hostile time stamp (one such picture would
// otherwise be written millions of times); the picture is then written
// once at its own time, which players show for the whole gap anyway.
inline constexpr double kMaxFilledGapSeconds = 60.0;

// The rule is on when VideoSyncMethod > 0, or when it is not 0 and the
// encoder time base as a number exceeds 0.001 (strictly). With
// Base = num/den and Delta = InTime / Base - SyncPts:
//   Delta < -1.1  -> Count 0 (a drop);
//   else method 2 -> SyncPts := round(InTime / Base), Count 1;
//   else Delta > 1.1 -> Count := round(Delta).
// With the rule off, SyncPts := round(InTime / Base) and Count is 1.
// round is RoundHalfEven. Where the stream has written a picture, a SyncPts
// set from InTime (rule off, method 2) is at least the counter it had: two
// pictures that round to one stamp (a source faster than the output) get
// consecutive stamps, since encoders refuse a repeated one. The count is then limited to FramesLeft.
// An encoder time base that is not positive leaves SyncPts as it is and
// writes the picture once (with the rule off), instead of dividing by zero.
TFrameRateDecision DecideFrameCount(const TFrameRateInput& In);

}  // namespace vexav
