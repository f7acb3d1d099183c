// Clicks in a decoded sound stream, found the way a listener would hear
// them through a transform codec's pre-echo.
#include <cmath>

#include "MarkFinder.h"
#include "binding/FFmpegLibs.h"
#include "binding/Owners.h"

namespace vexav::mediagen {

std::vector<int64_t> ReadClickTimesUs(const std::string& Path) {
  std::vector<int64_t> Clicks;
  AVFormatContext* Raw = nullptr;
  if (ff::avformat_open_input(&Raw, Path.c_str(), nullptr, nullptr) < 0) return Clicks;
  InputFormatPtr File(Raw);
  if (ff::avformat_find_stream_info(File.get(), nullptr) < 0) return Clicks;
  int Index = -1;
  for (unsigned I = 0; I < File->nb_streams && Index < 0; ++I)
    if (File->streams[I]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) Index = static_cast<int>(I);
  if (Index < 0) return Clicks;
  const AVStream* Stream = File->streams[Index];
  const int64_t Start = File->start_time != AV_NOPTS_VALUE ? File->start_time : 0;
  const AVCodec* Codec = ff::avcodec_find_decoder(Stream->codecpar->codec_id);
  CodecContextPtr Dec(ff::avcodec_alloc_context3(Codec));
  if (!Codec || !Dec || ff::avcodec_parameters_to_context(Dec.get(), Stream->codecpar) < 0)
    return Clicks;
  Dec->pkt_timebase = Stream->time_base;
  if (ff::avcodec_open2(Dec.get(), Codec, nullptr) < 0) return Clicks;
  PacketPtr Packet(ff::av_packet_alloc());
  FramePtr Frame(ff::av_frame_alloc());
  int64_t LastLoudUs = INT64_MIN / 2;
  int64_t NextUs = 0;
  auto Take = [&]() {
    while (ff::avcodec_receive_frame(Dec.get(), Frame.get()) >= 0) {
      const int Rate = Frame->sample_rate;
      int64_t FrameUs = NextUs;
      if (Frame->best_effort_timestamp != AV_NOPTS_VALUE)
        FrameUs = ff::av_rescale_q(Frame->best_effort_timestamp, Stream->time_base,
                                   AVRational{1, 1000000}) -
                  Start;
      const int Channels = Frame->ch_layout.nb_channels;
      const auto Format = static_cast<AVSampleFormat>(Frame->format);
      for (int N = 0; N < Frame->nb_samples; ++N) {
        double V = 0;
        if (Format == AV_SAMPLE_FMT_S16)
          V = reinterpret_cast<const int16_t*>(Frame->data[0])[N * Channels] / 32768.0;
        else if (Format == AV_SAMPLE_FMT_S16P)
          V = reinterpret_cast<const int16_t*>(Frame->extended_data[0])[N] / 32768.0;
        else if (Format == AV_SAMPLE_FMT_FLTP)
          V = reinterpret_cast<const float*>(Frame->extended_data[0])[N];
        else if (Format == AV_SAMPLE_FMT_FLT)
          V = reinterpret_cast<const float*>(Frame->data[0])[N * Channels];
        if (std::fabs(V) <= 0.6) continue;
        const int64_t Us = FrameUs + int64_t{N} * 1000000 / Rate;
        if (Us - LastLoudUs >= 100000) Clicks.push_back(Us);
        LastLoudUs = Us;
      }
      NextUs = FrameUs + int64_t{Frame->nb_samples} * 1000000 / Rate;
      ff::av_frame_unref(Frame.get());
    }
  };
  while (ff::av_read_frame(File.get(), Packet.get()) >= 0) {
    if (Packet->stream_index == Index && ff::avcodec_send_packet(Dec.get(), Packet.get()) >= 0)
      Take();
    ff::av_packet_unref(Packet.get());
  }
  ff::avcodec_send_packet(Dec.get(), nullptr);
  Take();
  return Clicks;
}

}  // namespace vexav::mediagen
