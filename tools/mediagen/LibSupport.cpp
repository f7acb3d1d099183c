#include "LibSupport.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace vexav::mediagen {
namespace {

struct SampleLayout {
  AVSampleFormat Packed;  // the format of one sample
  bool Planar;
  int Bytes;
};

bool Describe(AVSampleFormat Fmt, SampleLayout& Out) {
  switch (Fmt) {
    case AV_SAMPLE_FMT_U8: Out = {AV_SAMPLE_FMT_U8, false, 1}; return true;
    case AV_SAMPLE_FMT_S16: Out = {AV_SAMPLE_FMT_S16, false, 2}; return true;
    case AV_SAMPLE_FMT_S32: Out = {AV_SAMPLE_FMT_S32, false, 4}; return true;
    case AV_SAMPLE_FMT_FLT: Out = {AV_SAMPLE_FMT_FLT, false, 4}; return true;
    case AV_SAMPLE_FMT_DBL: Out = {AV_SAMPLE_FMT_DBL, false, 8}; return true;
    case AV_SAMPLE_FMT_S64: Out = {AV_SAMPLE_FMT_S64, false, 8}; return true;
    case AV_SAMPLE_FMT_U8P: Out = {AV_SAMPLE_FMT_U8, true, 1}; return true;
    case AV_SAMPLE_FMT_S16P: Out = {AV_SAMPLE_FMT_S16, true, 2}; return true;
    case AV_SAMPLE_FMT_S32P: Out = {AV_SAMPLE_FMT_S32, true, 4}; return true;
    case AV_SAMPLE_FMT_FLTP: Out = {AV_SAMPLE_FMT_FLT, true, 4}; return true;
    case AV_SAMPLE_FMT_DBLP: Out = {AV_SAMPLE_FMT_DBL, true, 8}; return true;
    case AV_SAMPLE_FMT_S64P: Out = {AV_SAMPLE_FMT_S64, true, 8}; return true;
    default: return false;
  }
}

uint8_t* SampleAddress(const AVFrame& Frame, const SampleLayout& L, int Channels, int Channel, int Index) {
  if (L.Planar) return Frame.extended_data[Channel] + static_cast<size_t>(Index) * L.Bytes;
  return Frame.extended_data[0] + (static_cast<size_t>(Index) * Channels + Channel) * L.Bytes;
}

template <typename T>
T Load(const uint8_t* P) {
  T V;
  std::memcpy(&V, P, sizeof V);
  return V;
}
template <typename T>
void Store(uint8_t* P, T V) {
  std::memcpy(P, &V, sizeof V);
}

}  // namespace

std::string ErrorString(int Code) {
  char Text[AV_ERROR_MAX_STRING_SIZE] = {};
  if (ff::av_strerror(Code, Text, sizeof Text) < 0) return "error " + std::to_string(Code);
  return Text;
}

bool SampleFormatKnown(AVSampleFormat Fmt) {
  SampleLayout L;
  return Describe(Fmt, L);
}

double ReadSample(const AVFrame& Frame, int Channels, int Channel, int Index) {
  SampleLayout L;
  if (!Describe(static_cast<AVSampleFormat>(Frame.format), L)) return 0.0;
  const uint8_t* P = SampleAddress(Frame, L, Channels, Channel, Index);
  switch (L.Packed) {
    case AV_SAMPLE_FMT_U8: return (static_cast<int>(*P) - 128) / 128.0;
    case AV_SAMPLE_FMT_S16: return Load<int16_t>(P) / 32768.0;
    case AV_SAMPLE_FMT_S32: return Load<int32_t>(P) / 2147483648.0;
    case AV_SAMPLE_FMT_FLT: return Load<float>(P);
    case AV_SAMPLE_FMT_DBL: return Load<double>(P);
    case AV_SAMPLE_FMT_S64: return static_cast<double>(Load<int64_t>(P)) / 9223372036854775808.0;
    default: return 0.0;
  }
}

void WriteSample(AVFrame& Frame, int Channels, int Channel, int Index, double Value) {
  SampleLayout L;
  if (!Describe(static_cast<AVSampleFormat>(Frame.format), L)) return;
  uint8_t* P = SampleAddress(Frame, L, Channels, Channel, Index);
  const double V = std::clamp(Value, -1.0, 1.0);
  switch (L.Packed) {
    case AV_SAMPLE_FMT_U8: *P = static_cast<uint8_t>(std::clamp(std::lround(V * 128.0) + 128, 0L, 255L)); break;
    case AV_SAMPLE_FMT_S16:
      Store<int16_t>(P, static_cast<int16_t>(std::clamp(std::lround(V * 32768.0), -32768L, 32767L)));
      break;
    case AV_SAMPLE_FMT_S32:
      Store<int32_t>(P, static_cast<int32_t>(std::clamp(std::llround(V * 2147483648.0), -2147483648LL, 2147483647LL)));
      break;
    case AV_SAMPLE_FMT_FLT: Store<float>(P, static_cast<float>(V)); break;
    case AV_SAMPLE_FMT_DBL: Store<double>(P, V); break;
    case AV_SAMPLE_FMT_S64: Store<int64_t>(P, static_cast<int64_t>(V * 9223372036854774784.0)); break;
    default: break;
  }
}

}  // namespace vexav::mediagen
