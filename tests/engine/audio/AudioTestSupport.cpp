#include "AudioTestSupport.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "binding/FFmpegLibs.h"

namespace vexav::test {

void LoadLibsOrFail() { ASSERT_TRUE(LoadFFmpegLibs("", true)) << LastLoadError(); }

CodecContextPtr OpenEncoder(const char* Name, int Rate, int Channels, AVSampleFormat Fmt, int64_t BitRate) {
  const AVCodec* Codec = ff::avcodec_find_encoder_by_name(Name);
  if (!Codec) {
    ADD_FAILURE() << "encoder " << Name << " is missing";
    return nullptr;
  }
  CodecContextPtr Enc(ff::avcodec_alloc_context3(Codec));
  Enc->sample_rate = Rate;
  Enc->sample_fmt = Fmt != AV_SAMPLE_FMT_NONE ? Fmt : Codec->sample_fmts[0];
  ff::av_channel_layout_default(&Enc->ch_layout, Channels);
  Enc->time_base = AVRational{1, Rate};
  Enc->bit_rate = BitRate;
  const int Ret = ff::avcodec_open2(Enc.get(), Codec, nullptr);
  if (Ret < 0) {
    ADD_FAILURE() << "cannot open encoder " << Name << ": " << Ret;
    return nullptr;
  }
  return Enc;
}

CodecContextPtr MakeDecoderContext(AVSampleFormat Fmt, int Rate, int Channels) {
  CodecContextPtr Dec(ff::avcodec_alloc_context3(nullptr));
  Dec->sample_fmt = Fmt;
  Dec->sample_rate = Rate;
  ff::av_channel_layout_default(&Dec->ch_layout, Channels);
  return Dec;
}

namespace {

AVSampleFormat Packed(AVSampleFormat Fmt) {
  switch (Fmt) {
    case AV_SAMPLE_FMT_U8P: return AV_SAMPLE_FMT_U8;
    case AV_SAMPLE_FMT_S16P: return AV_SAMPLE_FMT_S16;
    case AV_SAMPLE_FMT_S32P: return AV_SAMPLE_FMT_S32;
    case AV_SAMPLE_FMT_FLTP: return AV_SAMPLE_FMT_FLT;
    case AV_SAMPLE_FMT_DBLP: return AV_SAMPLE_FMT_DBL;
    default: return Fmt;
  }
}

template <typename T>
void StoreSample(uint8_t* P, T V) {
  std::memcpy(P, &V, sizeof V);
}

template <typename T>
T LoadSample(const uint8_t* P) {
  T V;
  std::memcpy(&V, P, sizeof V);
  return V;
}

void PutValue(AVSampleFormat Fmt, uint8_t* P, double V) {
  switch (Packed(Fmt)) {
    case AV_SAMPLE_FMT_U8:
      *P = static_cast<uint8_t>(std::lrint(128 + V * 127));
      break;
    case AV_SAMPLE_FMT_S16:
      StoreSample<int16_t>(P, static_cast<int16_t>(std::lrint(V * 32767)));
      break;
    case AV_SAMPLE_FMT_S32:
      StoreSample<int32_t>(P, static_cast<int32_t>(std::llrint(V * 2147483647.0)));
      break;
    case AV_SAMPLE_FMT_FLT:
      StoreSample<float>(P, static_cast<float>(V));
      break;
    case AV_SAMPLE_FMT_DBL:
      StoreSample<double>(P, V);
      break;
    default:
      ADD_FAILURE() << "sample format " << Fmt << " not made by the tests";
  }
}

double GetValue(AVSampleFormat Fmt, const uint8_t* P) {
  switch (Packed(Fmt)) {
    case AV_SAMPLE_FMT_U8:
      return (*P - 128) / 128.0;
    case AV_SAMPLE_FMT_S16:
      return LoadSample<int16_t>(P) / 32768.0;
    case AV_SAMPLE_FMT_S32:
      return LoadSample<int32_t>(P) / 2147483648.0;
    case AV_SAMPLE_FMT_FLT:
      return LoadSample<float>(P);
    case AV_SAMPLE_FMT_DBL:
      return LoadSample<double>(P);
    default:
      ADD_FAILURE() << "sample format " << Fmt << " not read by the tests";
      return 0;
  }
}

}  // namespace

FramePtr MakeBlock(AVSampleFormat Fmt, int Rate, int Channels, int N,
                   const std::function<double(int, int64_t)>& Value) {
  FramePtr Frame(ff::av_frame_alloc());
  Frame->format = Fmt;
  Frame->sample_rate = Rate;
  Frame->nb_samples = N;
  ff::av_channel_layout_default(&Frame->ch_layout, Channels);
  EXPECT_GE(ff::av_frame_get_buffer(Frame.get(), 0), 0);
  const int Bps = ff::av_get_bytes_per_sample(Fmt);
  const bool Planar = ff::av_sample_fmt_is_planar(Fmt) != 0;
  for (int C = 0; C < Channels; ++C)
    for (int I = 0; I < N; ++I) {
      uint8_t* P = Planar ? Frame->extended_data[C] + static_cast<size_t>(I) * Bps
                          : Frame->extended_data[0] + (static_cast<size_t>(I) * Channels + C) * Bps;
      PutValue(Fmt, P, Value(C, I));
    }
  return Frame;
}

std::function<double(int, int64_t)> Tone(double Freq, int Rate, double Amp, int64_t First) {
  return [=](int, int64_t I) { return Amp * std::sin(2 * M_PI * Freq * static_cast<double>(First + I) / Rate); };
}

TTestStream::TTestStream(AVRational TimeBase, int Index) : Context(ff::avformat_alloc_context()) {
  for (int I = 0; I <= Index; ++I) Stream = ff::avformat_new_stream(Context.get(), nullptr);
  Stream->time_base = TimeBase;
}

TAudioOutput::TWriteFn TCollector::Writer() {
  return [this](AVPacket* Pkt) {
    TPacketCopy Copy;
    Copy.Data.assign(Pkt->data, Pkt->data + Pkt->size);
    Copy.Pts = Pkt->pts;
    Copy.Dts = Pkt->dts;
    Copy.Duration = Pkt->duration;
    Copy.Flags = Pkt->flags;
    Copy.StreamIndex = Pkt->stream_index;
    Packets.push_back(std::move(Copy));
  };
}

TAudioOutput::TLogFn TCollector::Logger() {
  return [this](int Level, const std::string& Text) { Lines.emplace_back(Level, Text); };
}

int64_t TCollector::TotalBytes() const {
  int64_t Sum = 0;
  for (const TPacketCopy& P : Packets) Sum += static_cast<int64_t>(P.Data.size());
  return Sum;
}

bool TCollector::Logged(const std::string& Text) const {
  return std::any_of(Lines.begin(), Lines.end(), [&](const auto& L) { return L.second == Text; });
}

bool TCollector::LoggedPrefix(const std::string& Prefix) const {
  return std::any_of(Lines.begin(), Lines.end(), [&](const auto& L) { return L.second.rfind(Prefix, 0) == 0; });
}

TDecoded DecodePackets(const AVCodecContext* Enc, const std::vector<TPacketCopy>& Packets) {
  TDecoded Out;
  const AVCodec* Codec = ff::avcodec_find_decoder(Enc->codec_id);
  if (!Codec) {
    ADD_FAILURE() << "no decoder for " << ff::avcodec_get_name(Enc->codec_id);
    return Out;
  }
  // The encoder's parameters (extradata included) reach the decoder the way
  // a file's stream parameters would.
  TTestStream Stream(Enc->time_base);
  EXPECT_GE(ff::avcodec_parameters_from_context(Stream.Get()->codecpar, Enc), 0);
  CodecContextPtr Dec(ff::avcodec_alloc_context3(Codec));
  EXPECT_GE(ff::avcodec_parameters_to_context(Dec.get(), Stream.Get()->codecpar), 0);
  if (ff::avcodec_open2(Dec.get(), Codec, nullptr) < 0) {
    ADD_FAILURE() << "cannot open decoder " << Codec->name;
    return Out;
  }
  PacketPtr Pkt(ff::av_packet_alloc());
  FramePtr Frame(ff::av_frame_alloc());
  auto Receive = [&] {
    while (ff::avcodec_receive_frame(Dec.get(), Frame.get()) >= 0) {
      const AVSampleFormat Fmt = static_cast<AVSampleFormat>(Frame->format);
      const int Channels = Frame->ch_layout.nb_channels;
      Out.Rate = Frame->sample_rate;
      Out.Channels = Channels;
      if (Out.Samples.size() < static_cast<size_t>(Channels)) Out.Samples.resize(Channels);
      const int Bps = ff::av_get_bytes_per_sample(Fmt);
      const bool Planar = ff::av_sample_fmt_is_planar(Fmt) != 0;
      for (int C = 0; C < Channels; ++C)
        for (int I = 0; I < Frame->nb_samples; ++I) {
          const uint8_t* P = Planar ? Frame->extended_data[C] + static_cast<size_t>(I) * Bps
                                    : Frame->extended_data[0] + (static_cast<size_t>(I) * Channels + C) * Bps;
          Out.Samples[C].push_back(GetValue(Fmt, P));
        }
      ff::av_frame_unref(Frame.get());
    }
  };
  for (const TPacketCopy& P : Packets) {
    std::vector<uint8_t> Padded(P.Data);
    Padded.resize(P.Data.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
    Pkt->data = Padded.data();
    Pkt->size = static_cast<int>(P.Data.size());
    Pkt->pts = P.Pts;
    Pkt->dts = P.Dts;
    Pkt->flags = P.Flags;
    EXPECT_GE(ff::avcodec_send_packet(Dec.get(), Pkt.get()), 0);
    Pkt->data = nullptr;
    Pkt->size = 0;
    Receive();
  }
  ff::avcodec_send_packet(Dec.get(), nullptr);
  Receive();
  return Out;
}

double ToneFrequency(const std::vector<double>& Samples, size_t From, size_t To, int Rate) {
  To = std::min(To, Samples.size());
  size_t First = 0, Last = 0;
  int Crossings = 0;
  for (size_t I = From + 1; I < To; ++I)
    if (Samples[I - 1] < 0 && Samples[I] >= 0) {
      if (Crossings == 0) First = I;
      Last = I;
      ++Crossings;
    }
  if (Crossings < 2) return 0;
  return (Crossings - 1) * static_cast<double>(Rate) / static_cast<double>(Last - First);
}

double Rms(const std::vector<double>& Samples, size_t From, size_t To) {
  To = std::min(To, Samples.size());
  if (To <= From) return 0;
  double Sum = 0;
  for (size_t I = From; I < To; ++I) Sum += Samples[I] * Samples[I];
  return std::sqrt(Sum / static_cast<double>(To - From));
}

}  // namespace vexav::test
