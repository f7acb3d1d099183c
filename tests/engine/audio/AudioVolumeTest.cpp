// The volume step in the decoded block's own sample format.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "AudioTestSupport.h"

namespace vexav {
namespace {

class AudioVolume : public ::testing::Test {
 protected:
  void SetUp() override { test::LoadLibsOrFail(); }
};

// A block of one channel (or Channels interleaved/planar) holding the given
// raw values of type T, in every plane.
template <typename T>
FramePtr RawBlock(AVSampleFormat Fmt, int Channels, const std::vector<T>& Values) {
  const bool Planar = ff::av_sample_fmt_is_planar(Fmt) != 0;
  const int N = static_cast<int>(Planar ? Values.size() : Values.size() / Channels);
  FramePtr Frame = test::MakeBlock(Fmt, 44100, Channels, N, [](int, int64_t) { return 0.0; });
  for (int P = 0; P < (Planar ? Channels : 1); ++P)
    std::memcpy(Frame->extended_data[P], Values.data(), Values.size() * sizeof(T));
  return Frame;
}

template <typename T>
std::vector<T> Plane(const AVFrame* Frame, int P, size_t Count) {
  std::vector<T> Out(Count);
  std::memcpy(Out.data(), Frame->extended_data[P], Count * sizeof(T));
  return Out;
}

TEST_F(AudioVolume, S16At512DoublesEverySampleAndClipsAtFullScale) {
  const std::vector<int16_t> In = {0, 1, -1, 100, -100, 16383, 16384, -16384, -16385, 32767, -32768, 20000};
  const std::vector<int16_t> Want = {0, 2, -2, 200, -200, 32766, 32767, -32768, -32768, 32767, -32768, 32767};
  FramePtr Frame = RawBlock<int16_t>(AV_SAMPLE_FMT_S16, 2, In);
  TAudioOutput::ApplyVolume(Frame.get(), 512);
  EXPECT_EQ(Plane<int16_t>(Frame.get(), 0, In.size()), Want);
}

TEST_F(AudioVolume, S16RoundsAsAnArithmeticShiftOfSampleTimesVolumePlus128) {
  // (s * 384 + 128) >> 8 rounds toward minus infinity: 1 -> 2, -1 -> -1,
  // 3 -> 5, -3 -> -4; volume 128 halves: 5 -> 3, -5 -> -2.
  FramePtr A = RawBlock<int16_t>(AV_SAMPLE_FMT_S16, 1, {1, -1, 3, -3, 1000, -1000});
  TAudioOutput::ApplyVolume(A.get(), 384);
  EXPECT_EQ(Plane<int16_t>(A.get(), 0, 6), (std::vector<int16_t>{2, -1, 5, -4, 1500, -1500}));
  FramePtr B = RawBlock<int16_t>(AV_SAMPLE_FMT_S16, 1, {5, -5, 1, -1, 0});
  TAudioOutput::ApplyVolume(B.get(), 128);
  EXPECT_EQ(Plane<int16_t>(B.get(), 0, 5), (std::vector<int16_t>{3, -2, 1, 0, 0}));
}

TEST_F(AudioVolume, Volume256LeavesEveryFormatUntouched) {
  for (AVSampleFormat Fmt : {AV_SAMPLE_FMT_U8, AV_SAMPLE_FMT_S16, AV_SAMPLE_FMT_S16P, AV_SAMPLE_FMT_S32,
                             AV_SAMPLE_FMT_FLT, AV_SAMPLE_FMT_FLTP, AV_SAMPLE_FMT_DBLP}) {
    SCOPED_TRACE(ff::av_get_sample_fmt_name(Fmt));
    FramePtr Frame = test::MakeBlock(Fmt, 44100, 2, 300, test::Tone(997, 44100, 0.9));
    FramePtr Copy = test::MakeBlock(Fmt, 44100, 2, 300, test::Tone(997, 44100, 0.9));
    // A float sample beyond full scale stays as it is too.
    if (Fmt == AV_SAMPLE_FMT_FLT) {
      const float Loud = 3.5f;
      std::memcpy(Frame->extended_data[0], &Loud, sizeof Loud);
      std::memcpy(Copy->extended_data[0], &Loud, sizeof Loud);
    }
    TAudioOutput::ApplyVolume(Frame.get(), 256);
    const bool Planar = ff::av_sample_fmt_is_planar(Fmt) != 0;
    const size_t Bytes = static_cast<size_t>(ff::av_get_bytes_per_sample(Fmt)) * 300 * (Planar ? 1 : 2);
    for (int P = 0; P < (Planar ? 2 : 1); ++P)
      EXPECT_EQ(std::memcmp(Frame->extended_data[P], Copy->extended_data[P], Bytes), 0);
  }
}

TEST_F(AudioVolume, PlanarFloatIsScaledInFloatAndClippedToFullScale) {
  // The 16-bit arithmetic on these bytes would have wrecked them; in float
  // each channel's samples are doubled and held at [-1, 1].
  FramePtr Frame = RawBlock<float>(AV_SAMPLE_FMT_FLTP, 2, {0.25f, -0.25f, 0.75f, -0.6f, 0.0f, 0.001f});
  TAudioOutput::ApplyVolume(Frame.get(), 512);
  for (int P = 0; P < 2; ++P) {
    SCOPED_TRACE(P);
    const std::vector<float> Got = Plane<float>(Frame.get(), P, 6);
    const std::vector<float> Want = {0.5f, -0.5f, 1.0f, -1.0f, 0.0f, 0.002f};
    for (size_t I = 0; I < Want.size(); ++I) EXPECT_FLOAT_EQ(Got[I], Want[I]) << I;
  }
  FramePtr Half = test::MakeBlock(AV_SAMPLE_FMT_FLTP, 44100, 1, 1000, test::Tone(440, 44100, 0.8));
  TAudioOutput::ApplyVolume(Half.get(), 128);
  const std::vector<float> Got = Plane<float>(Half.get(), 0, 1000);
  for (int I = 0; I < 1000; ++I) ASSERT_NEAR(Got[I], 0.4 * std::sin(2 * M_PI * 440 * I / 44100.0), 1e-6) << I;
}

TEST_F(AudioVolume, OtherIntegerAndFloatFormatsFollowTheSameRules) {
  // Unsigned 8-bit works on the value minus 128.
  FramePtr U8 = RawBlock<uint8_t>(AV_SAMPLE_FMT_U8, 1, {128, 129, 127, 200, 40, 255, 0});
  TAudioOutput::ApplyVolume(U8.get(), 512);
  EXPECT_EQ(Plane<uint8_t>(U8.get(), 0, 7), (std::vector<uint8_t>{128, 130, 126, 255, 0, 255, 0}));

  const int32_t Big = 1 << 30;
  FramePtr S32 = RawBlock<int32_t>(AV_SAMPLE_FMT_S32P, 2, {1, -1, Big - 1, Big, -Big, -Big - 1});
  TAudioOutput::ApplyVolume(S32.get(), 512);
  const std::vector<int32_t> WantS32 = {2, -2, 2 * (Big - 1), std::numeric_limits<int32_t>::max(), -2 * Big,
                                        std::numeric_limits<int32_t>::min()};
  EXPECT_EQ(Plane<int32_t>(S32.get(), 0, 6), WantS32);
  EXPECT_EQ(Plane<int32_t>(S32.get(), 1, 6), WantS32);

  FramePtr S16P = RawBlock<int16_t>(AV_SAMPLE_FMT_S16P, 2, {1000, -30000});
  TAudioOutput::ApplyVolume(S16P.get(), 512);
  EXPECT_EQ(Plane<int16_t>(S16P.get(), 1, 2), (std::vector<int16_t>{2000, -32768}));

  FramePtr Dbl = RawBlock<double>(AV_SAMPLE_FMT_DBL, 2, {0.1, -0.3, 0.9, -2.0});
  TAudioOutput::ApplyVolume(Dbl.get(), 512);
  EXPECT_EQ(Plane<double>(Dbl.get(), 0, 4), (std::vector<double>{0.2, -0.6, 1.0, -1.0}));

  // Volume 0 silences every format (U8 silence is 128).
  FramePtr Zero = RawBlock<uint8_t>(AV_SAMPLE_FMT_U8, 1, {3, 250});
  TAudioOutput::ApplyVolume(Zero.get(), 0);
  EXPECT_EQ(Plane<uint8_t>(Zero.get(), 0, 2), (std::vector<uint8_t>{128, 128}));
}

}  // namespace
}  // namespace vexav
