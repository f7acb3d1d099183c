// Encoding through real encoders: whole frames from the FIFO, whole blocks
// for PCM, conversion of channels, rate and format, packet time stamps and
// the end-of-input flush; every result decoded back with the real decoder.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "AudioTestSupport.h"

namespace vexav {
namespace {

using test::TCollector;

class AudioEncode : public ::testing::Test {
 protected:
  void SetUp() override { test::LoadLibsOrFail(); }

  // Pushes Total samples of Tone in blocks of Block samples with contiguous
  // time stamps (sync method 0).
  void PushTone(TAudioOutput& Out, AVSampleFormat Fmt, int Rate, int Channels, int Total, int Block,
                double Freq = 1000) {
    CodecContextPtr Dec = test::MakeDecoderContext(Fmt, Rate, Channels);
    int IsStart = 1;
    for (int Done = 0; Done < Total; Done += Block) {
      const int N = std::min(Block, Total - Done);
      FramePtr Frame = test::MakeBlock(Fmt, Rate, Channels, N, test::Tone(Freq, Rate, 0.5, Done));
      Out.Push(Frame.get(), Dec.get(), static_cast<int64_t>(Done) * 1000000 / Rate, IsStart, TAudioSyncOptions{});
    }
  }
};

TEST_F(AudioEncode, PcmTakesEveryBlockWholeAndSyncPtsCountsSamplesPerChannel) {
  CodecContextPtr Enc = test::OpenEncoder("pcm_s16le", 44100, 2);
  ASSERT_TRUE(Enc);
  ASSERT_EQ(Enc->frame_size, 0);
  test::TTestStream Stream({1, 44100}, 3);
  TCollector Got;
  TAudioOutput Out(Enc.get(), Stream.Get(), Got.Writer(), Got.Logger());
  CodecContextPtr Dec = test::MakeDecoderContext(AV_SAMPLE_FMT_S16, 44100, 2);
  const int Sizes[] = {1000, 333, 4096};
  int64_t Pos = 0;
  int IsStart = 1;
  std::vector<FramePtr> Blocks;
  for (int N : Sizes) {
    Blocks.push_back(test::MakeBlock(AV_SAMPLE_FMT_S16, 44100, 2, N, test::Tone(440, 44100, 0.7, Pos)));
    Out.Push(Blocks.back().get(), Dec.get(), Pos * 1000000 / 44100, IsStart, TAudioSyncOptions{});
    Pos += N;
    EXPECT_EQ(Out.SyncPts(), Pos);
    EXPECT_EQ(Out.FifoSamples(), 0);
  }
  EXPECT_FALSE(Out.HasResampler());
  ASSERT_EQ(Got.Packets.size(), 3u);
  for (int I = 0; I < 3; ++I) {
    EXPECT_EQ(Got.Packets[I].Data.size(), static_cast<size_t>(Sizes[I]) * 4);
    // The block's bytes, unchanged: PCM of S16 is the block itself.
    EXPECT_EQ(std::memcmp(Got.Packets[I].Data.data(), Blocks[I]->extended_data[0], Sizes[I] * 4), 0);
    EXPECT_EQ(Got.Packets[I].StreamIndex, 3);
    EXPECT_TRUE(Got.Packets[I].Flags & AV_PKT_FLAG_KEY);
  }
  EXPECT_EQ(Got.Packets[0].Pts, 0);
  EXPECT_EQ(Got.Packets[1].Pts, 1000);
  EXPECT_EQ(Got.Packets[2].Pts, 1333);
  EXPECT_EQ(Out.EncodedBytes(), (1000 + 333 + 4096) * 4);
  // Nothing is left for the flush, and draining PCM adds nothing.
  Out.Flush();
  EXPECT_EQ(Got.Packets.size(), 3u);
  EXPECT_EQ(Out.SyncPts(), Pos);
}

TEST_F(AudioEncode, PacketTimeStampsAreRescaledToTheStreamTimeBase) {
  CodecContextPtr Enc = test::OpenEncoder("pcm_s16le", 44100, 1);
  ASSERT_TRUE(Enc);
  test::TTestStream Stream({1, 1000});
  TCollector Got;
  TAudioOutput Out(Enc.get(), Stream.Get(), Got.Writer(), Got.Logger());
  PushTone(Out, AV_SAMPLE_FMT_S16, 44100, 1, 3000, 1000);
  ASSERT_EQ(Got.Packets.size(), 3u);
  // 0, 1000 and 2000 samples at 44100 Hz in milliseconds, rounded.
  EXPECT_EQ(Got.Packets[0].Pts, 0);
  EXPECT_EQ(Got.Packets[1].Pts, 23);
  EXPECT_EQ(Got.Packets[2].Pts, 45);
}

TEST_F(AudioEncode, FifoIsDrainedInWholeEncoderFramesAndTheRestWaits) {
  // 5000 samples with a 1024-sample encoder: four frames, 904 samples left.
  CodecContextPtr Enc = test::OpenEncoder("aac", 44100, 2);
  ASSERT_TRUE(Enc);
  ASSERT_EQ(Enc->frame_size, 1024);
  test::TTestStream Stream({1, 44100});
  TCollector Got;
  TAudioOutput Out(Enc.get(), Stream.Get(), Got.Writer(), Got.Logger());
  PushTone(Out, AV_SAMPLE_FMT_FLTP, 44100, 2, 5000, 5000);
  EXPECT_FALSE(Out.HasResampler());
  EXPECT_EQ(Out.FifoSamples(), 904);
  EXPECT_EQ(Out.SyncPts(), 4096);
  const size_t Before = Got.Packets.size();
  EXPECT_LE(Before, 4u);
  // The next 120 samples complete the fifth frame exactly.
  CodecContextPtr Dec = test::MakeDecoderContext(AV_SAMPLE_FMT_FLTP, 44100, 2);
  FramePtr More = test::MakeBlock(AV_SAMPLE_FMT_FLTP, 44100, 2, 120, test::Tone(1000, 44100, 0.5, 5000));
  int IsStart = 0;
  Out.Push(More.get(), Dec.get(), 5000LL * 1000000 / 44100, IsStart, TAudioSyncOptions{});
  EXPECT_EQ(Out.FifoSamples(), 0);
  EXPECT_EQ(Out.SyncPts(), 5120);

  Out.Flush();
  EXPECT_EQ(Out.EncodedBytes(), Got.TotalBytes());
  // Five frames plus the encoder's priming frame come out in all.
  EXPECT_EQ(Got.Packets.size(), 6u);
  test::TDecoded D = test::DecodePackets(Enc.get(), Got.Packets);
  EXPECT_EQ(D.Channels, 2);
  EXPECT_EQ(D.Rate, 44100);
  EXPECT_EQ(D.Count(), 6u * 1024);
  // Priming (1024 samples) in front, then the tone.
  EXPECT_NEAR(test::ToneFrequency(D.Samples[0], 1024 + 500, 1024 + 4800, 44100), 1000, 10);
  EXPECT_NEAR(test::ToneFrequency(D.Samples[1], 1024 + 500, 1024 + 4800, 44100), 1000, 10);
}

TEST_F(AudioEncode, FlushSendsTheRemainderAsAShortLastFrame) {
  CodecContextPtr Enc = test::OpenEncoder("aac", 44100, 2);
  ASSERT_TRUE(Enc);
  ASSERT_TRUE(Enc->codec->capabilities & AV_CODEC_CAP_SMALL_LAST_FRAME);
  test::TTestStream Stream({1, 44100});
  TCollector Got;
  TAudioOutput Out(Enc.get(), Stream.Get(), Got.Writer(), Got.Logger());
  PushTone(Out, AV_SAMPLE_FMT_FLTP, 44100, 2, 3000, 700);
  EXPECT_EQ(Out.FifoSamples(), 3000 - 2048);
  Out.Flush();
  EXPECT_EQ(Out.FifoSamples(), 0);
  EXPECT_EQ(Out.SyncPts(), 3000);
  Out.Flush();  // a second flush does nothing
  EXPECT_EQ(Out.EncodedBytes(), Got.TotalBytes());
  test::TDecoded D = test::DecodePackets(Enc.get(), Got.Packets);
  // The 952 remaining samples were encoded: the tone runs to the end of the
  // input (after 1024 samples of priming).
  ASSERT_GE(D.Count(), 1024u + 3000u);
  EXPECT_LT(D.Count(), 1024u + 3000u + 1024u);
  EXPECT_GT(test::Rms(D.Samples[0], 1024 + 2200, 1024 + 2950), 0.25);
  EXPECT_NEAR(test::ToneFrequency(D.Samples[0], 1024 + 2100, 1024 + 2950, 44100), 1000, 20);
}

TEST_F(AudioEncode, MonoAt22050BecomesStereoAt44100WithTheToneKept) {
  CodecContextPtr Enc = test::OpenEncoder("aac", 44100, 2);
  ASSERT_TRUE(Enc);
  test::TTestStream Stream({1, 44100});
  TCollector Got;
  TAudioOutput Out(Enc.get(), Stream.Get(), Got.Writer(), Got.Logger());
  PushTone(Out, AV_SAMPLE_FMT_S16, 22050, 1, 22050, 1152);
  EXPECT_TRUE(Out.HasResampler());
  Out.Flush();
  // One second in, one second out at the encoder's rate.
  EXPECT_NEAR(static_cast<double>(Out.SyncPts()), 44100, 4);
  test::TDecoded D = test::DecodePackets(Enc.get(), Got.Packets);
  ASSERT_EQ(D.Channels, 2);
  EXPECT_EQ(D.Rate, 44100);
  EXPECT_GE(D.Count(), 1024u + 44100u - 4u);
  EXPECT_LT(D.Count(), 1024u + 44100u + 1024u);
  for (int C = 0; C < 2; ++C) {
    SCOPED_TRACE(C);
    EXPECT_NEAR(test::ToneFrequency(D.Samples[C], 4000, 40000, 44100), 1000, 2);
    EXPECT_GT(test::Rms(D.Samples[C], 4000, 40000), 0.2);
  }
  // Both channels carry the mono source.
  for (size_t I = 4000; I < 40000; I += 997) EXPECT_NEAR(D.Samples[0][I], D.Samples[1][I], 0.02) << I;
}

TEST_F(AudioEncode, Mp3FramesOf1152FromS16Stereo) {
  CodecContextPtr Enc = test::OpenEncoder("libmp3lame", 44100, 2, AV_SAMPLE_FMT_S16P);
  ASSERT_TRUE(Enc);
  ASSERT_EQ(Enc->frame_size, 1152);
  test::TTestStream Stream({1, 44100});
  TCollector Got;
  TAudioOutput Out(Enc.get(), Stream.Get(), Got.Writer(), Got.Logger());
  PushTone(Out, AV_SAMPLE_FMT_S16, 44100, 2, 10000, 4096, 750);
  // Only the packed-to-planar conversion: nothing waits in the resampler.
  EXPECT_TRUE(Out.HasResampler());
  EXPECT_EQ(Out.FifoSamples(), 10000 % 1152);
  EXPECT_EQ(Out.SyncPts(), 10000 - 10000 % 1152);
  Out.Flush();
  EXPECT_EQ(Out.SyncPts(), 10000);
  EXPECT_EQ(Out.EncodedBytes(), Got.TotalBytes());
  test::TDecoded D = test::DecodePackets(Enc.get(), Got.Packets);
  ASSERT_EQ(D.Channels, 2);
  EXPECT_EQ(D.Rate, 44100);
  // The decoder hands out whole frames, the encoder's delay included.
  EXPECT_GE(D.Count(), 10000u);
  EXPECT_LT(D.Count(), 10000u + 3u * 1152u);
  EXPECT_NEAR(test::ToneFrequency(D.Samples[0], 3000, 9000, 44100), 750, 5);
  EXPECT_NEAR(test::ToneFrequency(D.Samples[1], 3000, 9000, 44100), 750, 5);
}

TEST_F(AudioEncode, Ac3GetsItsShortLastFramePaddedInsteadOfLosingIt) {
  CodecContextPtr Enc = test::OpenEncoder("ac3", 48000, 2);
  ASSERT_TRUE(Enc);
  ASSERT_EQ(Enc->frame_size, 1536);
  ASSERT_FALSE(Enc->codec->capabilities & AV_CODEC_CAP_SMALL_LAST_FRAME);
  test::TTestStream Stream({1, 48000});
  TCollector Got;
  TAudioOutput Out(Enc.get(), Stream.Get(), Got.Writer(), Got.Logger());
  PushTone(Out, AV_SAMPLE_FMT_FLTP, 48000, 2, 4000, 1000);
  EXPECT_EQ(Out.FifoSamples(), 4000 - 3072);
  Out.Flush();
  EXPECT_EQ(Out.SyncPts(), 4000);
  test::TDecoded D = test::DecodePackets(Enc.get(), Got.Packets);
  ASSERT_EQ(D.Channels, 2);
  // Whole frames only: the last one padded with silence.
  EXPECT_EQ(D.Count() % 1536, 0u);
  EXPECT_GE(D.Count(), 4000u);
  EXPECT_LE(D.Count(), 4000u + 256u + 1536u);
  // The remainder's tone is in the output (ac3 delays by 256 samples).
  EXPECT_GT(test::Rms(D.Samples[0], 256 + 3200, 256 + 3950), 0.2);
  EXPECT_NEAR(test::ToneFrequency(D.Samples[0], 256 + 500, 256 + 3950, 48000), 1000, 10);
}

}  // namespace
}  // namespace vexav
