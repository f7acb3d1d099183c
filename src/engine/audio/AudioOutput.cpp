#include "engine/audio/AudioOutput.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "binding/Text.h"
#include "engine/FFMpegException.h"
#include "engine/RunTimings.h"

namespace vexav {

namespace {

// The largest padded block of the original path was 131072 bytes of
// interleaved 16-bit samples; the same number of samples per channel bounds
// the silence added to one block here, whatever the sample format.
constexpr int64_t PaddedBlockBytes = 131072;
// A drift of this many samples or less is never corrected.
constexpr double DriftTolerance = 50.0;

const char* SampleFormatName(int Format) {
  const char* Name = ff::av_get_sample_fmt_name(static_cast<AVSampleFormat>(Format));
  return Name ? Name : "none";
}

AVRational EncoderTimeBase(const AVCodecContext* Enc) {
  if (Enc->time_base.num > 0 && Enc->time_base.den > 0) return Enc->time_base;
  return AVRational{1, Enc->sample_rate};
}

// An empty frame of Count samples in the encoder's format and layout.
FramePtr MakeEncoderFrame(const AVCodecContext* Enc, int Count) {
  FramePtr Frame(ff::av_frame_alloc());
  if (!Frame) throw FFMpegException("av_malloc failed");
  Frame->nb_samples = Count;
  Frame->format = Enc->sample_fmt;
  Frame->sample_rate = Enc->sample_rate;
  if (ff::av_channel_layout_copy(&Frame->ch_layout, &Enc->ch_layout) < 0 ||
      ff::av_frame_get_buffer(Frame.get(), 0) < 0)
    throw FFMpegException("av_malloc failed");
  return Frame;
}

}  // namespace

TAudioOutput::TAudioOutput(AVCodecContext* Enc, const AVStream* OutStream, TWriteFn Write,
                           TLogFn Log)
    : Enc(Enc), OutStream(OutStream), Write(std::move(Write)), Log(std::move(Log)) {
  Fifo.reset(ff::av_audio_fifo_alloc(Enc->sample_fmt, Enc->ch_layout.nb_channels, 1));
  Packet.reset(ff::av_packet_alloc());
  if (!Fifo || !Packet) throw FFMpegException("av_malloc failed");
}

TAudioOutput::~TAudioOutput() = default;

int TAudioOutput::FifoSamples() const {
  return ff::av_audio_fifo_size(Fifo.get());
}

void TAudioOutput::Report(int Level, const std::string& Text) const {
  if (Log) Log(Level, Text);
}

// Makes sure a resampler exists when the block's format, rate or channel
// count differs from the encoder's, or when drift is corrected by stretching
// (sync method 2 or more, which needs a resampler even for equal rates). A
// block whose parameters differ from those the resampler was built for gets
// a new one, after the old one's buffered samples went into the FIFO.
void TAudioOutput::EnsureResampler(const TInputKey& In, const AVChannelLayout* InLayout,
                                   int SyncMethod) {
  if (Resampler && !(ResamplerKey == In)) {
    FlushResampler();
    Resampler.reset();
  }
  const int EncChannels = Enc->ch_layout.nb_channels;
  const bool Resampling =
      In.Channels != EncChannels || In.Rate != Enc->sample_rate || SyncMethod >= 2;
  if (Resampler || (!Resampling && In.Format == Enc->sample_fmt)) return;

  // With equal channel counts the channels pass through as they are (no
  // remix between two layouts of the same count), as the original path did.
  AVChannelLayout InL{};
  int Ret = 0;
  if (In.Channels == EncChannels)
    Ret = ff::av_channel_layout_copy(&InL, &Enc->ch_layout);
  else if (InLayout && InLayout->nb_channels == In.Channels &&
           InLayout->order != AV_CHANNEL_ORDER_UNSPEC)
    Ret = ff::av_channel_layout_copy(&InL, InLayout);
  else
    ff::av_channel_layout_default(&InL, In.Channels);

  SwrContext* Swr = nullptr;
  if (Ret >= 0)
    Ret = ff::swr_alloc_set_opts2(&Swr, &Enc->ch_layout, Enc->sample_fmt, Enc->sample_rate, &InL,
                                  static_cast<AVSampleFormat>(In.Format), In.Rate, 0, nullptr);
  ff::av_channel_layout_uninit(&InL);
  ResamplerPtr Owner(Swr);
  // Stretching needs the resampling stage even when the rates are equal.
  if (Ret >= 0 && SyncMethod >= 2) Ret = ff::av_opt_set(Swr, "flags", "res", 0);
  if (Ret >= 0) Ret = ff::swr_init(Swr);
  if (Ret < 0 || !Swr) {
    if (Resampling)
      throw FFMpegException(Format("Can not resample %d channels @ %d Hz to %d channels @ %d Hz",
                                   In.Channels, In.Rate, EncChannels, Enc->sample_rate));
    throw FFMpegException(Format("Cannot convert %s sample format to %s sample format",
                                 SampleFormatName(In.Format), SampleFormatName(Enc->sample_fmt)));
  }
  Resampler = std::move(Owner);
  ResamplerKey = In;
}

// Samples (at the encoder's rate) that went into the resampler and have not
// come out yet: they count as buffered, like the FIFO's.
int64_t TAudioOutput::ResamplerDelay() const {
  if (!Resampler) return 0;
  return std::max<int64_t>(0, ff::swr_get_delay(Resampler.get(), Enc->sample_rate));
}

void TAudioOutput::FlushResampler() {
  for (;;) {
    const int Cap = std::max(ff::swr_get_out_samples(Resampler.get(), 0), 1024);
    if (!ConvFrame || ConvFrame->nb_samples < Cap) ConvFrame = MakeEncoderFrame(Enc, Cap);
    const int Count = TimedCall(TRunStage::Resample, [&] {
      return ff::swr_convert(Resampler.get(), ConvFrame->extended_data, Cap, nullptr, 0);
    });
    if (Count <= 0) break;
    WriteFifo(ConvFrame->extended_data, Count);
  }
}

void TAudioOutput::WriteFifo(uint8_t* const* Planes, int Count) {
  if (Count <= 0) return;
  void** Data = reinterpret_cast<void**>(const_cast<uint8_t**>(Planes));
  if (ff::av_audio_fifo_write(Fifo.get(), Data, Count) < Count)
    throw FFMpegException("av_fifo_realloc2() failed");
}

// Resamples and converts Count samples (or passes them on unchanged when no
// resampler is needed) into the FIFO. A failed conversion drops the block for
// this stream with a warning, or raises with ExitOnError.
void TAudioOutput::ConvertIntoFifo(const uint8_t* const* Planes, int Count, bool ExitOnError) {
  if (!Resampler) {
    WriteFifo(const_cast<uint8_t* const*>(Planes), Count);
    return;
  }
  int Converted = ff::swr_get_out_samples(Resampler.get(), Count);
  if (Converted >= 0) {
    const int Cap = std::max(Converted, 1);
    if (!ConvFrame || ConvFrame->nb_samples < Cap) ConvFrame = MakeEncoderFrame(Enc, Cap);
    Converted = TimedCall(TRunStage::Resample, [&] {
      return ff::swr_convert(Resampler.get(), ConvFrame->extended_data, Cap,
                             const_cast<const uint8_t**>(Planes), Count);
    });
  }
  if (Converted < 0) {
    if (ExitOnError) throw FFMpegException("av_audio_convert() failed");
    Report(0, "av_audio_convert() failed");
    return;
  }
  WriteFifo(ConvFrame->extended_data, Converted);
}

void TAudioOutput::Push(const AVFrame* Decoded, const AVCodecContext* Dec, int64_t SyncSourcePtsUs,
                        int& IsStart, const TAudioSyncOptions& Opts) {
  if (!Decoded || Decoded->nb_samples <= 0) return;

  TInputKey In;
  In.Format = Decoded->format >= 0 ? Decoded->format : (Dec ? Dec->sample_fmt : -1);
  In.Rate = Decoded->sample_rate > 0 ? Decoded->sample_rate : (Dec ? Dec->sample_rate : 0);
  const AVChannelLayout* InLayout =
      Decoded->ch_layout.nb_channels > 0 ? &Decoded->ch_layout : (Dec ? &Dec->ch_layout : nullptr);
  In.Channels = InLayout ? InLayout->nb_channels : 0;
  EnsureResampler(In, InLayout, Opts.AudioSyncMethod);

  // From here the block's format and channel count are valid: either they
  // equal the encoder's or a resampler accepted them.
  const bool Planar = ff::av_sample_fmt_is_planar(static_cast<AVSampleFormat>(In.Format)) != 0;
  const int NbPlanes = Planar ? In.Channels : 1;
  const int64_t Stride =
      static_cast<int64_t>(ff::av_get_bytes_per_sample(static_cast<AVSampleFormat>(In.Format))) *
      (Planar ? 1 : In.Channels);

  const int EncRate = Enc->sample_rate;
  double InTime = static_cast<double>(SyncSourcePtsUs - Opts.StartTime) / 1000000.0;
  // The output starts at time 0 (a start time given for the input or the
  // output moves it there): the samples of a block that lie before it are
  // left out, so that the sound starts with the picture, to the sample.
  // (Sync methods 1 and above do the same for the first block, and keep
  // their tolerance for later ones.)
  int64_t Lead = 0;
  if (Opts.AudioSyncMethod == 0 && InTime < 0 && In.Rate > 0) {
    Lead = std::llround(-InTime * In.Rate);
    if (Lead >= Decoded->nb_samples) return;
    InTime += static_cast<double>(Lead) / In.Rate;
  }
  const int N = Decoded->nb_samples - static_cast<int>(Lead);
  std::vector<const uint8_t*> Source(NbPlanes);
  for (int P = 0; P < NbPlanes; ++P) Source[P] = Decoded->extended_data[P] + Lead * Stride;
  const int64_t Buffered = FifoSamples() + ResamplerDelay();
  int64_t Skip = 0;
  int64_t Silence = 0;

  if (Opts.AudioSyncMethod != 0) {
    // Samples the output is behind (positive) or ahead (negative), at the
    // encoder's rate, and the same in input samples (truncated toward zero).
    const double Delta =
        EncRate * InTime - static_cast<double>(SyncPtsValue) - static_cast<double>(Buffered);
    const int64_t SampleDelta = static_cast<int64_t>(std::trunc(Delta * In.Rate / EncRate));
    if (std::fabs(Delta) > DriftTolerance) {
      if (IsStart == 1 ||
          std::fabs(Delta) > EncRate * static_cast<double>(Opts.AudioDriftThreshold)) {
        if (SampleDelta < 0) {
          Skip = std::min<int64_t>(-SampleDelta, N);
          if (Opts.Verbose > 2)
            Report(1, Format("discarding %d audio samples", static_cast<int>(std::trunc(-Delta))));
          if (Skip == N) return;
          IsStart = 0;
        } else {
          // At most one padded block's worth: Limit - N samples in front of a
          // block smaller than the limit (the rest follows on later blocks);
          // a block that alone fills the limit gets at most Limit samples, so
          // that the correction still advances.
          const int64_t Limit = PaddedBlockBytes / (2 * In.Channels);
          const int64_t Cap = N < Limit ? Limit - N : Limit;
          Silence = std::min(SampleDelta, Cap);
          if (Silence == SampleDelta) IsStart = 0;
          if (Opts.Verbose > 2)
            Report(1, Format("adding %d audio samples of silence",
                             static_cast<int>(std::trunc(Delta))));
        }
      } else if (Opts.AudioSyncMethod > 1) {
        const int Method = Opts.AudioSyncMethod;
        const int Comp = static_cast<int>(
            std::clamp<double>(std::trunc(Delta), -static_cast<double>(Method), Method));
        if (Opts.Verbose > 2)
          Report(1, Format("compensating audio timestamp drift:%f compensation:%d in:%d", Delta,
                           Comp, EncRate));
        if (ff::swr_set_compensation(Resampler.get(), Comp, EncRate) < 0)
          Report(0, "swr_set_compensation() failed");
      }
    }
  } else {
    // Round to nearest, halves to even (the default rounding mode).
    SyncPtsValue = static_cast<int64_t>(std::nearbyint(EncRate * InTime)) - Buffered;
  }

  std::vector<const uint8_t*> Planes(NbPlanes);
  int Count = N - static_cast<int>(Skip);
  if (Silence > 0) {
    // Unsigned 8-bit silence is the middle value, every other format's is 0.
    const AVSampleFormat Fmt = static_cast<AVSampleFormat>(In.Format);
    const uint8_t SilenceByte = (Fmt == AV_SAMPLE_FMT_U8 || Fmt == AV_SAMPLE_FMT_U8P) ? 0x80 : 0;
    if (SilenceBuf.size() < static_cast<size_t>(NbPlanes)) SilenceBuf.resize(NbPlanes);
    for (int P = 0; P < NbPlanes; ++P) {
      std::vector<uint8_t>& Buf = SilenceBuf[P];
      const size_t Gap = static_cast<size_t>(Silence * Stride);
      const size_t Body = static_cast<size_t>(N * Stride);
      if (Buf.size() < Gap + Body) Buf.resize(Gap + Body);
      std::memset(Buf.data(), SilenceByte, Gap);
      std::memcpy(Buf.data() + Gap, Source[P], Body);
      Planes[P] = Buf.data();
    }
    Count = N + static_cast<int>(Silence);
  } else {
    for (int P = 0; P < NbPlanes; ++P) Planes[P] = Source[P] + Skip * Stride;
  }

  ConvertIntoFifo(Planes.data(), Count, Opts.ExitOnError);
  EncodeWholeFrames();
}

// Encoders with a fixed frame size get whole frames; the rest waits for the
// next block. Encoders with frame size 0 or 1 (PCM and other variable-size
// encoders) get everything converted from the block at once.
void TAudioOutput::EncodeWholeFrames() {
  const int FrameSize = Enc->frame_size;
  if (FrameSize > 1) {
    while (FifoSamples() >= FrameSize) EncodeFromFifo(FrameSize);
  } else if (FifoSamples() > 0) {
    EncodeFromFifo(FifoSamples());
  }
}

void TAudioOutput::EncodeFromFifo(int Count) {
  FramePtr Frame = MakeEncoderFrame(Enc, Count);
  if (ff::av_audio_fifo_read(Fifo.get(), reinterpret_cast<void**>(Frame->extended_data), Count) <
      Count)
    throw FFMpegException("Audio encoding failed");
  Frame->pts =
      ff::av_rescale_q(SyncPtsValue, AVRational{1, Enc->sample_rate}, EncoderTimeBase(Enc));
  SyncPtsValue += Count;
  SendFrame(Frame.get());
}

// Sends one frame (or the end of input, nullptr) and writes every packet
// that comes out.
void TAudioOutput::SendFrame(const AVFrame* Frame) {
  if (TimedCall(TRunStage::Encode, [&] { return ff::avcodec_send_frame(Enc, Frame); }) < 0)
    throw FFMpegException("Audio encoding failed");
  for (;;) {
    const int Ret =
        TimedCall(TRunStage::Encode, [&] { return ff::avcodec_receive_packet(Enc, Packet.get()); });
    if (Ret == AVERROR(EAGAIN) || Ret == AVERROR_EOF) break;
    if (Ret < 0) throw FFMpegException("Audio encoding failed");
    Packet->stream_index = OutStream->index;
    ff::av_packet_rescale_ts(Packet.get(), EncoderTimeBase(Enc), OutStream->time_base);
    Packet->flags |= AV_PKT_FLAG_KEY;
    EncodedBytesValue += Packet->size;
    if (Write) Write(Packet.get());
    ff::av_packet_unref(Packet.get());
  }
}

// The end of input: the resampler's tail and the FIFO's remainder go out,
// the remainder as one short last frame (encoders that cannot take a short
// frame get it padded with silence by libavcodec, as avcodec_send_frame
// documents: the duration grows by less than one frame instead of the
// samples being lost), then the encoder is drained. Draining an encoder that
// holds nothing (PCM) is harmless.
void TAudioOutput::Flush() {
  if (Flushed) return;
  Flushed = true;
  if (Resampler) FlushResampler();
  EncodeWholeFrames();
  if (FifoSamples() > 0) EncodeFromFifo(FifoSamples());
  SendFrame(nullptr);
}

}  // namespace vexav
