// Helpers of the audio output path tests: real encoders opened here, decoded
// blocks made up the way a decoder hands them out, the packets an output
// writes collected, and those packets decoded back with the real decoder.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "binding/Owners.h"
#include "engine/audio/AudioOutput.h"

namespace vexav::test {

void LoadLibsOrFail();

// Opens the named encoder for Rate and Channels; Fmt NONE takes the
// encoder's first sample format. Time base 1/Rate.
CodecContextPtr OpenEncoder(const char* Name, int Rate, int Channels,
                            AVSampleFormat Fmt = AV_SAMPLE_FMT_NONE, int64_t BitRate = 128000);

// A decoder context as a run would have it for a decoded stream of this
// kind (no decoding is done with it).
CodecContextPtr MakeDecoderContext(AVSampleFormat Fmt, int Rate, int Channels);

// A block of N samples a channel, Value(Channel, Index) in [-1, 1] stored in
// Fmt (integers scaled to full scale and rounded).
FramePtr MakeBlock(AVSampleFormat Fmt, int Rate, int Channels, int N,
                   const std::function<double(int, int64_t)>& Value);

// A sine of Freq Hz and amplitude Amp, starting at sample First.
std::function<double(int, int64_t)> Tone(double Freq, int Rate, double Amp = 0.5, int64_t First = 0);

// One packet as the writer saw it.
struct TPacketCopy {
  std::vector<uint8_t> Data;
  int64_t Pts = 0;
  int64_t Dts = 0;
  int64_t Duration = 0;
  int Flags = 0;
  int StreamIndex = -1;
};

// An output stream with a time base, owned by a format context of its own.
class TTestStream {
 public:
  explicit TTestStream(AVRational TimeBase, int Index = 0);
  AVStream* Get() const { return Stream; }

 private:
  FormatContextPtr Context;
  AVStream* Stream = nullptr;
};

// Everything an output wrote and logged.
struct TCollector {
  std::vector<TPacketCopy> Packets;
  std::vector<std::pair<int, std::string>> Lines;
  TAudioOutput::TWriteFn Writer();
  TAudioOutput::TLogFn Logger();
  int64_t TotalBytes() const;
  bool Logged(const std::string& Text) const;
  bool LoggedPrefix(const std::string& Prefix) const;
};

// The packets decoded back by the decoder of Enc's codec: samples as values
// in [-1, 1], one vector a channel.
struct TDecoded {
  int Rate = 0;
  int Channels = 0;
  std::vector<std::vector<double>> Samples;
  size_t Count() const { return Samples.empty() ? 0 : Samples[0].size(); }
};
TDecoded DecodePackets(const AVCodecContext* Enc, const std::vector<TPacketCopy>& Packets);

// Frequency of a channel's signal between two sample positions, from its
// rising zero crossings.
double ToneFrequency(const std::vector<double>& Samples, size_t From, size_t To, int Rate);
// Root mean square of a channel between two sample positions.
double Rms(const std::vector<double>& Samples, size_t From, size_t To);

}  // namespace vexav::test
