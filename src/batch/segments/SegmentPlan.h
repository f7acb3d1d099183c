// How one long source is converted in pieces that run apart (on several
// cores or several machines) and are joined afterwards: its picture as
// consecutive time segments, each its own engine run, and its sound in time
// pieces of its own (SoundPieces.h), or as one run over the whole source
// where its codec or rates do not allow exact seams.
//
// The joints are exact because every boundary falls on an output frame and
// every segment shows there the pictures one run over the whole source
// shows. Segment k keeps the output frames [First, First + Frames). Where
// that run drops and repeats pictures (a source at another rate than the
// output) depends on every picture before, so the plan follows the whole
// run's frame-rate rule over the source's picture times (read without
// decoding) and starts each segment's run at a source picture whose place
// in the whole run it knows: the run seeks a little before that picture,
// drops every picture before it (the output "ss"), counts its frames from
// the frame that picture gets in the whole run ("vsync_start", with the
// seek's shift of the time stamps undone by "itsoffset"), and writes up to
// the segment's last frame ("vframes"). The frames before First are a
// lead-in that lets the encoder's rate control settle; a key frame is
// forced at First ("force_key_frames") and the join cuts the lead-in off
// there.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "component/Presets.h"

namespace vexav::batch::segments {

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
  int Number = 0;        // the segment's number, or the sound piece's
  std::string FileName;  // its output, inside the work folder
  // Engine options before the input is opened, and after.
  std::vector<TEngineOption> InputOptions;
  std::vector<TEngineOption> OutputOptions;
  // Pictures: the first output frame kept, how many are kept (-1: up to
  // the source's end), and how many are encoded before them and cut off.
  int64_t FirstFrame = 0;
  int64_t Frames = -1;
  int64_t LeadFrames = 0;
  // The time of the source picture the run starts at (microseconds), and
  // the frame of the whole run it is written at: FirstFrame - LeadFrames.
  int64_t StartUs = 0;
  // Source time the run goes through (lead-in included), for the progress
  // of the whole: microseconds, -1 up to the end.
  int64_t SpanUs = 0;
  // Sound in pieces (SegmentPlan::Sound set): the samples of the output
  // rate that the piece keeps, [FirstSample, FirstSample + Samples) (-1: up
  // to the end), and how many it encodes before them (its run's own time 0
  // is FirstSample - LeadSamples). A whole-file sound piece keeps all.
  int64_t FirstSample = 0;
  int64_t Samples = -1;
  int64_t LeadSamples = 0;
};

// How the sound pieces of a plan are cut: the output's sample rate, the
// codec's frame (samples a packet holds) and its priming (the samples of
// encoder delay before the first one). All 0: the sound is one piece over
// the whole source.
struct SoundGrid {
  int Rate = 0;
  int FrameSamples = 0;
  int Priming = 0;
  bool InPieces() const { return Rate > 0 && FrameSamples > 0; }
};

struct SegmentPlan {
  FrameRate Rate;
  SoundGrid Sound;
  // The picture segments in order, then the sound pieces in order.
  std::vector<Piece> Pieces;
  int Segments() const;
  int SoundPieces() const { return static_cast<int>(Pieces.size()) - Segments(); }
  // The index of the first sound piece in Pieces.
  int FirstSoundPiece() const { return Segments(); }
  bool HasSound() const { return SoundPieces() > 0; }
};

// "segment 2 of 3", "sound" (one piece over the whole source) or "sound 2
// of 3": piece I of Plan as messages name it.
std::string PieceName(const SegmentPlan& Plan, int I);

// Segments shorter than this are not worth a run of their own.
inline constexpr int64_t MinSegmentUs = 120 * 1000000LL;
// The lead-in encoded before each segment but the first of a preset that
// aims at a bit rate. The encoder's one-pass rate control needs many
// seconds to reach the quality it keeps up in a long run: the worse joint
// of the benchmark's 60 s clip in three segments came out, over a second
// around it, 1.6 dB below the file's mean with a 2 s lead-in, 0.9 to 1.0 dB
// with 6 to 10 s, 0.7 dB with 12 s and 0.6 dB with 20 s. Against segments
// of two minutes, 15 s is 12% more encoding.
inline constexpr int64_t LeadInUs = 15 * 1000000LL;
// The lead-in of a constant-quality preset ("crf"): its encoder gives each
// picture the quality the value sets, with no bit budget to settle.
inline constexpr int64_t QualityLeadInUs = 0;

// The lead-in the preset whose engine options are PresetOptions needs:
// QualityLeadInUs when it encodes at constant quality, LeadInUs otherwise.
int64_t LeadInFor(const std::vector<TEngineOption>& PresetOptions);

// The most segments one file is cut into.
inline constexpr int MaxSegments = 1000;

// Segments on a cluster whose CPUs are counted can be as short as this:
// with hundreds of CPUs, a file's wall time is about one segment's.
inline constexpr int64_t MinClusterSegmentUs = 20 * 1000000LL;

// --segments auto: one segment per worker at most (and MaxSegments), none
// shorter than MinUs; 1 (no segments) for a source under twice that.
int AutoSegments(int64_t DurationUs, int Workers, int64_t MinUs = MinSegmentUs);

// One source picture in a run over the whole source: its time, the frame
// counter when it comes (Before), and the frames it is written at: Count
// of them from First (0 when the rule drops it; the copies but the last
// repeat the picture before it).
struct WholeRunPicture {
  int64_t TimeUs = 0;
  int64_t Before = 0;
  int64_t First = 0;
  int64_t Count = 0;
};

// The frame-rate rule of a run over the whole source at Rate (option
// "vsync" VideoSyncMethod), picture by picture, for pictures at TimesUs
// (rising, as ReadPictureTimes gives them).
std::vector<WholeRunPicture> FollowWholeRun(const std::vector<int64_t>& TimesUs, FrameRate Rate,
                                            int VideoSyncMethod);

// Whether a run that seeks its input to SeekUs meets the pictures up to
// UntilUs at the times a run from the start does (SeekCheck::Faithful).
using SeekTest = std::function<bool(int64_t SeekUs, int64_t UntilUs)>;

// Splits a source of DurationUs whose pictures come at PictureTimesUs into
// Count picture segments (Count >= 2) with the preset's options (its sound
// options go to the sound piece, the others to the picture pieces);
// HasSound adds the sound piece. A segment's run seeks only to a time that
// Seekable accepts (none given: any); where none near its start is, it
// reads the source from the start. Empty Pieces with Error when the source
// is too short for Count segments, its picture times are not known, or the
// preset has no valid frame rate.
SegmentPlan MakeSegmentPlan(const std::vector<TEngineOption>& PresetOptions, int64_t DurationUs,
                            int Count, bool HasSound, const std::vector<int64_t>& PictureTimesUs,
                            std::string& Error, const SeekTest& Seekable = nullptr);

// Whether an engine option of the preset belongs to the sound.
bool IsSoundOption(const std::string& Name);

}  // namespace vexav::batch::segments
