// Pre-processing of decoded pictures: the working copy only when needed,
// deinterlacing, the hook stage, and the failure paths.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "engine/picture/Deinterlace.h"
#include "engine/video/VideoOutput.h"
#include "engine/video/VideoPreprocessor.h"
#include "engine/video/VideoTestSupport.h"

namespace vexav {
namespace {

class VideoPreprocessorTest : public ::testing::Test {
 protected:
  void SetUp() override { test::LoadLibsOrFail(); }

  // Lines alternate between two levels, as in a picture of two fields.
  FramePtr Combed(int W = 320, int H = 240) {
    FramePtr F = test::MakeFrame(W, H);
    test::FillYuv420(
        *F, [](int, int Y) { return static_cast<uint8_t>(Y & 1 ? 60 : 200); },
        [](int P, int, int Y) { return static_cast<uint8_t>(P == 1 ? (Y & 1 ? 100 : 150) : 128); });
    F->pts = 1234;
    F->quality = 7 * 118;
    F->interlaced_frame = 1;
    F->top_field_first = 1;
    F->pict_type = AV_PICTURE_TYPE_P;
    return F;
  }

  std::vector<std::pair<int, std::string>> Logs;
  TVideoPreprocessor::TLog Log = [this](int L, const std::string& T) { Logs.emplace_back(L, T); };
};

bool Within(const uint8_t* P, const uint8_t* Begin, size_t Size) {
  return P >= Begin && P < Begin + Size;
}

std::vector<uint8_t> PlaneBytes(const AVFrame& F, int Plane, int W, int H) {
  std::vector<uint8_t> B;
  for (int Y = 0; Y < H; ++Y)
    B.insert(B.end(), F.data[Plane] + Y * F.linesize[Plane],
             F.data[Plane] + Y * F.linesize[Plane] + W);
  return B;
}

TEST_F(VideoPreprocessorTest, NoCopyWhenNothingNeedsOne) {
  TVideoPreprocessor Pre;
  FramePtr F = Combed();
  int HookCalls = 0;
  auto Hook = [&](TPicture&, int, int, int) { ++HookCalls; };
  const AVFrame* Out = Pre.Process(F.get(), false, false, Hook, Log);
  EXPECT_EQ(Out, F.get());
  EXPECT_EQ(Out->data[0], F->data[0]);
  EXPECT_FALSE(Pre.UsedWorkingCopy());
  EXPECT_EQ(Pre.BufferSize(), 0u);
  EXPECT_EQ(HookCalls, 0);
  EXPECT_TRUE(Logs.empty());
}

TEST_F(VideoPreprocessorTest, PictureWithoutPixelsIsLeftAlone) {
  TVideoPreprocessor Pre;
  FramePtr Empty(ff::av_frame_alloc());  // a copied stream's picture: no planes
  int HookCalls = 0;
  auto Hook = [&](TPicture&, int, int, int) { ++HookCalls; };
  EXPECT_EQ(Pre.Process(Empty.get(), true, true, Hook, Log), Empty.get());
  EXPECT_EQ(Pre.Process(nullptr, true, true, Hook, Log), nullptr);
  EXPECT_FALSE(Pre.UsedWorkingCopy());
  EXPECT_EQ(Pre.BufferSize(), 0u);
  EXPECT_EQ(HookCalls, 0);
  EXPECT_TRUE(Logs.empty());
}

TEST_F(VideoPreprocessorTest, DeinterlacesIntoTheWorkingCopy) {
  TVideoPreprocessor Pre;
  FramePtr F = Combed();
  const auto Before = PlaneBytes(*F, 0, 320, 240);
  const AVFrame* Out = Pre.Process(F.get(), true, false, {}, Log);
  ASSERT_NE(Out, F.get());
  EXPECT_TRUE(Pre.UsedWorkingCopy());
  EXPECT_TRUE(Within(Out->data[0], Pre.Buffer(), Pre.BufferSize()));
  EXPECT_TRUE(Within(Out->data[2], Pre.Buffer(), Pre.BufferSize()));
  // The engine's deinterlacer applied to the same picture gives the same.
  FramePtr Expected = test::MakeFrame(320, 240);
  TPicture Dst, Src;
  for (int I = 0; I < 4; ++I) {
    Dst.data[I] = Expected->data[I];
    Dst.linesize[I] = Expected->linesize[I];
    Src.data[I] = F->data[I];
    Src.linesize[I] = F->linesize[I];
  }
  ASSERT_EQ(DeinterlacePicture(Dst, Src, AV_PIX_FMT_YUV420P, 320, 240), 0);
  EXPECT_EQ(PlaneBytes(*Out, 0, 320, 240), PlaneBytes(*Expected, 0, 320, 240));
  EXPECT_EQ(PlaneBytes(*Out, 1, 160, 120), PlaneBytes(*Expected, 1, 160, 120));
  EXPECT_EQ(PlaneBytes(*Out, 2, 160, 120), PlaneBytes(*Expected, 2, 160, 120));
  EXPECT_NE(PlaneBytes(*Out, 0, 320, 240), Before);
  // The decoder's picture is untouched; the copy keeps its properties.
  EXPECT_EQ(PlaneBytes(*F, 0, 320, 240), Before);
  EXPECT_EQ(Out->width, 320);
  EXPECT_EQ(Out->height, 240);
  EXPECT_EQ(Out->format, AV_PIX_FMT_YUV420P);
  EXPECT_EQ(Out->pts, 1234);
  EXPECT_EQ(Out->quality, 7 * 118);
  EXPECT_EQ(Out->interlaced_frame, 1);
  EXPECT_EQ(Out->top_field_first, 1);
  EXPECT_EQ(Out->buf[0], nullptr);
  EXPECT_TRUE(Logs.empty());
}

TEST_F(VideoPreprocessorTest, HookWorksOnTheCopyAndItsChangeReachesTheOutput) {
  TVideoPreprocessor Pre;
  FramePtr F = test::MakeFrame(320, 240);
  test::FillQuadrants(*F);
  const auto Before = PlaneBytes(*F, 0, 320, 240);
  int HookCalls = 0;
  auto Hook = [&](TPicture& P, int Fmt, int W, int H) {
    ++HookCalls;
    EXPECT_EQ(Fmt, AV_PIX_FMT_YUV420P);
    EXPECT_EQ(W, 320);
    EXPECT_EQ(H, 240);
    EXPECT_TRUE(Within(P.data[0], Pre.Buffer(), Pre.BufferSize()));
    // A white box in the top-left corner.
    for (int Y = 0; Y < 64; ++Y) std::memset(P.data[0] + Y * P.linesize[0], 235, 64);
  };
  const AVFrame* Out = Pre.Process(F.get(), false, true, Hook, Log);
  EXPECT_EQ(HookCalls, 1);
  ASSERT_NE(Out, F.get());
  EXPECT_EQ(PlaneBytes(*F, 0, 320, 240), Before);
  EXPECT_EQ(Out->data[0][10 * Out->linesize[0] + 10], 235);
  EXPECT_EQ(Out->data[0][100 * Out->linesize[0] + 100], test::QuadLuma[0]);
  EXPECT_EQ(PlaneBytes(*Out, 1, 160, 120), PlaneBytes(*F, 1, 160, 120));

  // Encoded and decoded back, the box is there.
  CodecContextPtr Enc =
      test::OpenEncoder(test::EncoderSetup("mpeg4", 320, 240, AV_CODEC_FLAG_QSCALE, 2 * 118));
  ASSERT_TRUE(Enc);
  AVStream Stream{};
  Stream.time_base = AVRational{1, 25};
  std::vector<test::TStoredPacket> Packets;
  TVideoOutputConfig C;
  C.Encoder = Enc.get();
  C.Stream = &Stream;
  C.WritePacket = [&](AVPacket* P) { Packets.push_back(test::StorePacket(*P)); };
  TVideoOutput Video(C);
  Video.Write(Out, 0);
  Video.Flush();
  const auto Frames = test::DecodeAll(AV_CODEC_ID_MPEG4, Packets);
  ASSERT_EQ(Frames.size(), 1u);
  EXPECT_NEAR(test::MeanOf(*Frames[0], 0, 4, 4, 56, 56), 235, 4);
  EXPECT_NEAR(test::MeanOf(*Frames[0], 0, 70, 70, 80, 40), test::QuadLuma[0], 6);
}

TEST_F(VideoPreprocessorTest, FailedDeinterlaceStillRunsTheHookOnACopy) {
  // 318 is not a multiple of 4: the deinterlacer refuses the picture.
  TVideoPreprocessor Pre;
  FramePtr F = Combed(318, 240);
  const auto Before = PlaneBytes(*F, 0, 318, 240);
  int HookCalls = 0;
  auto Hook = [&](TPicture& P, int, int, int) {
    ++HookCalls;
    EXPECT_TRUE(Within(P.data[0], Pre.Buffer(), Pre.BufferSize()));
    P.data[0][0] = 1;
  };
  const AVFrame* Out = Pre.Process(F.get(), true, true, Hook, Log);
  EXPECT_EQ(HookCalls, 1);
  ASSERT_NE(Out, F.get());
  const std::vector<std::pair<int, std::string>> Expected{{0, "Deinterlacing failed."}};
  EXPECT_EQ(Logs, Expected);
  // Not deinterlaced: the copy is the picture as decoded, plus the hook's
  // change; the decoder's buffer is not written.
  auto Copy = PlaneBytes(*Out, 0, 318, 240);
  EXPECT_EQ(Copy[0], 1);
  Copy[0] = Before[0];
  EXPECT_EQ(Copy, Before);
  EXPECT_EQ(PlaneBytes(*F, 0, 318, 240), Before);

  // A format the deinterlacer does not take fails the same way.
  Logs.clear();
  FramePtr Rgb = test::MakeFrame(64, 64, AV_PIX_FMT_RGB24);
  std::memset(Rgb->data[0], 77, static_cast<size_t>(Rgb->linesize[0]) * 64);
  Out = Pre.Process(Rgb.get(), true, false, {}, Log);
  EXPECT_EQ(Logs, Expected);
  ASSERT_NE(Out, Rgb.get());
  EXPECT_EQ(Out->data[0][63 * Out->linesize[0] + 191], 77);
}

TEST_F(VideoPreprocessorTest, AllocationFailureLeavesThePictureUnprocessed) {
  TVideoPreprocessor Pre([](size_t) -> void* { return nullptr; });
  FramePtr F = Combed();
  int HookCalls = 0;
  auto Hook = [&](TPicture&, int, int, int) { ++HookCalls; };
  EXPECT_EQ(Pre.Process(F.get(), true, true, Hook, Log), F.get());
  EXPECT_FALSE(Pre.UsedWorkingCopy());
  EXPECT_EQ(HookCalls, 0);
  const std::vector<std::pair<int, std::string>> Expected{{0, "hook buf malloc error."}};
  EXPECT_EQ(Logs, Expected);
}

TEST_F(VideoPreprocessorTest, BufferGrowsAndNeverShrinks) {
  int Allocations = 0;
  TVideoPreprocessor Pre([&](size_t Size) {
    ++Allocations;
    return ff::av_malloc(Size);
  });
  FramePtr Medium = Combed(320, 240), Small = Combed(160, 120), Large = Combed(640, 480);
  Pre.Process(Medium.get(), true, false, {}, Log);
  const size_t First = Pre.BufferSize();
  const uint8_t* FirstBuffer = Pre.Buffer();
  EXPECT_GE(First, 320u * 240 * 3 / 2);
  Pre.Process(Small.get(), true, false, {}, Log);
  EXPECT_EQ(Pre.BufferSize(), First);
  EXPECT_EQ(Pre.Buffer(), FirstBuffer);
  Pre.Process(Medium.get(), false, true, {}, Log);
  EXPECT_EQ(Allocations, 1);
  Pre.Process(Large.get(), true, false, {}, Log);
  EXPECT_GT(Pre.BufferSize(), First);
  EXPECT_EQ(Allocations, 2);
  EXPECT_TRUE(Logs.empty());
}

}  // namespace
}  // namespace vexav
