// The generated sound: a quiet sine tone, replaced by a short loud burst (a
// click) at each mark.
#pragma once

#include <cstdint>
#include <vector>

namespace vexav::mediagen {

class SoundSynth {
 public:
  // Clicks start at the given sample indices (increasing); samples from
  // Length on are silent.
  SoundSynth(int SampleRate, double ToneHz, std::vector<int64_t> ClickStarts, int64_t Length);

  // Sample Index of the sound, -1..1.
  double Sample(int64_t Index) const;

 private:
  int Rate;
  double Tone;
  std::vector<int64_t> Clicks;
  int64_t Length;
  int64_t ClickLength;
  int64_t HalfPeriod;  // of the click's square wave
};

}  // namespace vexav::mediagen
