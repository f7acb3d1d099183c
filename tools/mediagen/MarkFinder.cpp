#include "MarkFinder.h"

#include <algorithm>

namespace vexav::mediagen {

std::vector<int64_t> FindFlashes(const std::vector<DecodedVideoFrame>& Frames) {
  std::vector<int64_t> Out;
  bool InRun = false;
  for (const DecodedVideoFrame& F : Frames) {
    const bool Bright = F.MeanLuma > FlashLumaThreshold;
    if (Bright && !InRun) Out.push_back(F.PtsUs);
    InRun = Bright;
  }
  return Out;
}

ClickFinder::ClickFinder(int SampleRate)
    : QuietNeeded(std::max<int64_t>(1, SampleRate / 50)), QuietRun(QuietNeeded) {}

void ClickFinder::Add(double Magnitude) {
  if (Magnitude > ClickThreshold) {
    if (QuietRun >= QuietNeeded) Found.push_back(Position);
    QuietRun = 0;
  } else if (Magnitude < ClickThreshold / 2) {
    ++QuietRun;
  } else {
    QuietRun = 0;
  }
  ++Position;
}

void ToneMeter::Add(double Value) {
  // A dead band of a quarter of the tone's amplitude keeps coding noise
  // and near silence from counting.
  constexpr double Band = ToneAmplitude / 4;
  const int Sign = Value > Band ? 1 : Value < -Band ? -1 : 0;
  if (Sign != 0) {
    if (LastSign != 0 && Sign != LastSign) {
      if (Crossings++ == 0) FirstCrossing = Position;
      LastCrossing = Position;
    }
    LastSign = Sign;
  }
  ++Position;
}

double ToneMeter::Hz(int SampleRate) const {
  // Crossings come every half period; silence before and after the tone
  // does not count.
  if (Crossings < 2 || SampleRate <= 0) return 0.0;
  return (Crossings - 1) / 2.0 / (static_cast<double>(LastCrossing - FirstCrossing) / SampleRate);
}

}  // namespace vexav::mediagen
