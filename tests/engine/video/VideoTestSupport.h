// Helpers of the video path tests: real encoders and decoders opened through
// the binding, synthetic pictures, and packets kept for decoding back.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "binding/Owners.h"

namespace vexav::test {

void LoadLibsOrFail();

// A reference-counted picture of the given size and format.
FramePtr MakeFrame(int Width, int Height, AVPixelFormat Fmt = AV_PIX_FMT_YUV420P);

// Sets every sample: Y from Luma(X, Y), U and V from Chroma(Plane, X, Y) in
// chroma coordinates (4:2:0 only).
void FillYuv420(AVFrame& F, const std::function<uint8_t(int, int)>& Luma,
                const std::function<uint8_t(int, int, int)>& Chroma);
void FillYuv420(AVFrame& F, uint8_t Y, uint8_t U, uint8_t V);

// Four quadrants of distinct luma (top-left, top-right, bottom-left,
// bottom-right), neutral chroma.
inline constexpr uint8_t QuadLuma[4] = {40, 100, 160, 220};
void FillQuadrants(AVFrame& F);

// A textured picture that moves Step pixels per frame index N.
void FillMoving(AVFrame& F, int N);

struct TEncoderSetup {
  std::string Name = "mpeg4";
  int Width = 320, Height = 240;
  AVPixelFormat PixFmt = AV_PIX_FMT_YUV420P;
  AVRational TimeBase{1, 25};
  int Flags = 0;
  int GlobalQuality = 0;
  int MaxBFrames = -1;  // -1: the encoder's default
  int GopSize = -1;     // -1: the encoder's default
  std::vector<std::pair<std::string, std::string>> PrivateOptions;
};
TEncoderSetup EncoderSetup(const std::string& Name, int Width = 320, int Height = 240,
                           int Flags = 0, int GlobalQuality = 0, int MaxBFrames = -1);
CodecContextPtr OpenEncoder(const TEncoderSetup& Setup);

// A copy of an encoded packet.
struct TStoredPacket {
  std::vector<uint8_t> Data;  // with zeroed padding after Size bytes
  int Size = 0;
  int64_t Pts = 0, Dts = 0;
  int Flags = 0;
  int StreamIndex = -1;
};
TStoredPacket StorePacket(const AVPacket& P);

// Decodes the packets with the decoder of CodecId, in order, and drains it.
std::vector<FramePtr> DecodeAll(AVCodecID CodecId, const std::vector<TStoredPacket>& Packets);

// The mean of a rectangle of a plane.
double MeanOf(const AVFrame& F, int Plane, int X0, int Y0, int W, int H);

}  // namespace vexav::test
