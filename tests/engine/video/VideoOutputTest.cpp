// The video output of one stream with real encoders: frame-rate rule, crop,
// scale, pad, encoding, packets and their statistics, decoded back.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <set>
#include <utility>
#include <vector>

#include "engine/FFMpegException.h"
#include "engine/picture/PadColor.h"
#include "engine/video/VideoOutput.h"
#include "engine/video/VideoTestSupport.h"

namespace vexav {
namespace {

using test::TEncoderSetup;
using test::TStoredPacket;

// An encoder, an output stream, the packets written and the log lines.
struct TRig {
  CodecContextPtr Enc;
  AVStream Stream{};
  std::vector<TStoredPacket> Packets;
  std::vector<TCodedPictureStats> PacketStats;
  std::vector<std::pair<int, std::string>> Logs;
  std::unique_ptr<TVideoOutput> Out;
  TVideoWriteResult Total;

  explicit TRig(const TEncoderSetup& Setup) {
    Enc = test::OpenEncoder(Setup);
    Stream.index = 3;
    Stream.time_base = AVRational{1, 12800};
  }
  TVideoOutputConfig Config() {
    TVideoOutputConfig C;
    C.Encoder = Enc.get();
    C.Stream = &Stream;
    C.WritePacket = [this](AVPacket* P) {
      Packets.push_back(test::StorePacket(*P));
      PacketStats.push_back(ReadQualityStats(*P));
    };
    C.Log = [this](int Level, const std::string& Text) { Logs.emplace_back(Level, Text); };
    return C;
  }
  void Start(TVideoOutputConfig C) { Out = std::make_unique<TVideoOutput>(std::move(C)); }
  void Start() { Start(Config()); }
  TVideoWriteResult Write(const AVFrame* F, double T) { return Add(Out->Write(F, T)); }
  TVideoWriteResult Flush() { return Add(Out->Flush()); }
  TVideoWriteResult Add(const TVideoWriteResult& R) {
    Total.Count += R.Count;
    Total.BytesWritten += R.BytesWritten;
    Total.PacketsWritten += R.PacketsWritten;
    Total.Dropped += R.Dropped;
    Total.Duplicated += R.Duplicated;
    return R;
  }
  std::vector<FramePtr> Decode() { return test::DecodeAll(Enc->codec_id, Packets); }
};

class VideoOutputTest : public ::testing::Test {
 protected:
  void SetUp() override { test::LoadLibsOrFail(); }
};

void ExpectQuadrants(const AVFrame& F, int SplitX, int SplitY, int Tolerance = 8) {
  const int M = 6;  // keep away from the edges, where coding rings
  EXPECT_NEAR(test::MeanOf(F, 0, 0, 0, SplitX - M, SplitY - M), test::QuadLuma[0], Tolerance);
  EXPECT_NEAR(test::MeanOf(F, 0, SplitX + M, 0, F.width - SplitX - M, SplitY - M),
              test::QuadLuma[1], Tolerance);
  EXPECT_NEAR(test::MeanOf(F, 0, 0, SplitY + M, SplitX - M, F.height - SplitY - M),
              test::QuadLuma[2], Tolerance);
  EXPECT_NEAR(
      test::MeanOf(F, 0, SplitX + M, SplitY + M, F.width - SplitX - M, F.height - SplitY - M),
      test::QuadLuma[3], Tolerance);
}

TEST_F(VideoOutputTest, Mpeg4PicturesDecodeBackWithStreamTimeStamps) {
  TRig Rig(test::EncoderSetup("mpeg4", 320, 240, AV_CODEC_FLAG_QSCALE, 2 * 118));
  ASSERT_TRUE(Rig.Enc);
  Rig.Start();
  FramePtr In = test::MakeFrame(320, 240);
  test::FillQuadrants(*In);
  int LastSize = 0;
  for (int N = 0; N < 10; ++N) {
    const TVideoWriteResult R = Rig.Write(In.get(), N / 25.0);
    EXPECT_EQ(R.Count, 1);
    if (R.PacketsWritten) {
      EXPECT_EQ(R.FrameSize, Rig.Packets.back().Size);
      LastSize = R.FrameSize;
    }
  }
  EXPECT_GT(LastSize, 0);
  Rig.Flush();
  EXPECT_EQ(Rig.Out->FrameNumber(), 10);
  EXPECT_EQ(Rig.Out->SyncPts(), 10);
  ASSERT_EQ(Rig.Packets.size(), 10u);
  int64_t Bytes = 0;
  for (size_t I = 0; I < Rig.Packets.size(); ++I) {
    EXPECT_EQ(Rig.Packets[I].StreamIndex, 3);
    EXPECT_EQ(Rig.Packets[I].Pts, static_cast<int64_t>(I) * 512);  // 1/25 s in 1/12800
    EXPECT_EQ(Rig.Packets[I].Dts, static_cast<int64_t>(I) * 512);
    Bytes += Rig.Packets[I].Size;
  }
  EXPECT_TRUE(Rig.Packets[0].Flags & AV_PKT_FLAG_KEY);
  EXPECT_EQ(Rig.Total.BytesWritten, Bytes);
  EXPECT_EQ(Rig.Out->TotalBytes(), Bytes);
  const auto Frames = Rig.Decode();
  ASSERT_EQ(Frames.size(), 10u);
  for (const auto& F : Frames) {
    EXPECT_EQ(F->width, 320);
    EXPECT_EQ(F->height, 240);
    ExpectQuadrants(*F, 160, 120);
  }
  // Writing after the flush does nothing; flushing again neither.
  EXPECT_EQ(Rig.Write(In.get(), 0.4).Count, 0);
  EXPECT_EQ(Rig.Flush().PacketsWritten, 0);
}

TEST_F(VideoOutputTest, PictureWithoutBufferReferencesIsEncoded) {
  TRig Rig(test::EncoderSetup("mpeg4", 320, 240, AV_CODEC_FLAG_QSCALE, 2 * 118));
  ASSERT_TRUE(Rig.Enc);
  Rig.Start();
  FramePtr Source = test::MakeFrame(320, 240);
  test::FillQuadrants(*Source);
  for (int N = 0; N < 3; ++N) {
    // The caller's own memory: valid during the call only.
    std::vector<uint8_t> Y(320 * 240), U(160 * 120), V(160 * 120);
    for (int R = 0; R < 240; ++R)
      std::copy_n(Source->data[0] + R * Source->linesize[0], 320, &Y[R * 320]);
    std::fill(U.begin(), U.end(), 128);
    std::fill(V.begin(), V.end(), 128);
    FramePtr Plain(ff::av_frame_alloc());
    Plain->format = AV_PIX_FMT_YUV420P;
    Plain->width = 320;
    Plain->height = 240;
    Plain->data[0] = Y.data();
    Plain->data[1] = U.data();
    Plain->data[2] = V.data();
    Plain->linesize[0] = 320;
    Plain->linesize[1] = Plain->linesize[2] = 160;
    Rig.Write(Plain.get(), N / 25.0);
    std::fill(Y.begin(), Y.end(), 0);  // gone after the call
  }
  Rig.Flush();
  const auto Frames = Rig.Decode();
  ASSERT_EQ(Frames.size(), 3u);
  for (const auto& F : Frames) ExpectQuadrants(*F, 160, 120);
}

TEST_F(VideoOutputTest, ScalesToTheEncoderSize) {
  TRig Rig(test::EncoderSetup("mpeg4", 160, 120, AV_CODEC_FLAG_QSCALE, 2 * 118));
  ASSERT_TRUE(Rig.Enc);
  ScalerPtr Scaler = MakeOutputScaler(320, 240, AV_PIX_FMT_YUV420P, 0, 0, 0, 0, 160, 120,
                                      AV_PIX_FMT_YUV420P, 0, 0, 0, 0, SWS_BICUBIC);
  ASSERT_TRUE(Scaler);
  TVideoOutputConfig C = Rig.Config();
  C.VideoResample = true;
  C.ScaleContext = Scaler.get();
  C.ResampleHeight = 240;
  Rig.Start(std::move(C));
  FramePtr In = test::MakeFrame(320, 240);
  test::FillQuadrants(*In);
  for (int N = 0; N < 4; ++N) Rig.Write(In.get(), N / 25.0);
  Rig.Flush();
  const auto Frames = Rig.Decode();
  ASSERT_EQ(Frames.size(), 4u);
  for (const auto& F : Frames) {
    EXPECT_EQ(F->width, 160);
    EXPECT_EQ(F->height, 120);
    ExpectQuadrants(*F, 80, 60);
  }
}

TEST_F(VideoOutputTest, CropsTheInputPicture) {
  FramePtr In = test::MakeFrame(320, 240);
  test::FillQuadrants(*In);
  struct TCase {
    int Top, Left, SplitX, SplitY;
  };
  // The centre window: all four quadrants meet at (160 - 96, 120 - 64).
  for (const TCase& K : {TCase{64, 96, 64, 56}, TCase{120, 160, 0, 0}}) {
    SCOPED_TRACE(K.Top);
    TRig Rig(test::EncoderSetup("mpeg4", 160, 120, AV_CODEC_FLAG_QSCALE, 2 * 118));
    ASSERT_TRUE(Rig.Enc);
    TVideoOutputConfig C = Rig.Config();
    C.VideoCrop = true;
    C.CropTop = K.Top;
    C.CropLeft = K.Left;
    Rig.Start(std::move(C));
    for (int N = 0; N < 3; ++N) Rig.Write(In.get(), N / 25.0);
    Rig.Flush();
    const auto Frames = Rig.Decode();
    ASSERT_EQ(Frames.size(), 3u);
    for (const auto& F : Frames) {
      EXPECT_EQ(F->width, 160);
      if (K.SplitX) {
        ExpectQuadrants(*F, K.SplitX, K.SplitY);
      } else {
        EXPECT_NEAR(test::MeanOf(*F, 0, 0, 0, 160, 120), test::QuadLuma[3], 4);
      }
    }
  }
  // The input picture is only read.
  EXPECT_EQ(In->data[0][0], test::QuadLuma[0]);
}

TEST_F(VideoOutputTest, CropThenScale) {
  // Crop the bottom-right quadrant (160x120 from 320x240) and enlarge it.
  TRig Rig(test::EncoderSetup("mpeg4", 320, 240, AV_CODEC_FLAG_QSCALE, 2 * 118));
  ASSERT_TRUE(Rig.Enc);
  ScalerPtr Scaler = MakeOutputScaler(320, 240, AV_PIX_FMT_YUV420P, 120, 0, 160, 0, 320, 240,
                                      AV_PIX_FMT_YUV420P, 0, 0, 0, 0, SWS_BICUBIC);
  TVideoOutputConfig C = Rig.Config();
  C.VideoCrop = true;
  C.CropTop = 120;
  C.CropLeft = 160;
  C.VideoResample = true;
  C.ScaleContext = Scaler.get();
  C.ResampleHeight = 120;
  Rig.Start(std::move(C));
  FramePtr In = test::MakeFrame(320, 240);
  test::FillQuadrants(*In);
  Rig.Write(In.get(), 0);
  Rig.Flush();
  const auto Frames = Rig.Decode();
  ASSERT_EQ(Frames.size(), 1u);
  EXPECT_NEAR(test::MeanOf(*Frames[0], 0, 0, 0, 320, 240), test::QuadLuma[3], 4);
}

// Band and inner means of a decoded padded picture.
void ExpectPadded(const AVFrame& F, int Top, int Bottom, int Left, int Right, const int Color[3],
                  int InnerY) {
  const int W = F.width, H = F.height;
  const int M = 4;
  EXPECT_NEAR(test::MeanOf(F, 0, 0, 0, W, Top - M), Color[0], 6);
  EXPECT_NEAR(test::MeanOf(F, 0, 0, H - Bottom + M, W, Bottom - M), Color[0], 6);
  EXPECT_NEAR(test::MeanOf(F, 0, 0, Top + M, Left - M, H - Top - Bottom - 2 * M), Color[0], 6);
  EXPECT_NEAR(test::MeanOf(F, 0, W - Right + M, Top + M, Right - M, H - Top - Bottom - 2 * M),
              Color[0], 6);
  EXPECT_NEAR(test::MeanOf(F, 1, 0, 0, W / 2, Top / 2 - 2), Color[1], 6);
  EXPECT_NEAR(test::MeanOf(F, 2, 0, 0, W / 2, Top / 2 - 2), Color[2], 6);
  EXPECT_NEAR(test::MeanOf(F, 2, 0, 0, Left / 2 - 2, H / 2), Color[2], 6);
  if (InnerY >= 0) {
    EXPECT_NEAR(
        test::MeanOf(F, 0, Left + M, Top + M, W - Left - Right - 2 * M, H - Top - Bottom - 2 * M),
        InnerY, 4);
  }
}

TEST_F(VideoOutputTest, PadsBandsWithTheColour) {
  TRig Rig(test::EncoderSetup("mpeg4", 320, 240, AV_CODEC_FLAG_QSCALE, 2 * 118));
  ASSERT_TRUE(Rig.Enc);
  int Red[3];
  PadColorFromRGB(0x0000FF, Red);  // 76, 85, 255
  TVideoOutputConfig C = Rig.Config();
  C.PadTop = 16;
  C.PadBottom = 16;
  C.PadLeft = 32;
  C.PadRight = 32;
  C.PadColor = {Red[0], Red[1], Red[2]};
  Rig.Start(std::move(C));
  FramePtr In = test::MakeFrame(256, 208);
  test::FillYuv420(*In, 128, 128, 128);
  for (int N = 0; N < 3; ++N) Rig.Write(In.get(), N / 25.0);
  Rig.Flush();
  const auto Frames = Rig.Decode();
  ASSERT_EQ(Frames.size(), 3u);
  for (const auto& F : Frames) {
    EXPECT_EQ(F->width, 320);
    ExpectPadded(*F, 16, 16, 32, 32, Red, 128);
  }
}

TEST_F(VideoOutputTest, ScalesIntoTheInnerRectangleAndPads) {
  TRig Rig(test::EncoderSetup("mpeg4", 320, 240, AV_CODEC_FLAG_QSCALE, 2 * 118));
  ASSERT_TRUE(Rig.Enc);
  const int Color[3] = {235, 128, 128};
  ScalerPtr Scaler = MakeOutputScaler(320, 240, AV_PIX_FMT_YUV420P, 0, 0, 0, 0, 320, 240,
                                      AV_PIX_FMT_YUV420P, 16, 16, 32, 32, SWS_BICUBIC);
  TVideoOutputConfig C = Rig.Config();
  C.PadTop = C.PadBottom = 16;
  C.PadLeft = C.PadRight = 32;
  C.PadColor = {Color[0], Color[1], Color[2]};
  C.VideoResample = true;
  C.ScaleContext = Scaler.get();
  C.ResampleHeight = 240;
  Rig.Start(std::move(C));
  FramePtr In = test::MakeFrame(320, 240);
  test::FillQuadrants(*In);
  Rig.Write(In.get(), 0);
  Rig.Flush();
  const auto Frames = Rig.Decode();
  ASSERT_EQ(Frames.size(), 1u);
  ExpectPadded(*Frames[0], 16, 16, 32, 32, Color, -1);
  // The quadrants are inside: they meet at the inner rectangle's centre.
  const AVFrame& F = *Frames[0];
  EXPECT_NEAR(test::MeanOf(F, 0, 40, 24, 80, 80), test::QuadLuma[0], 8);
  EXPECT_NEAR(test::MeanOf(F, 0, 200, 136, 80, 80), test::QuadLuma[3], 8);
}

TEST_F(VideoOutputTest, PaddedPicturesWithBFramesComeBackInOrder) {
  // B-frames make the encoder hold pictures back and reorder them; every
  // picture has its own level, which must come back in display order.
  TRig Rig(test::EncoderSetup("mpeg4", 320, 240, AV_CODEC_FLAG_QSCALE, 2 * 118, 2));
  ASSERT_TRUE(Rig.Enc);
  const int Color[3] = {16, 128, 128};
  TVideoOutputConfig C = Rig.Config();
  C.PadTop = C.PadBottom = 16;
  C.PadLeft = C.PadRight = 16;
  Rig.Start(std::move(C));
  FramePtr In = test::MakeFrame(288, 208);
  const int Count = 12;
  for (int N = 0; N < Count; ++N) {
    const auto Level = static_cast<uint8_t>(40 + 15 * N);
    test::FillYuv420(*In, Level, 128, 128);
    Rig.Write(In.get(), N / 25.0);
  }
  Rig.Flush();
  const auto Frames = Rig.Decode();
  ASSERT_EQ(Frames.size(), static_cast<size_t>(Count));
  for (int N = 0; N < Count; ++N) {
    SCOPED_TRACE(N);
    ExpectPadded(*Frames[static_cast<size_t>(N)], 16, 16, 16, 16, Color, 40 + 15 * N);
  }
  bool SawB = false;
  for (const auto& S : Rig.PacketStats) SawB = SawB || S.PictType == AV_PICTURE_TYPE_B;
  EXPECT_TRUE(SawB);
}

// The "wrapped_avframe" encoder puts a reference to the very frame it was
// given into its packet: what the encoder was handed can be inspected, and
// packets held by a muxer keep those buffers.
struct THeldPackets {
  std::vector<PacketPtr> Packets;
  // Takes the packet's reference, as a muxer queueing it does.
  void Take(AVPacket* P) {
    PacketPtr Mine(ff::av_packet_alloc());
    *Mine = *P;
    P->buf = nullptr;
    P->side_data = nullptr;
    P->side_data_elems = 0;
    P->data = nullptr;
    P->size = 0;
    Packets.push_back(std::move(Mine));
  }
  const AVFrame& Frame(size_t I) const {
    return *reinterpret_cast<const AVFrame*>(Packets[I]->data);
  }
};

TEST_F(VideoOutputTest, ScratchPictureHeldDownstreamIsNotOverwritten) {
  TRig Rig(test::EncoderSetup("wrapped_avframe"));
  ASSERT_TRUE(Rig.Enc);
  THeldPackets Held;
  TVideoOutputConfig C = Rig.Config();
  C.PadTop = C.PadBottom = C.PadLeft = C.PadRight = 16;
  C.WritePacket = [&](AVPacket* P) { Held.Take(P); };
  Rig.Start(std::move(C));
  FramePtr In = test::MakeFrame(288, 208);
  for (int N = 0; N < 5; ++N) {
    test::FillYuv420(*In, static_cast<uint8_t>(40 + 30 * N), 128, 128);
    Rig.Write(In.get(), N / 25.0);
  }
  Rig.Flush();
  ASSERT_EQ(Held.Packets.size(), 5u);
  for (size_t N = 0; N < 5; ++N) {
    const AVFrame& F = Held.Frame(N);
    EXPECT_EQ(F.width, 320);
    EXPECT_EQ(F.data[0][100 * F.linesize[0] + 100], 40 + 30 * N) << N;
    EXPECT_EQ(F.data[0][5 * F.linesize[0] + 100], 16) << N;
  }
}

TEST_F(VideoOutputTest, EncoderGetsAReferenceNotACopyWhenItCan) {
  FramePtr In = test::MakeFrame(320, 240);
  test::FillQuadrants(*In);
  In->pict_type = AV_PICTURE_TYPE_I;
  In->quality = 9 * 118;
  In->interlaced_frame = 1;
  In->top_field_first = 1;
  for (bool Crop : {false, true}) {
    SCOPED_TRACE(Crop);
    TRig Rig(test::EncoderSetup("wrapped_avframe", Crop ? 160 : 320, Crop ? 120 : 240));
    ASSERT_TRUE(Rig.Enc);
    Rig.Enc->global_quality = 4 * 118;
    THeldPackets Held;
    TVideoOutputConfig C = Rig.Config();
    C.VideoCrop = Crop;
    C.CropTop = 64;
    C.CropLeft = 96;
    C.WritePacket = [&](AVPacket* P) { Held.Take(P); };
    Rig.Start(std::move(C));
    Rig.Write(In.get(), 0.0);
    Rig.Write(In.get(), 0.2);  // duplicated: the same buffer each time
    Rig.Flush();
    ASSERT_EQ(Held.Packets.size(), 5u);
    const uint8_t* Expected = Crop ? In->data[0] + 64 * In->linesize[0] + 96 : In->data[0];
    for (size_t I = 0; I < Held.Packets.size(); ++I) {
      const AVFrame& F = Held.Frame(I);
      EXPECT_EQ(F.data[0], Expected);
      EXPECT_EQ(F.width, Crop ? 160 : 320);
      EXPECT_EQ(F.pts, static_cast<int64_t>(I));
      EXPECT_EQ(F.pict_type, AV_PICTURE_TYPE_NONE);
      EXPECT_EQ(F.quality, 4 * 118);
      EXPECT_EQ(F.interlaced_frame, 1);
      EXPECT_EQ(F.top_field_first, 0);  // no interlaced coding flags
    }
  }
  // The input keeps what the decoder set.
  EXPECT_EQ(In->pict_type, AV_PICTURE_TYPE_I);
}

TEST_F(VideoOutputTest, X264BuffersAndFlushWritesTheRest) {
  TRig Rig(test::EncoderSetup("libx264"));
  ASSERT_TRUE(Rig.Enc);
  Rig.Start();
  FramePtr In = test::MakeFrame(320, 240);
  const int Count = 60;
  for (int N = 0; N < Count; ++N) {
    test::FillMoving(*In, N);
    // What a decoder leaves on its pictures: the source's coding type.
    In->pict_type = AV_PICTURE_TYPE_I;
    In->key_frame = 1;
    const TVideoWriteResult R = Rig.Write(In.get(), N / 25.0);
    EXPECT_EQ(R.Count, 1);
    EXPECT_EQ(Rig.Out->FrameNumber(), N + 1);
    EXPECT_EQ(Rig.Out->SyncPts(), N + 1);
  }
  EXPECT_EQ(In->pict_type, AV_PICTURE_TYPE_I);  // the input is not changed
  const size_t BeforeFlush = Rig.Packets.size();
  EXPECT_LT(BeforeFlush, static_cast<size_t>(Count));
  const TVideoWriteResult F = Rig.Flush();
  EXPECT_EQ(static_cast<size_t>(F.PacketsWritten), Count - BeforeFlush);
  ASSERT_EQ(Rig.Packets.size(), static_cast<size_t>(Count));
  EXPECT_EQ(F.FrameSize, Rig.Packets.back().Size);

  // The encoder chose its own types: B-frames and a single key frame.
  std::multiset<int> Types;
  int Keys = 0;
  for (const auto& S : Rig.PacketStats) {
    EXPECT_TRUE(S.Valid);
    Types.insert(S.PictType);
    Keys += S.KeyFrame ? 1 : 0;
  }
  EXPECT_GT(Types.count(AV_PICTURE_TYPE_B), 0u);
  EXPECT_GT(Types.count(AV_PICTURE_TYPE_P), 0u);
  EXPECT_EQ(Keys, 1);
  EXPECT_TRUE(Rig.Packets[0].Flags & AV_PKT_FLAG_KEY);
  // Presentation times cover every picture once.
  std::set<int64_t> Pts;
  for (const auto& P : Rig.Packets) Pts.insert(P.Pts);
  ASSERT_EQ(Pts.size(), static_cast<size_t>(Count));
  EXPECT_EQ(*Pts.begin(), 0);
  EXPECT_EQ(*Pts.rbegin(), (Count - 1) * 512);

  const auto Frames = Rig.Decode();
  ASSERT_EQ(Frames.size(), static_cast<size_t>(Count));
  EXPECT_EQ(Frames[0]->width, 320);
  EXPECT_EQ(Frames[0]->height, 240);
}

TEST_F(VideoOutputTest, QualityAndErrorsComeFromThePackets) {
  TRig Rig(
      test::EncoderSetup("mpeg4", 320, 240, AV_CODEC_FLAG_QSCALE | AV_CODEC_FLAG_PSNR, 5 * 118));
  ASSERT_TRUE(Rig.Enc);
  Rig.Start();
  FramePtr In = test::MakeFrame(320, 240);
  for (int N = 0; N < 5; ++N) {
    test::FillMoving(*In, N);
    Rig.Write(In.get(), N / 25.0);
  }
  Rig.Flush();
  ASSERT_EQ(Rig.PacketStats.size(), 5u);
  for (const auto& S : Rig.PacketStats) {
    ASSERT_TRUE(S.Valid);
    EXPECT_NEAR(S.Quality / QP2LAMBDA, 5.0, 0.5);
    EXPECT_GE(S.ErrorCount, 3);
    EXPECT_GT(S.Error[0], 0u);
  }
  const TCodedPictureStats& Last = Rig.Out->LastCodedPicture();
  EXPECT_NEAR(Last.Quality / QP2LAMBDA, 5.0, 0.5);
  EXPECT_EQ(Last.PictType, AV_PICTURE_TYPE_P);
  EXPECT_EQ(Rig.PacketStats[0].PictType, AV_PICTURE_TYPE_I);
  EXPECT_TRUE(Rig.PacketStats[0].KeyFrame);
}

TEST_F(VideoOutputTest, SameQualityPassesTheInputPictureQuality) {
  TRig Rig(test::EncoderSetup("mpeg4", 320, 240, AV_CODEC_FLAG_QSCALE, 3 * 118));
  ASSERT_TRUE(Rig.Enc);
  TVideoOutputConfig C = Rig.Config();
  C.SameQuality = true;
  Rig.Start(std::move(C));
  FramePtr In = test::MakeFrame(320, 240);
  test::FillMoving(*In, 0);
  In->quality = 9 * 118;
  Rig.Write(In.get(), 0);
  Rig.Flush();
  ASSERT_EQ(Rig.PacketStats.size(), 1u);
  EXPECT_NEAR(Rig.PacketStats[0].Quality / QP2LAMBDA, 9.0, 0.5);
}

TEST_F(VideoOutputTest, FrameRateRuleDropsAndDuplicates) {
  TRig Rig(test::EncoderSetup("mpeg4", 320, 240, AV_CODEC_FLAG_QSCALE, 4 * 118));
  ASSERT_TRUE(Rig.Enc);
  TVideoOutputConfig C = Rig.Config();
  C.Verbose = 3;
  Rig.Start(std::move(C));
  FramePtr In = test::MakeFrame(320, 240);
  test::FillQuadrants(*In);
  EXPECT_EQ(Rig.Write(In.get(), 0.0).Count, 1);
  // Four frame times later: written four times, three duplicates.
  TVideoWriteResult R = Rig.Write(In.get(), 0.2);
  EXPECT_EQ(R.Count, 4);
  EXPECT_EQ(R.Duplicated, 3);
  EXPECT_EQ(Rig.Out->SyncPts(), 5);
  // Far behind the counter: dropped.
  R = Rig.Write(In.get(), 0.08);
  EXPECT_EQ(R.Count, 0);
  EXPECT_EQ(R.Dropped, 1);
  EXPECT_EQ(Rig.Out->FrameNumber(), 5);
  Rig.Flush();
  EXPECT_EQ(Rig.Packets.size(), 5u);
  const std::vector<std::pair<int, std::string>> Expected{{1, "*** 3 dup!"}, {1, "*** drop!"}};
  EXPECT_EQ(Rig.Logs, Expected);
  for (size_t I = 0; I < Rig.Packets.size(); ++I)
    EXPECT_EQ(Rig.Packets[I].Pts, static_cast<int64_t>(I) * 512);
}

TEST_F(VideoOutputTest, RuleMessagesNeedVerboseAboveTwo) {
  TRig Rig(test::EncoderSetup("mpeg4"));
  ASSERT_TRUE(Rig.Enc);
  Rig.Start();  // Verbose 1
  FramePtr In = test::MakeFrame(320, 240);
  test::FillQuadrants(*In);
  Rig.Write(In.get(), 0.2);
  Rig.Write(In.get(), 0.0);
  EXPECT_EQ(Rig.Total.Duplicated, 4);
  EXPECT_EQ(Rig.Total.Dropped, 1);
  EXPECT_TRUE(Rig.Logs.empty());
}

TEST_F(VideoOutputTest, MethodZeroWritesEachPictureOnceAtItsTime) {
  TRig Rig(test::EncoderSetup("mpeg4"));
  ASSERT_TRUE(Rig.Enc);
  TVideoOutputConfig C = Rig.Config();
  C.VideoSyncMethod = 0;
  Rig.Start(std::move(C));
  FramePtr In = test::MakeFrame(320, 240);
  test::FillQuadrants(*In);
  Rig.Write(In.get(), 0.0);
  Rig.Write(In.get(), 0.4);  // 10 frame times later, still once
  EXPECT_EQ(Rig.Out->FrameNumber(), 2);
  EXPECT_EQ(Rig.Out->SyncPts(), 11);
  Rig.Flush();
  ASSERT_EQ(Rig.Packets.size(), 2u);
  EXPECT_EQ(Rig.Packets[1].Pts, 10 * 512);
}

TEST_F(VideoOutputTest, FrameLimitStopsAfterTheTenthFrame) {
  TRig Rig(test::EncoderSetup("mpeg4"));
  ASSERT_TRUE(Rig.Enc);
  TVideoOutputConfig C = Rig.Config();
  C.MaxFrames = 10;
  Rig.Start(std::move(C));
  FramePtr In = test::MakeFrame(320, 240);
  test::FillQuadrants(*In);
  for (int N = 0; N < 15; ++N) Rig.Write(In.get(), N / 25.0);
  EXPECT_EQ(Rig.Out->FrameNumber(), 10);
  Rig.Flush();
  EXPECT_EQ(Rig.Packets.size(), 10u);
}

// A frame limit that falls inside a run of copies keeps the first of them:
// the repeats of the picture before the gap, as a longer run shows them
// there, not the picture that ends the gap.
TEST_F(VideoOutputTest, FrameLimitInsideARunOfCopiesKeepsTheRepeats) {
  TRig Rig(test::EncoderSetup("mpeg4", 320, 240, AV_CODEC_FLAG_QSCALE, 2 * 118));
  ASSERT_TRUE(Rig.Enc);
  TVideoOutputConfig C = Rig.Config();
  C.MaxFrames = 3;
  Rig.Start(std::move(C));
  FramePtr Dark = test::MakeFrame(320, 240);
  FramePtr Light = test::MakeFrame(320, 240);
  test::FillYuv420(*Dark, 40, 128, 128);
  test::FillYuv420(*Light, 200, 128, 128);
  Rig.Write(Dark.get(), 0.0);
  // Four frame times on: two repeats of the dark picture, then the light
  // one; the limit leaves room for two.
  EXPECT_EQ(Rig.Write(Light.get(), 0.16).Count, 2);
  Rig.Flush();
  const std::vector<FramePtr> Pictures = Rig.Decode();
  ASSERT_EQ(Pictures.size(), 3u);
  for (const FramePtr& P : Pictures) EXPECT_NEAR(test::MeanOf(*P, 0, 0, 0, 320, 240), 40, 4);
}

// An output that starts at frame 100 of a longer conversion makes the rule's
// choices of that conversion at the same input times, and stamps its own
// frames from 0.
TEST_F(VideoOutputTest, SyncBaseContinuesALongerConversion) {
  TRig Rig(test::EncoderSetup("mpeg4"));
  ASSERT_TRUE(Rig.Enc);
  TVideoOutputConfig C = Rig.Config();
  C.SyncBase = 100;
  Rig.Start(std::move(C));
  FramePtr In = test::MakeFrame(320, 240);
  test::FillQuadrants(*In);
  EXPECT_EQ(Rig.Write(In.get(), 4.0).Count, 1);    // frame 100 at 4 s
  EXPECT_EQ(Rig.Write(In.get(), 4.16).Count, 3);   // 104: two repeats
  EXPECT_EQ(Rig.Write(In.get(), 4.04).Count, 0);   // far behind: dropped
  EXPECT_EQ(Rig.Out->SyncPts(), 4);
  Rig.Flush();
  ASSERT_EQ(Rig.Packets.size(), 4u);
  for (size_t I = 0; I < Rig.Packets.size(); ++I)
    EXPECT_EQ(Rig.Packets[I].Pts, static_cast<int64_t>(I) * 512);
}

TEST_F(VideoOutputTest, StopRequestEndsTheRepetitions) {
  TRig Rig(test::EncoderSetup("mpeg4"));
  ASSERT_TRUE(Rig.Enc);
  std::atomic<bool> Stop{false};
  TVideoOutputConfig C = Rig.Config();
  C.StopRequested = &Stop;
  auto Store = C.WritePacket;
  C.WritePacket = [&](AVPacket* P) {
    Store(P);
    Stop = true;  // another thread asks to stop while the picture repeats
  };
  Rig.Start(std::move(C));
  FramePtr In = test::MakeFrame(320, 240);
  test::FillQuadrants(*In);
  const TVideoWriteResult R = Rig.Write(In.get(), 0.2);  // rule: 5 times
  EXPECT_EQ(R.Duplicated, 4);
  EXPECT_EQ(R.Count, 1);
  EXPECT_EQ(Rig.Out->FrameNumber(), 1);
  EXPECT_EQ(Rig.Write(In.get(), 0.24).Count, 0);
}

TEST_F(VideoOutputTest, CropAndPadFailuresSkipOrRaise) {
  FramePtr In = test::MakeFrame(320, 240);
  test::FillQuadrants(*In);
  for (bool ExitOnError : {false, true}) {
    SCOPED_TRACE(ExitOnError);
    // An odd crop offset is off the 4:2:0 chroma grid.
    TRig Crop(test::EncoderSetup("mpeg4", 160, 120));
    ASSERT_TRUE(Crop.Enc);
    TVideoOutputConfig C = Crop.Config();
    C.VideoCrop = true;
    C.CropTop = 3;
    C.CropLeft = 2;
    C.ExitOnError = ExitOnError;
    Crop.Start(std::move(C));
    if (ExitOnError) {
      try {
        Crop.Write(In.get(), 0);
        ADD_FAILURE() << "no exception";
      } catch (const FFMpegException& E) {
        EXPECT_STREQ(E.what(), "error cropping picture");
      }
    } else {
      const TVideoWriteResult R = Crop.Write(In.get(), 0);
      EXPECT_TRUE(R.Skipped);
      EXPECT_EQ(R.Count, 0);
      const std::vector<std::pair<int, std::string>> Expected{{0, "error cropping picture"}};
      EXPECT_EQ(Crop.Logs, Expected);
    }
    EXPECT_EQ(Crop.Out->FrameNumber(), 0);

    // Bands that leave no inner picture.
    TRig Pad(test::EncoderSetup("mpeg4"));
    ASSERT_TRUE(Pad.Enc);
    C = Pad.Config();
    C.PadTop = 200;
    C.PadBottom = 40;
    C.ExitOnError = ExitOnError;
    Pad.Start(std::move(C));
    if (ExitOnError) {
      EXPECT_THROW(
          {
            try {
              Pad.Write(In.get(), 0);
            } catch (const FFMpegException& E) {
              EXPECT_STREQ(E.what(), "error padding picture");
              throw;
            }
          },
          FFMpegException);
    } else {
      EXPECT_TRUE(Pad.Write(In.get(), 0).Skipped);
      const std::vector<std::pair<int, std::string>> Expected{{0, "error padding picture"}};
      EXPECT_EQ(Pad.Logs, Expected);
    }
    Crop.Flush();
    Pad.Flush();
    EXPECT_TRUE(Crop.Packets.empty());
    EXPECT_TRUE(Pad.Packets.empty());
  }
}

TEST_F(VideoOutputTest, TwoPassStatisticsAreAppended) {
  TRig Rig(test::EncoderSetup("mpeg4", 320, 240, AV_CODEC_FLAG_PASS1));
  ASSERT_TRUE(Rig.Enc);
  std::FILE* Log = std::tmpfile();
  ASSERT_NE(Log, nullptr);
  TVideoOutputConfig C = Rig.Config();
  C.LogFile = Log;
  Rig.Start(std::move(C));
  FramePtr In = test::MakeFrame(320, 240);
  for (int N = 0; N < 4; ++N) {
    test::FillMoving(*In, N);
    Rig.Write(In.get(), N / 25.0);
  }
  Rig.Flush();
  std::fflush(Log);
  std::rewind(Log);
  std::string Text;
  char Buf[256];
  while (std::fgets(Buf, sizeof(Buf), Log)) Text += Buf;
  std::fclose(Log);
  // One statistics record per coded picture.
  size_t Records = 0;
  for (size_t P = Text.find("in:"); P != std::string::npos; P = Text.find("in:", P + 1)) ++Records;
  EXPECT_EQ(Records, 4u) << Text;
}

TEST_F(VideoOutputTest, FieldOrderFollowsTheOptionWhenCodingInterlaced) {
  for (int Top : {1, 0}) {
    SCOPED_TRACE(Top);
    TRig Rig(test::EncoderSetup("mpeg4", 320, 240, AV_CODEC_FLAG_INTERLACED_DCT));
    ASSERT_TRUE(Rig.Enc);
    TVideoOutputConfig C = Rig.Config();
    C.TopFieldFirst = Top;
    Rig.Start(std::move(C));
    FramePtr In = test::MakeFrame(320, 240);
    test::FillQuadrants(*In);
    In->interlaced_frame = 1;
    In->top_field_first = 1 - Top;
    Rig.Write(In.get(), 0);
    Rig.Flush();
    const auto Frames = Rig.Decode();
    ASSERT_EQ(Frames.size(), 1u);
    EXPECT_EQ(Frames[0]->top_field_first, Top);
  }
}

TEST_F(VideoOutputTest, ConfigurationChecks) {
  TRig Rig(test::EncoderSetup("mpeg4"));
  ASSERT_TRUE(Rig.Enc);
  TVideoOutputConfig C = Rig.Config();
  C.VideoResample = true;
  try {
    TVideoOutput Out(C);
    ADD_FAILURE() << "no exception";
  } catch (const FFMpegException& E) {
    EXPECT_STREQ(E.what(), "Cannot get resampling context");
  }
  // With a filter graph the graph scales: no scaler needed.
  C.FiltersInUse = true;
  EXPECT_NO_THROW(TVideoOutput Out(C));
  C.Encoder = nullptr;
  EXPECT_THROW(TVideoOutput Out(C), std::invalid_argument);
}

}  // namespace
}  // namespace vexav
