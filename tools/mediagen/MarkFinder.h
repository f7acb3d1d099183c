// Finding the marks again in decoded media: flash frames in the picture,
// clicks in the sound, and the tone's frequency.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "MediaGenerator.h"

namespace vexav::mediagen {

// The instants of flash runs: the first frame of each run of consecutive
// frames brighter than FlashLumaThreshold.
std::vector<int64_t> FindFlashes(const std::vector<DecodedVideoFrame>& Frames);

// Follows the sound sample by sample and notes where clicks start.
class ClickFinder {
 public:
  explicit ClickFinder(int SampleRate);
  // Magnitude: the largest absolute sample value over the channels, 0..1.
  void Add(double Magnitude);
  // Sample indices (from the first sample added) where clicks start.
  const std::vector<int64_t>& Clicks() const { return Found; }

 private:
  int64_t QuietNeeded;    // samples below half the threshold that re-arm
  int64_t QuietRun;       // such samples seen in a row
  int64_t Position = 0;
  std::vector<int64_t> Found;
};

// Counts sign changes of one channel to estimate the frequency of a tone
// of ToneAmplitude.
class ToneMeter {
 public:
  void Add(double Value);
  double Hz(int SampleRate) const;

 private:
  int64_t Position = 0;
  int64_t Crossings = 0;
  int64_t FirstCrossing = 0;
  int64_t LastCrossing = 0;
  int LastSign = 0;
};

// The instants (microseconds from the file's start) of the clicks in the
// first audio stream's first channel: where the magnitude first exceeds 0.6
// after at least 100 ms without. Unlike ClickFinder's quiet lead-in, it
// tolerates the pre-echo of transform codecs such as AAC, which rings up to
// a frame (23 ms) before a click. Empty when the file cannot be read.
std::vector<int64_t> ReadClickTimesUs(const std::string& Path);

}  // namespace vexav::mediagen
