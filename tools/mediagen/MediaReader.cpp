// Decode: reads a file back through the libraries' decoders and measures
// what a viewer would see and hear.
#include <cstring>

#include "LibSupport.h"
#include "MarkFinder.h"
#include "MediaGenerator.h"
#include "binding/FFmpegLibs.h"
#include "binding/Owners.h"
#include "binding/Text.h"

namespace vexav::mediagen {
namespace {

constexpr AVRational Microseconds{1, 1000000};

// Whether the picture's luma is its first plane, one byte a pixel.
bool HasLumaPlane(AVPixelFormat Fmt) {
  const AVPixFmtDescriptor* Desc = ff::av_pix_fmt_desc_get(Fmt);
  if (!Desc || Desc->nb_components < 1) return false;
  if (Desc->flags & (AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_PAL | AV_PIX_FMT_FLAG_BITSTREAM | AV_PIX_FMT_FLAG_HWACCEL))
    return false;
  const AVComponentDescriptor& Y = Desc->comp[0];
  return Y.plane == 0 && Y.step == 1 && Y.offset == 0 && Y.shift == 0 && Y.depth == 8;
}

double PlaneMean(const uint8_t* Data, int Linesize, int Width, int Height) {
  if (Width <= 0 || Height <= 0) return 0.0;
  uint64_t Sum = 0;
  for (int Y = 0; Y < Height; ++Y) {
    const uint8_t* Row = Data + static_cast<ptrdiff_t>(Y) * Linesize;
    for (int X = 0; X < Width; ++X) Sum += Row[X];
  }
  return static_cast<double>(Sum) / (static_cast<double>(Width) * Height);
}

struct Decoder {
  int StreamIndex = -1;
  AVStream* Stream = nullptr;
  CodecContextPtr Ctx;
};

class Reader {
 public:
  explicit Reader(DecodedMedia& Out) : Out(Out) {}

  std::string Run(const std::string& Path, int AudioStreamIndex) {
    AVFormatContext* Raw = nullptr;
    if (int Ret = ff::avformat_open_input(&Raw, Path.c_str(), nullptr, nullptr); Ret < 0)
      return Format("cannot open '%s': %s", Path.c_str(), ErrorString(Ret).c_str());
    Input.reset(Raw);
    if (int Ret = ff::avformat_find_stream_info(Input.get(), nullptr); Ret < 0)
      return Format("cannot read the streams of '%s': %s", Path.c_str(), ErrorString(Ret).c_str());
    if (Input->duration != AV_NOPTS_VALUE && Input->duration > 0) Out.DurationUs = Input->duration;
    // Times are counted from the file's start, which is not 0 where the
    // container leaves an encoder's delay out of the time line (MP3 files).
    if (Input->start_time != AV_NOPTS_VALUE) FileStartUs = Input->start_time;

    for (unsigned I = 0; I < Input->nb_streams; ++I) {
      AVStream* St = Input->streams[I];
      if (St->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
        if (Out.VideoStreams++ == 0) Video.StreamIndex = static_cast<int>(I);
      } else if (St->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) {
        if (Out.AudioStreams++ == AudioStreamIndex) Audio.StreamIndex = static_cast<int>(I);
      }
    }
    if (AudioStreamIndex < 0 || (AudioStreamIndex > 0 && Audio.StreamIndex < 0))
      return Format("'%s' has no audio stream %d", Path.c_str(), AudioStreamIndex);
    if (Video.StreamIndex < 0 && Audio.StreamIndex < 0)
      return Format("'%s' has neither video nor audio", Path.c_str());
    if (std::string Problem = OpenDecoder(Video); !Problem.empty()) return Problem;
    if (std::string Problem = OpenDecoder(Audio); !Problem.empty()) return Problem;
    if (Video.Ctx) {
      Out.VideoCodecName = ff::avcodec_get_name(Video.Ctx->codec_id);
      AVRational Rate = Video.Stream->avg_frame_rate.num > 0 ? Video.Stream->avg_frame_rate : Video.Stream->r_frame_rate;
      if (Rate.num > 0 && Rate.den > 0) {
        Out.FrameRateNum = Rate.num;
        Out.FrameRateDen = Rate.den;
      }
    }
    if (Audio.Ctx) {
      Out.AudioCodecName = ff::avcodec_get_name(Audio.Ctx->codec_id);
      Out.AudioSampleRate = Audio.Ctx->sample_rate;
      Out.AudioChannels = Audio.Ctx->ch_layout.nb_channels;
      Clicks = std::make_unique<ClickFinder>(Audio.Ctx->sample_rate);
    }

    PacketPtr Packet(ff::av_packet_alloc());
    Frame.reset(ff::av_frame_alloc());
    if (!Packet || !Frame) return "out of memory";
    for (;;) {
      const int Ret = ff::av_read_frame(Input.get(), Packet.get());
      if (Ret == AVERROR_EOF) break;
      if (Ret < 0) return Format("cannot read '%s': %s", Path.c_str(), ErrorString(Ret).c_str());
      Decoder* D = Packet->stream_index == Video.StreamIndex   ? &Video
                   : Packet->stream_index == Audio.StreamIndex ? &Audio
                                                               : nullptr;
      std::string Problem = D ? Feed(*D, Packet.get()) : "";
      ff::av_packet_unref(Packet.get());
      if (!Problem.empty()) return Problem;
    }
    for (Decoder* D : {&Video, &Audio})
      if (D->Ctx)
        if (std::string Problem = Feed(*D, nullptr); !Problem.empty()) return Problem;

    Out.FlashTimesUs = FindFlashes(Out.Frames);
    if (Clicks)
      for (int64_t Sample : Clicks->Clicks())
        Out.ClickSampleTimesUs.push_back(AudioStartUs + Sample * 1000000 / Out.AudioSampleRate);
    Out.ToneHz = Tone.Hz(Out.AudioSampleRate);
    return "";
  }

 private:
  std::string OpenDecoder(Decoder& D) {
    if (D.StreamIndex < 0) return "";
    D.Stream = Input->streams[D.StreamIndex];
    const AVCodec* Codec = ff::avcodec_find_decoder(D.Stream->codecpar->codec_id);
    if (!Codec)
      return Format("no decoder for stream %d (%s)", D.StreamIndex, ff::avcodec_get_name(D.Stream->codecpar->codec_id));
    D.Ctx.reset(ff::avcodec_alloc_context3(Codec));
    if (!D.Ctx) return "out of memory";
    if (int Ret = ff::avcodec_parameters_to_context(D.Ctx.get(), D.Stream->codecpar); Ret < 0)
      return Format("cannot set up the decoder of stream %d: %s", D.StreamIndex, ErrorString(Ret).c_str());
    D.Ctx->pkt_timebase = D.Stream->time_base;
    D.Ctx->thread_count = 1;
    if (int Ret = ff::avcodec_open2(D.Ctx.get(), Codec, nullptr); Ret < 0)
      return Format("cannot open decoder '%s': %s", Codec->name, ErrorString(Ret).c_str());
    return "";
  }

  // Sends one packet (nullptr drains) and takes every frame that comes out.
  // A damaged packet is skipped, as a player would.
  std::string Feed(Decoder& D, const AVPacket* Packet) {
    int Ret = ff::avcodec_send_packet(D.Ctx.get(), Packet);
    if (Ret < 0 && Ret != AVERROR(EAGAIN) && Ret != AVERROR_EOF) {
      if (Ret == AVERROR(ENOMEM)) return "out of memory";
      return "";
    }
    for (;;) {
      Ret = ff::avcodec_receive_frame(D.Ctx.get(), Frame.get());
      if (Ret == AVERROR(EAGAIN) || Ret == AVERROR_EOF) return "";
      if (Ret < 0) {
        if (Ret == AVERROR(ENOMEM)) return "out of memory";
        continue;
      }
      std::string Problem = &D == &Video ? TakePicture(D) : TakeSound(D);
      ff::av_frame_unref(Frame.get());
      if (!Problem.empty()) return Problem;
    }
  }

  std::string TakePicture(Decoder& D) {
    DecodedVideoFrame Shown{};
    Shown.Width = Frame->width;
    Shown.Height = Frame->height;
    int64_t Ts = Frame->best_effort_timestamp;
    if (Ts != AV_NOPTS_VALUE) {
      Shown.PtsUs = ff::av_rescale_q(Ts, D.Stream->time_base, Microseconds) - FileStartUs;
    } else if (Out.FrameRateNum > 0) {
      Shown.PtsUs = static_cast<int64_t>(Out.Frames.size()) * Out.FrameRateDen * 1000000 / Out.FrameRateNum;
    } else {
      Shown.PtsUs = Out.Frames.empty() ? 0 : Out.Frames.back().PtsUs;
    }
    const auto Fmt = static_cast<AVPixelFormat>(Frame->format);
    if (Out.PixelFormat.empty()) {
      const char* Name = ff::av_get_pix_fmt_name(Fmt);
      Out.PixelFormat = Name ? Name : "";
    }
    if (HasLumaPlane(Fmt)) {
      Shown.MeanLuma = PlaneMean(Frame->data[0], Frame->linesize[0], Frame->width, Frame->height);
    } else {
      // Anything else is measured through a conversion to 4:2:0.
      Scaler.reset(ff::sws_getCachedContext(Scaler.release(), Frame->width, Frame->height, Fmt, Frame->width,
                                            Frame->height, AV_PIX_FMT_YUV420P, SWS_BILINEAR, nullptr, nullptr,
                                            nullptr));
      if (!Scaler) return Format("cannot measure pictures in format %d", Frame->format);
      FramePtr Yuv(ff::av_frame_alloc());
      if (!Yuv) return "out of memory";
      Yuv->format = AV_PIX_FMT_YUV420P;
      Yuv->width = Frame->width;
      Yuv->height = Frame->height;
      if (int Ret = ff::av_frame_get_buffer(Yuv.get(), 0); Ret < 0) return "out of memory";
      ff::sws_scale(Scaler.get(), Frame->data, Frame->linesize, 0, Frame->height, Yuv->data, Yuv->linesize);
      Shown.MeanLuma = PlaneMean(Yuv->data[0], Yuv->linesize[0], Yuv->width, Yuv->height);
    }
    Out.Frames.push_back(Shown);
    return "";
  }

  std::string TakeSound(Decoder& D) {
    const auto Fmt = static_cast<AVSampleFormat>(Frame->format);
    if (!SampleFormatKnown(Fmt)) return Format("cannot read sample format %d", Frame->format);
    if (Out.AudioSamples == 0 && Frame->best_effort_timestamp != AV_NOPTS_VALUE)
      AudioStartUs = ff::av_rescale_q(Frame->best_effort_timestamp, D.Stream->time_base, Microseconds) - FileStartUs;
    const int Channels = Frame->ch_layout.nb_channels;
    for (int I = 0; I < Frame->nb_samples; ++I) {
      double Peak = 0.0;
      for (int C = 0; C < Channels; ++C) {
        const double V = ReadSample(*Frame, Channels, C, I);
        if (C == 0) Tone.Add(V);
        Peak = std::max(Peak, V < 0 ? -V : V);
      }
      Clicks->Add(Peak);
    }
    Out.AudioSamples += Frame->nb_samples;
    return "";
  }

  DecodedMedia& Out;
  InputFormatPtr Input;
  Decoder Video, Audio;
  FramePtr Frame;
  ScalerPtr Scaler;
  std::unique_ptr<ClickFinder> Clicks;
  ToneMeter Tone;
  int64_t FileStartUs = 0;
  int64_t AudioStartUs = 0;
};

}  // namespace

int64_t StatedDurationUs(const std::string& Path) {
  if (!FFmpegLibsLoaded()) return 0;
  AVFormatContext* Raw = nullptr;
  if (ff::avformat_open_input(&Raw, Path.c_str(), nullptr, nullptr) < 0) return 0;
  InputFormatPtr Input(Raw);
  if (ff::avformat_find_stream_info(Input.get(), nullptr) < 0) return 0;
  return Input->duration != AV_NOPTS_VALUE && Input->duration > 0 ? Input->duration : 0;
}

DecodedMedia Decode(const std::string& Path, int AudioStreamIndex) {
  DecodedMedia Out;
  if (!FFmpegLibsLoaded()) {
    Out.Error = "the media libraries are not loaded";
    return Out;
  }
  try {
    Reader R(Out);
    Out.Error = R.Run(Path, AudioStreamIndex);
  } catch (const std::exception& E) {
    Out.Error = E.what();
  }
  return Out;
}

}  // namespace vexav::mediagen
