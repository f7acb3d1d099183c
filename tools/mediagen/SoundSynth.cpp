#include "SoundSynth.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "MediaGenerator.h"

namespace vexav::mediagen {
namespace {
constexpr double ClickLevel = 0.9;
constexpr double ClickSquareHz = 1000.0;
}  // namespace

SoundSynth::SoundSynth(int SampleRate, double ToneHz, std::vector<int64_t> ClickStarts, int64_t Length)
    : Rate(SampleRate),
      Tone(ToneHz),
      Clicks(std::move(ClickStarts)),
      Length(Length),
      ClickLength(std::max<int64_t>(1, std::llround(SampleRate * ClickMilliseconds / 1000.0))),
      HalfPeriod(std::max<int64_t>(1, std::llround(SampleRate / (2 * ClickSquareHz)))) {}

double SoundSynth::Sample(int64_t Index) const {
  if (Index < 0 || Index >= Length) return 0.0;
  // The last click starting at or before Index.
  auto After = std::upper_bound(Clicks.begin(), Clicks.end(), Index);
  if (After != Clicks.begin()) {
    const int64_t Into = Index - *(After - 1);
    if (Into < ClickLength) return (Into / HalfPeriod) % 2 == 0 ? ClickLevel : -ClickLevel;
  }
  const double Cycles = std::fmod(Tone * static_cast<double>(Index) / Rate, 1.0);
  return ToneAmplitude * std::sin(2.0 * std::numbers::pi * Cycles);
}

}  // namespace vexav::mediagen
