// The sound of a segmented conversion in time pieces, each its own engine
// run, joined into the sound one run over the whole source makes.
//
// Sound codecs code fixed frames of samples (AAC 1024, Opus 960), and each
// frame's transform overlaps the one before, so an encoder needs samples
// from before the first frame it is to give. A piece therefore keeps the
// output samples [FirstSample, FirstSample + Samples), both ends on the
// frame grid a whole run has (multiples of the frame from the sound's
// start), and its run starts encoding LeadSamples before them and runs a few
// frames past its end. Its run's own start lies on that grid too, and, when
// the output resamples, on an input sample whose resampled position in the
// whole run is a whole output sample (with 44.1 kHz made 48 kHz, every 147th
// input sample is the 160th output sample), so that the run encodes the
// very samples of the whole run in the very frames. The join keeps from
// each piece exactly the packets of its own frames: the lead-in, the
// encoder's priming and the frames past its end are dropped.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "batch/segments/SegmentPlan.h"

namespace vexav::batch::segments {

// What the sound pieces are cut from.
struct SoundSource {
  int SampleRate = 0;       // of the source's sound, Hz (0: not known)
  int64_t DurationUs = -1;  // of the source's sound (-1: not known)
  // Its packets' times name whole samples (SampleExactTimes), so that a run
  // that seeks finds where its first sample lies in the sound as exactly as
  // a run from the start.
  bool SampleExact = false;
  // It starts with the file (at the time the engine counts from): a whole
  // run's frames then lie on the grid from time 0 that the pieces use; a
  // sound that starts later has its frames elsewhere.
  bool StartsWithFile = true;
};

// Whether the times of a sound stream with this time base, rate and frame
// (samples a packet holds; 0: not fixed) name whole samples: a tick of one
// sample (MPEG-4, AVI's PCM), or ticks that a frame is a whole number of
// (AVI's MP3, a packet a tick). A millisecond's tick (Matroska) rounds each
// packet's time by up to 22 samples at 44.1 kHz.
bool SampleExactTimes(int TimeBaseNum, int TimeBaseDen, int Rate, int FrameSamples);

// What each sound piece encodes before its first kept sample. A frame or
// two would do for the transform's overlap and the encoder's look-ahead,
// but the AAC encoder's rate control takes about two seconds from its
// start to reach the quality it keeps (at 160 kbit/s its coding noise falls
// from -35 dB to -60 dB of the signal over the first 1.7 s of a tone): with
// 16 frames of lead-in, the sound after a seam differed from the whole
// run's by -35 dB for two seconds; with 3 s, by its own coding noise.
inline constexpr int64_t SoundLeadUs = 3 * 1000000LL;
// And past its last kept sample: the overlap and the look-ahead of the last
// frames it keeps.
inline constexpr int SoundTailFrames = 4;
// A piece run starts on a grid that the frame and the resampling both
// divide; rates whose grid is longer than this keep the sound whole.
inline constexpr int64_t MaxSoundGridUs = 12 * 1000000LL;

// The grid of the sound codec named by the "acodec" option at output rate
// Rate; not InPieces when the codec is not one whose frames are known here.
SoundGrid SoundGridOf(const std::string& Codec, int Rate);

// Replaces Plan's one sound piece (made by MakeSegmentPlan) with one piece
// per picture segment, each ending at the first frame boundary at or after
// the next segment's first picture, when the preset's sound codec and the
// rates allow exact seams and the sound lasts into a second segment;
// otherwise leaves the plan as it is. DurationUs: the source's.
void SplitSound(SegmentPlan& Plan, const std::vector<TEngineOption>& PresetOptions,
                const SoundSource& Source, int64_t DurationUs);

// Joins the leading Count sound pieces of Plan, written into Folder, into
// Output (a file of the pieces' container): their kept packets, copied, with the time stamps
// of a run over the whole source. A piece that ends early (stopped, or the
// sound ends) gives what it has, one past the sound's end nothing. Returns "" on success, otherwise the
// reason (Output is then left to the caller to remove).
std::string JoinSoundPieces(const SegmentPlan& Plan, const std::string& Folder, int Count,
                            const std::string& Output);

// Where a packet of sound piece P goes in the joined sound: Pts is its time
// in P's run, in samples of the grid's rate; the result is its time stamp
// in a run over the whole source (on the frame grid, less the priming), or
// none when the packet is not one of the piece's own frames (the lead-in,
// the priming, the frames past its end). First: P is the first piece, which
// keeps its priming.
std::optional<int64_t> KeptSoundStamp(const SoundGrid& Grid, const Piece& P, int64_t Pts,
                                      bool First);

// The name of the joined sound in the work folder (in the pieces' container).
std::string JoinedSoundName(const SegmentPlan& Plan);

}  // namespace vexav::batch::segments
