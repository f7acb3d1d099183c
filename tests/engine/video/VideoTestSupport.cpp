#include "engine/video/VideoTestSupport.h"

#include <gtest/gtest.h>

#include "binding/FFmpegLibs.h"

namespace vexav::test {

void LoadLibsOrFail() {
  ASSERT_TRUE(LoadFFmpegLibs("", true)) << LastLoadError();
}

FramePtr MakeFrame(int Width, int Height, AVPixelFormat Fmt) {
  FramePtr F(ff::av_frame_alloc());
  F->width = Width;
  F->height = Height;
  F->format = Fmt;
  if (ff::av_frame_get_buffer(F.get(), 0) < 0) ADD_FAILURE() << "av_frame_get_buffer";
  return F;
}

void FillYuv420(AVFrame& F, const std::function<uint8_t(int, int)>& Luma,
                const std::function<uint8_t(int, int, int)>& Chroma) {
  for (int Y = 0; Y < F.height; ++Y)
    for (int X = 0; X < F.width; ++X) F.data[0][Y * F.linesize[0] + X] = Luma(X, Y);
  for (int P = 1; P <= 2; ++P)
    for (int Y = 0; Y < (F.height + 1) / 2; ++Y)
      for (int X = 0; X < (F.width + 1) / 2; ++X)
        F.data[P][Y * F.linesize[P] + X] = Chroma(P, X, Y);
}

void FillYuv420(AVFrame& F, uint8_t Y, uint8_t U, uint8_t V) {
  FillYuv420(
      F, [Y](int, int) { return Y; }, [U, V](int P, int, int) { return P == 1 ? U : V; });
}

void FillQuadrants(AVFrame& F) {
  const int W = F.width, H = F.height;
  FillYuv420(
      F, [W, H](int X, int Y) { return QuadLuma[(Y >= H / 2 ? 2 : 0) + (X >= W / 2 ? 1 : 0)]; },
      [](int, int, int) { return uint8_t{128}; });
}

void FillMoving(AVFrame& F, int N) {
  FillYuv420(
      F,
      [N](int X, int Y) {
        const int Xs = X + 3 * N;
        const int Ball = ((Xs / 16 + Y / 16) & 1) ? 180 : 70;
        return static_cast<uint8_t>(Ball + ((Xs * 7 + Y * 3) & 15));
      },
      [N](int P, int X, int Y) {
        return static_cast<uint8_t>(P == 1 ? 128 + ((X + N) & 31) - 16 : 128 + ((Y + N) & 15) - 8);
      });
}

TEncoderSetup EncoderSetup(const std::string& Name, int Width, int Height, int Flags,
                           int GlobalQuality, int MaxBFrames) {
  TEncoderSetup S;
  S.Name = Name;
  S.Width = Width;
  S.Height = Height;
  S.Flags = Flags;
  S.GlobalQuality = GlobalQuality;
  S.MaxBFrames = MaxBFrames;
  return S;
}

CodecContextPtr OpenEncoder(const TEncoderSetup& S) {
  const AVCodec* Codec = ff::avcodec_find_encoder_by_name(S.Name.c_str());
  if (!Codec) {
    ADD_FAILURE() << "no encoder " << S.Name;
    return nullptr;
  }
  CodecContextPtr Enc(ff::avcodec_alloc_context3(Codec));
  Enc->width = S.Width;
  Enc->height = S.Height;
  Enc->pix_fmt = S.PixFmt;
  Enc->time_base = S.TimeBase;
  Enc->framerate = AVRational{S.TimeBase.den, S.TimeBase.num};
  Enc->flags |= S.Flags;
  Enc->global_quality = S.GlobalQuality;
  Enc->thread_count = 1;
  if (S.MaxBFrames >= 0) Enc->max_b_frames = S.MaxBFrames;
  if (S.GopSize >= 0) Enc->gop_size = S.GopSize;
  Dictionary Opts;
  for (const auto& [K, V] : S.PrivateOptions) Opts.Set(K.c_str(), V.c_str());
  const int Ret = ff::avcodec_open2(Enc.get(), Codec, Opts.Address());
  if (Ret < 0) {
    ADD_FAILURE() << "cannot open encoder " << S.Name << ": " << Ret;
    return nullptr;
  }
  return Enc;
}

TStoredPacket StorePacket(const AVPacket& P) {
  TStoredPacket S;
  S.Size = P.size;
  S.Data.assign(P.data, P.data + P.size);
  S.Data.resize(static_cast<size_t>(P.size) + AV_INPUT_BUFFER_PADDING_SIZE, 0);
  S.Pts = P.pts;
  S.Dts = P.dts;
  S.Flags = P.flags;
  S.StreamIndex = P.stream_index;
  return S;
}

std::vector<FramePtr> DecodeAll(AVCodecID CodecId, const std::vector<TStoredPacket>& Packets) {
  std::vector<FramePtr> Frames;
  const AVCodec* Codec = ff::avcodec_find_decoder(CodecId);
  if (!Codec) {
    ADD_FAILURE() << "no decoder";
    return Frames;
  }
  CodecContextPtr Dec(ff::avcodec_alloc_context3(Codec));
  Dec->thread_count = 1;
  if (ff::avcodec_open2(Dec.get(), Codec, nullptr) < 0) {
    ADD_FAILURE() << "cannot open decoder";
    return Frames;
  }
  PacketPtr Pkt(ff::av_packet_alloc());
  auto Receive = [&] {
    for (;;) {
      FramePtr F(ff::av_frame_alloc());
      if (ff::avcodec_receive_frame(Dec.get(), F.get()) < 0) return;
      Frames.push_back(std::move(F));
    }
  };
  for (const TStoredPacket& S : Packets) {
    Pkt->data = const_cast<uint8_t*>(S.Data.data());
    Pkt->size = S.Size;
    Pkt->pts = S.Pts;
    Pkt->dts = S.Dts;
    Pkt->flags = S.Flags;
    const int Ret = ff::avcodec_send_packet(Dec.get(), Pkt.get());
    EXPECT_GE(Ret, 0) << "decoding failed";
    Receive();
  }
  ff::avcodec_send_packet(Dec.get(), nullptr);
  Receive();
  return Frames;
}

double MeanOf(const AVFrame& F, int Plane, int X0, int Y0, int W, int H) {
  double Sum = 0;
  for (int Y = Y0; Y < Y0 + H; ++Y)
    for (int X = X0; X < X0 + W; ++X) Sum += F.data[Plane][Y * F.linesize[Plane] + X];
  return Sum / (static_cast<double>(W) * H);
}

}  // namespace vexav::test
