#include "PictureSource.h"

#include "LibSupport.h"
#include "binding/FFmpegLibs.h"
#include "binding/Text.h"

namespace vexav::mediagen {

std::string PictureSource::Open(const std::string& Path) {
  AVFormatContext* Raw = nullptr;
  if (int Ret = ff::avformat_open_input(&Raw, Path.c_str(), nullptr, nullptr); Ret < 0)
    return Format("cannot open '%s': %s", Path.c_str(), ErrorString(Ret).c_str());
  Input.reset(Raw);
  if (int Ret = ff::avformat_find_stream_info(Input.get(), nullptr); Ret < 0)
    return Format("cannot read the streams of '%s': %s", Path.c_str(), ErrorString(Ret).c_str());
  for (unsigned I = 0; I < Input->nb_streams && StreamIndex < 0; ++I)
    if (Input->streams[I]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO)
      StreamIndex = static_cast<int>(I);
  if (StreamIndex < 0) return Format("'%s' has no video stream", Path.c_str());
  const AVCodecParameters* Par = Input->streams[StreamIndex]->codecpar;
  const AVCodec* Codec = ff::avcodec_find_decoder(Par->codec_id);
  if (!Codec) return Format("no decoder for the video of '%s'", Path.c_str());
  Ctx.reset(ff::avcodec_alloc_context3(Codec));
  Packet.reset(ff::av_packet_alloc());
  Frame.reset(ff::av_frame_alloc());
  if (!Ctx || !Packet || !Frame) return "out of memory";
  if (int Ret = ff::avcodec_parameters_to_context(Ctx.get(), Par); Ret < 0)
    return Format("cannot set up the decoder: %s", ErrorString(Ret).c_str());
  Ctx->pkt_timebase = Input->streams[StreamIndex]->time_base;
  Ctx->thread_count = 1;
  if (int Ret = ff::avcodec_open2(Ctx.get(), Codec, nullptr); Ret < 0)
    return Format("cannot open the decoder: %s", ErrorString(Ret).c_str());
  Width = Par->width;
  Height = Par->height;
  return "";
}

bool PictureSource::Next(int W, int H, std::vector<uint8_t>& Luma) {
  for (;;) {
    const int Ret = ff::avcodec_receive_frame(Ctx.get(), Frame.get());
    if (Ret == 0) {
      const bool Taken = Take(W, H, Luma);
      ff::av_frame_unref(Frame.get());
      if (Taken) return true;
      continue;
    }
    if (Ret == AVERROR_EOF) return false;
    if (Ret != AVERROR(EAGAIN)) continue;  // a damaged picture is skipped
    if (Drained) return false;
    // Feed one more packet of the stream, or drain at the end.
    int Read = 0;
    while ((Read = ff::av_read_frame(Input.get(), Packet.get())) >= 0 &&
           Packet->stream_index != StreamIndex)
      ff::av_packet_unref(Packet.get());
    if (Read < 0) {
      Drained = true;
      ff::avcodec_send_packet(Ctx.get(), nullptr);
    } else {
      ff::avcodec_send_packet(Ctx.get(), Packet.get());
      ff::av_packet_unref(Packet.get());
    }
  }
}

bool PictureSource::Take(int W, int H, std::vector<uint8_t>& Luma) {
  if (W <= 0 || H <= 0) {
    W = Frame->width;
    H = Frame->height;
  }
  TakenWidth = W;
  TakenHeight = H;
  Scaler.reset(ff::sws_getCachedContext(Scaler.release(), Frame->width, Frame->height,
                                        static_cast<AVPixelFormat>(Frame->format), W, H,
                                        AV_PIX_FMT_GRAY8, SWS_BICUBIC, nullptr, nullptr, nullptr));
  if (!Scaler) return false;
  Luma.resize(static_cast<size_t>(W) * H);
  uint8_t* Planes[4] = {Luma.data(), nullptr, nullptr, nullptr};
  int Lines[4] = {W, 0, 0, 0};
  ff::sws_scale(Scaler.get(), Frame->data, Frame->linesize, 0, Frame->height, Planes, Lines);
  return true;
}

}  // namespace vexav::mediagen
