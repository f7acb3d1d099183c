// How one long source is converted in pieces that run apart (on several
// cores or several machines) and are joined afterwards: its picture as
// consecutive time segments, each its own engine run, and its sound as one
// run over the whole source.
//
// The joints are exact because every boundary falls on an output frame:
// segment k keeps the output pictures [First, First + Frames). Its run
// seeks the source a little before its start, drops every source picture
// before it (the output "ss", which compares source times), and writes
// exactly as many pictures as it keeps ("vframes"), so the frame-rate rule
// makes the same choices as one run over the whole source would. Each
// segment but the first also encodes a lead-in of LeadFrames pictures
// before its start, so that the encoder's rate control has settled when
// the kept part begins, and a key frame is forced at the start
// ("force_key_frames"); the join cuts the lead-in off there.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "component/Presets.h"

namespace vexav::cli::segments {

using output::TEngineOption;

// An output frame rate as a fraction of frames per second.
struct FrameRate {
  int64_t Num = 0;
  int64_t Den = 1;
  bool Valid() const { return Num > 0 && Den > 0; }
  // The time of frame N, in microseconds (rounded down).
  int64_t FrameTimeUs(int64_t N) const;
};

// Microseconds as the engine's time text: seconds with six decimals.
std::string TimeText(int64_t Us);

// "29.97", "25", "30000/1001": the rate the engine makes of the "r" text
// (a decimal fraction is taken exactly). Invalid when it is none of these.
FrameRate ParseFrameRate(const std::string& Text);

struct Piece {
  enum class Kind { Picture, Sound };
  Kind Type = Kind::Picture;
  int Number = 0;        // the segment's number; 0 for the sound
  std::string FileName;  // its output, inside the work folder
  // Engine options before the input is opened, and after.
  std::vector<TEngineOption> InputOptions;
  std::vector<TEngineOption> OutputOptions;
  // Pictures: the first output frame kept, how many are kept (-1: up to
  // the source's end), and how many are encoded before them and cut off.
  int64_t FirstFrame = 0;
  int64_t Frames = -1;
  int64_t LeadFrames = 0;
  // Source time the run goes through (lead-in included), for the progress
  // of the whole: microseconds, -1 up to the end.
  int64_t SpanUs = 0;
};

struct SegmentPlan {
  FrameRate Rate;
  std::vector<Piece> Pieces;  // the picture segments in order, then the sound
  int Segments() const;
  bool HasSound() const { return !Pieces.empty() && Pieces.back().Type == Piece::Kind::Sound; }
};

// Segments shorter than this are not worth a run of their own.
inline constexpr int64_t MinSegmentUs = 120 * 1000000LL;
// The lead-in encoded before each segment but the first. The encoder's
// one-pass rate control needs many seconds to reach the quality it keeps up
// in a long run: the worse joint of the benchmark's 60 s clip in three
// segments came out, over a second around it, 1.6 dB below the file's mean
// with a 2 s lead-in, 0.9 to 1.0 dB with 6 to 10 s, 0.7 dB with 12 s and
// 0.6 dB with 20 s. Against segments of two minutes, 15 s is 12% more
// encoding.
inline constexpr int64_t LeadInUs = 15 * 1000000LL;

// --segments auto: one segment per worker at most, none shorter than
// MinSegmentUs; 1 (no segments) for a source under twice that.
int AutoSegments(int64_t DurationUs, int Workers);

// Splits a source of DurationUs into Count picture segments (Count >= 2)
// with the preset's options (its sound options go to the sound piece,
// the others to the picture pieces); HasSound adds the sound piece. Empty
// Pieces with Error when the source is too short for Count segments or the
// preset has no valid frame rate.
SegmentPlan MakeSegmentPlan(const std::vector<TEngineOption>& PresetOptions, int64_t DurationUs,
                            int Count, bool HasSound, std::string& Error);

// Whether an engine option of the preset belongs to the sound.
bool IsSoundOption(const std::string& Name);

}  // namespace vexav::cli::segments
