// vexav-codec-floor: the memory the codecs of a conversion hold by
// themselves, as a floor for the converter's own figure.
//
//   vexav-codec-floor [--threads N] INPUT
//
// Loads the media libraries as the programs do, opens INPUT, decodes its
// first video stream and its first audio stream, and encodes the pictures
// with libx264 as the MPEG-4 preset does (the source's size, 1500 kbit/s,
// 29.97 frames/s time base, yuv420p, the encoder's own defaults otherwise:
// look-ahead and B-frames included); the sound is only decoded. Packets are
// dropped, nothing is written. Its peak resident memory is the libraries'
// code plus what the demuxer, the decoders and the encoder hold: all a
// conversion needs, without the engine, the muxer and the audio encoder.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "binding/Api.h"
#include "binding/FFmpegLibs.h"
#include "binding/Owners.h"

namespace {

using namespace vexav;

int Fail(const std::string& Text) {
  std::fprintf(stderr, "vexav-codec-floor: %s\n", Text.c_str());
  return 1;
}

CodecContextPtr OpenDecoder(const AVStream* Stream, int Threads) {
  const AVCodec* Decoder = ff::avcodec_find_decoder(Stream->codecpar->codec_id);
  if (!Decoder) return nullptr;
  CodecContextPtr Context(ff::avcodec_alloc_context3(Decoder));
  if (!Context || ff::avcodec_parameters_to_context(Context.get(), Stream->codecpar) < 0)
    return nullptr;
  Context->pkt_timebase = Stream->time_base;
  Context->thread_count = Threads;
  if (ff::avcodec_open2(Context.get(), Decoder, nullptr) < 0) return nullptr;
  return Context;
}

}  // namespace

int main(int argc, char* argv[]) {
  int Threads = 1;
  std::string Input;
  for (int I = 1; I < argc; ++I) {
    if (std::strcmp(argv[I], "--threads") == 0 && I + 1 < argc)
      Threads = std::atoi(argv[++I]);
    else
      Input = argv[I];
  }
  if (Input.empty()) return Fail("usage: vexav-codec-floor [--threads N] INPUT");
  if (!LoadFFmpegLibs("", true)) return Fail(LastLoadError());
  ff::av_log_set_level(AV_LOG_QUIET);

  AVFormatContext* Raw = nullptr;
  if (ff::avformat_open_input(&Raw, Input.c_str(), nullptr, nullptr) < 0)
    return Fail("cannot open " + Input);
  InputFormatPtr File(Raw);
  if (ff::avformat_find_stream_info(File.get(), nullptr) < 0) return Fail("no stream information");
  int VideoIndex = -1, AudioIndex = -1;
  for (unsigned S = 0; S < File->nb_streams; ++S) {
    const AVMediaType Type = File->streams[S]->codecpar->codec_type;
    if (Type == AVMEDIA_TYPE_VIDEO && VideoIndex < 0) VideoIndex = static_cast<int>(S);
    if (Type == AVMEDIA_TYPE_AUDIO && AudioIndex < 0) AudioIndex = static_cast<int>(S);
  }
  if (VideoIndex < 0) return Fail("no video stream");
  CodecContextPtr VideoDec = OpenDecoder(File->streams[VideoIndex], Threads);
  CodecContextPtr AudioDec =
      AudioIndex >= 0 ? OpenDecoder(File->streams[AudioIndex], Threads) : nullptr;
  if (!VideoDec) return Fail("cannot open the video decoder");

  const AVCodec* X264 = ff::avcodec_find_encoder_by_name("libx264");
  if (!X264) return Fail("no libx264 encoder");
  CodecContextPtr Enc(ff::avcodec_alloc_context3(X264));
  if (!Enc) return Fail("out of memory");
  Enc->width = VideoDec->width;
  Enc->height = VideoDec->height;
  Enc->pix_fmt = AV_PIX_FMT_YUV420P;
  Enc->sample_aspect_ratio = VideoDec->sample_aspect_ratio;
  Enc->time_base = AVRational{100, 2997};
  Enc->framerate = AVRational{2997, 100};
  Enc->bit_rate = 1500000;
  Enc->thread_count = Threads;
  if (ff::avcodec_open2(Enc.get(), X264, nullptr) < 0) return Fail("cannot open libx264");

  PacketPtr Packet(ff::av_packet_alloc());
  PacketPtr Coded(ff::av_packet_alloc());
  FramePtr Frame(ff::av_frame_alloc());
  if (!Packet || !Coded || !Frame) return Fail("out of memory");
  int64_t Pictures = 0, CodedPackets = 0;
  auto Drain = [&] {
    while (ff::avcodec_receive_packet(Enc.get(), Coded.get()) >= 0) {
      ++CodedPackets;
      ff::av_packet_unref(Coded.get());
    }
  };
  // Every frame the decoder has ready; pictures go to the encoder.
  auto Receive = [&](AVCodecContext* Dec, bool Video) {
    while (ff::avcodec_receive_frame(Dec, Frame.get()) >= 0) {
      if (Video) {
        Frame->pts = Pictures++;
        Frame->pict_type = AV_PICTURE_TYPE_NONE;
        if (ff::avcodec_send_frame(Enc.get(), Frame.get()) < 0) return false;
        Drain();
      }
      ff::av_frame_unref(Frame.get());
    }
    return true;
  };
  while (ff::av_read_frame(File.get(), Packet.get()) >= 0) {
    AVCodecContext* Dec = Packet->stream_index == VideoIndex   ? VideoDec.get()
                          : Packet->stream_index == AudioIndex ? AudioDec.get()
                                                               : nullptr;
    if (Dec && Packet->size > 0 && ff::avcodec_send_packet(Dec, Packet.get()) >= 0 &&
        !Receive(Dec, Dec == VideoDec.get()))
      return Fail("encoding failed");
    ff::av_packet_unref(Packet.get());
  }
  ff::avcodec_send_packet(VideoDec.get(), nullptr);
  if (!Receive(VideoDec.get(), true)) return Fail("encoding failed");
  ff::avcodec_send_frame(Enc.get(), nullptr);
  Drain();
  std::printf("%lld pictures, %lld packets\n", static_cast<long long>(Pictures),
              static_cast<long long>(CodedPackets));
  return 0;
}
