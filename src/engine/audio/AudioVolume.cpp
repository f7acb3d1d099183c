// The volume step of the audio path, in the decoded block's own sample
// format. The original step treated every block as 16-bit samples, which on
// today's decoders (mostly planar float) would turn the samples into noise;
// here each format is scaled in its own representation.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>

#include "binding/Api.h"
#include "engine/FFMpegException.h"
#include "engine/audio/AudioOutput.h"

namespace vexav {

namespace {

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

// Signed integer samples: (s * Volume + 128) >> 8, the shift rounding toward
// minus infinity, clipped to the type's range. Wide is wide enough for the
// product.
template <typename T, typename Wide>
void ScaleSigned(uint8_t* Data, int64_t Count, int Volume) {
  constexpr Wide Lo = std::numeric_limits<T>::min();
  constexpr Wide Hi = std::numeric_limits<T>::max();
  for (int64_t I = 0; I < Count; ++I) {
    uint8_t* P = Data + I * static_cast<int64_t>(sizeof(T));
    const Wide V = (static_cast<Wide>(Load<T>(P)) * Volume + 128) >> 8;
    Store<T>(P, static_cast<T>(std::clamp(V, Lo, Hi)));
  }
}

// Unsigned 8-bit samples are offset by 128: the same arithmetic on the
// signed value, clipped to -128..127.
void ScaleU8(uint8_t* Data, int64_t Count, int Volume) {
  for (int64_t I = 0; I < Count; ++I) {
    const int64_t V = ((static_cast<int64_t>(Data[I]) - 128) * Volume + 128) >> 8;
    Data[I] = static_cast<uint8_t>(std::clamp<int64_t>(V, -128, 127) + 128);
  }
}

// Float samples: a plain scale, clipped to full scale [-1, 1], so that a
// source gives the same result whether its decoder hands out integer or
// float samples.
template <typename T>
void ScaleFloat(uint8_t* Data, int64_t Count, int Volume) {
  const double Factor = Volume / 256.0;
  for (int64_t I = 0; I < Count; ++I) {
    uint8_t* P = Data + I * static_cast<int64_t>(sizeof(T));
    Store<T>(P, static_cast<T>(std::clamp(static_cast<double>(Load<T>(P)) * Factor, -1.0, 1.0)));
  }
}

}  // namespace

void TAudioOutput::ApplyVolume(AVFrame* Frame, int Volume) {
  if (!Frame || Volume == 256 || Frame->nb_samples <= 0) return;
  const int Channels = Frame->ch_layout.nb_channels;
  if (Channels <= 0) return;
  // A decoder's frame may share its buffer; scale a private copy then.
  if (Frame->buf[0] && ff::av_frame_make_writable(Frame) < 0) throw FFMpegException("av_malloc failed");

  const AVSampleFormat Fmt = static_cast<AVSampleFormat>(Frame->format);
  const bool Planar = ff::av_sample_fmt_is_planar(Fmt) != 0;
  const int NbPlanes = Planar ? Channels : 1;
  const int64_t Count = static_cast<int64_t>(Frame->nb_samples) * (Planar ? 1 : Channels);
  for (int P = 0; P < NbPlanes; ++P) {
    uint8_t* Data = Frame->extended_data[P];
    switch (Fmt) {
      case AV_SAMPLE_FMT_U8:
      case AV_SAMPLE_FMT_U8P:
        ScaleU8(Data, Count, Volume);
        break;
      case AV_SAMPLE_FMT_S16:
      case AV_SAMPLE_FMT_S16P:
        ScaleSigned<int16_t, int64_t>(Data, Count, Volume);
        break;
      case AV_SAMPLE_FMT_S32:
      case AV_SAMPLE_FMT_S32P:
        ScaleSigned<int32_t, int64_t>(Data, Count, Volume);
        break;
      case AV_SAMPLE_FMT_S64:
      case AV_SAMPLE_FMT_S64P:
        ScaleSigned<int64_t, __int128>(Data, Count, Volume);
        break;
      case AV_SAMPLE_FMT_FLT:
      case AV_SAMPLE_FMT_FLTP:
        ScaleFloat<float>(Data, Count, Volume);
        break;
      case AV_SAMPLE_FMT_DBL:
      case AV_SAMPLE_FMT_DBLP:
        ScaleFloat<double>(Data, Count, Volume);
        break;
      default:
        return;  // no samples of a known format: nothing to scale
    }
  }
}

}  // namespace vexav
