// Keeping the output in step with the input time stamps: sync method 0 never
// edits, method 1 adds silence or discards samples, method 2 and more
// stretch through the resampler.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "AudioTestSupport.h"

namespace vexav {
namespace {

using test::TCollector;

TAudioSyncOptions SyncOptions(int Method, int Verbose = 3) {
  TAudioSyncOptions Opts;
  Opts.AudioSyncMethod = Method;
  Opts.Verbose = Verbose;
  return Opts;
}

int64_t UsOf(double Samples, int Rate) { return static_cast<int64_t>(std::llround(Samples * 1000000.0 / Rate)); }

// 44100 Hz stereo 16-bit in and out through PCM, so every packet is the
// edited block itself.
class AudioSync : public ::testing::Test {
 protected:
  void SetUp() override {
    test::LoadLibsOrFail();
    Enc = test::OpenEncoder("pcm_s16le", 44100, 2);
    ASSERT_TRUE(Enc);
    Dec = test::MakeDecoderContext(AV_SAMPLE_FMT_S16, 44100, 2);
    Stream = std::make_unique<test::TTestStream>(AVRational{1, 44100});
    Out = std::make_unique<TAudioOutput>(Enc.get(), Stream->Get(), Got.Writer(), Got.Logger());
  }

  FramePtr Block(int N, int64_t First = 0) {
    return test::MakeBlock(AV_SAMPLE_FMT_S16, 44100, 2, N, test::Tone(440, 44100, 0.5, First));
  }

  // Samples per channel in a written packet.
  int64_t Samples(size_t Index) const { return static_cast<int64_t>(Got.Packets.at(Index).Data.size()) / 4; }
  int64_t WrittenSamples() const { return Got.TotalBytes() / 4; }

  CodecContextPtr Enc;
  CodecContextPtr Dec;
  std::unique_ptr<test::TTestStream> Stream;
  TCollector Got;
  std::unique_ptr<TAudioOutput> Out;
};

TEST_F(AudioSync, Method0NeverEditsAndTakesSyncPtsFromTheInputTime) {
  int IsStart = 1;
  FramePtr A = Block(1024);
  Out->Push(A.get(), Dec.get(), 500000, IsStart, SyncOptions(0));
  // The block starts at 0.5 s: SyncPts = 22050, nothing inserted.
  ASSERT_EQ(Got.Packets.size(), 1u);
  EXPECT_EQ(Samples(0), 1024);
  EXPECT_EQ(Got.Packets[0].Pts, 22050);
  EXPECT_EQ(Out->SyncPts(), 22050 + 1024);
  // Behind by 0.1 s: nothing discarded either.
  FramePtr B = Block(1024);
  Out->Push(B.get(), Dec.get(), 0, IsStart, SyncOptions(0));
  EXPECT_EQ(Samples(1), 1024);
  EXPECT_EQ(Got.Packets[1].Pts, 0);
  // Times of half a sample round to the even neighbour: 5 ms is 220.5
  // samples (220), 15 ms is 661.5 (662).
  FramePtr C = Block(10);
  Out->Push(C.get(), Dec.get(), 5000, IsStart, SyncOptions(0));
  EXPECT_EQ(Got.Packets.back().Pts, 220);
  Out->Push(C.get(), Dec.get(), 15000, IsStart, SyncOptions(0));
  EXPECT_EQ(Got.Packets.back().Pts, 662);
  // The start time ("ss") is taken off the input time.
  TAudioSyncOptions Start = SyncOptions(0);
  Start.StartTime = 1000000;
  Out->Push(C.get(), Dec.get(), 1500000, IsStart, Start);
  EXPECT_EQ(Got.Packets.back().Pts, 22050);
  EXPECT_EQ(IsStart, 1);
  EXPECT_TRUE(Got.Lines.empty());
}

TEST_F(AudioSync, Method1PutsHalfASecondOfSilenceInFrontOfAFirstBlockThatIsAhead) {
  int IsStart = 1;
  FramePtr A = Block(1024);  // 4096 bytes
  Out->Push(A.get(), Dec.get(), 500000, IsStart, SyncOptions(1));
  EXPECT_EQ(IsStart, 0);
  EXPECT_TRUE(Got.Logged("adding 22050 audio samples of silence"));
  ASSERT_EQ(Got.Packets.size(), 1u);
  ASSERT_EQ(Samples(0), 22050 + 1024);
  const std::vector<uint8_t>& Data = Got.Packets[0].Data;
  for (size_t I = 0; I < 22050u * 4; ++I) ASSERT_EQ(Data[I], 0) << I;
  EXPECT_EQ(std::memcmp(Data.data() + 22050 * 4, A->extended_data[0], 4096), 0);
  EXPECT_EQ(Out->SyncPts(), 22050 + 1024);
  // The next block, contiguous with the input, is in step: no edit.
  FramePtr B = Block(1024, 1024);
  Out->Push(B.get(), Dec.get(), UsOf(22050 + 1024, 44100), IsStart, SyncOptions(1));
  EXPECT_EQ(Samples(1), 1024);
  EXPECT_EQ(Got.Lines.size(), 1u);
}

TEST_F(AudioSync, Method1DiscardsTheSamplesOfAFirstBlockThatIsBehind) {
  int IsStart = 1;
  FramePtr A = Block(8192);
  Out->Push(A.get(), Dec.get(), -100000, IsStart, SyncOptions(1));
  EXPECT_EQ(IsStart, 0);
  EXPECT_TRUE(Got.Logged("discarding 4410 audio samples"));
  ASSERT_EQ(Got.Packets.size(), 1u);
  EXPECT_EQ(Samples(0), 8192 - 4410);
  // 4410 samples per channel (17640 bytes) went.
  EXPECT_EQ(std::memcmp(Got.Packets[0].Data.data(), A->extended_data[0] + 17640, (8192 - 4410) * 4), 0);
}

TEST_F(AudioSync, Method1DropsAShortBlockWholeAndKeepsIsStart) {
  int IsStart = 1;
  FramePtr A = Block(882);  // 20 ms
  Out->Push(A.get(), Dec.get(), -100000, IsStart, SyncOptions(1));
  EXPECT_EQ(IsStart, 1);
  EXPECT_TRUE(Got.Packets.empty());
  EXPECT_EQ(Out->SyncPts(), 0);
  EXPECT_TRUE(Got.Logged("discarding 4410 audio samples"));
  // The next block is still 3528 samples (80 ms) too early: that many go.
  FramePtr B = Block(4000, 882);
  Out->Push(B.get(), Dec.get(), -80000, IsStart, SyncOptions(1));
  EXPECT_EQ(IsStart, 0);
  EXPECT_TRUE(Got.Logged("discarding 3528 audio samples"));
  ASSERT_EQ(Got.Packets.size(), 1u);
  EXPECT_EQ(Samples(0), 4000 - 3528);
}

TEST_F(AudioSync, ADriftOf50SamplesOrLessIsNeverCorrected) {
  for (int Method : {1, 100})
    for (double Drift : {50.0, -50.0, 49.0, -12.0}) {
      SCOPED_TRACE(testing::Message() << "method " << Method << " drift " << Drift);
      TCollector Local;
      TAudioOutput Fresh(Enc.get(), Stream->Get(), Local.Writer(), Local.Logger());
      int IsStart = 1;
      FramePtr A = Block(1024);
      // A hair inside the tolerance (the time stamp is whole microseconds).
      const int64_t Pts = static_cast<int64_t>(std::trunc(Drift * 1000000.0 / 44100));
      Fresh.Push(A.get(), Dec.get(), Pts, IsStart, SyncOptions(Method));
      EXPECT_EQ(IsStart, 1);
      EXPECT_TRUE(Local.Lines.empty());
      // Nothing added, nothing dropped (the resampler of method 100 may
      // still hold a few samples).
      EXPECT_LE(Local.TotalBytes() / 4, 1024);
      EXPECT_GE(Local.TotalBytes() / 4, 1024 - 64);
    }
  // 60 samples ahead is corrected.
  int IsStart = 1;
  FramePtr A = Block(1024);
  Out->Push(A.get(), Dec.get(), UsOf(60.5, 44100), IsStart, SyncOptions(1));
  EXPECT_EQ(IsStart, 0);
  EXPECT_TRUE(Got.Logged("adding 60 audio samples of silence"));
  EXPECT_EQ(WrittenSamples(), 60 + 1024);
}

TEST_F(AudioSync, Method1LeavesASmallLaterDriftAloneAndCorrectsALargeOne) {
  // Time stamps on 10 ms steps (441 samples) keep Delta a whole number.
  int IsStart = 0;
  FramePtr A = Block(441);
  // 0.05 s ahead with the threshold at 0.1 s: left alone once started.
  Out->Push(A.get(), Dec.get(), 50000, IsStart, SyncOptions(1));
  EXPECT_EQ(WrittenSamples(), 441);
  EXPECT_TRUE(Got.Lines.empty());
  // 0.2 s ahead of the 441 samples written: corrected.
  Out->Push(A.get(), Dec.get(), 210000, IsStart, SyncOptions(1));
  EXPECT_TRUE(Got.Logged("adding 8820 audio samples of silence"));
  EXPECT_EQ(Samples(1), 8820 + 441);
  EXPECT_EQ(Out->SyncPts(), 9702);
  // With a threshold of 0.01 s, 0.02 s behind is corrected.
  TAudioSyncOptions Tight = SyncOptions(1);
  Tight.AudioDriftThreshold = 0.01f;
  FramePtr B = Block(2205);
  Out->Push(B.get(), Dec.get(), 200000, IsStart, Tight);
  EXPECT_TRUE(Got.Logged("discarding 882 audio samples"));
  EXPECT_EQ(Samples(2), 2205 - 882);
}

TEST_F(AudioSync, SilenceOfOneBlockIsLimitedAndTheCorrectionGoesOnWithTheNextBlocks) {
  // 131072 bytes of stereo 16-bit: at most 32768 samples in one padded
  // block; 2 s ahead takes three blocks of 1024.
  int IsStart = 1;
  int64_t In = 0;
  for (int I = 0; I < 3; ++I) {
    FramePtr A = Block(1024, In);
    Out->Push(A.get(), Dec.get(), 2000000 + UsOf(static_cast<double>(In), 44100), IsStart, SyncOptions(1));
    In += 1024;
  }
  ASSERT_EQ(Got.Packets.size(), 3u);
  EXPECT_EQ(Samples(0), 32768);
  EXPECT_EQ(Samples(1), 32768);
  EXPECT_EQ(Samples(2), 88200 - 2 * 31744 + 1024);
  EXPECT_EQ(IsStart, 0);
  EXPECT_EQ(Out->SyncPts(), 88200 + 3 * 1024);
  // A block that alone fills the limit still gets its silence in front.
  TCollector Big;
  TAudioOutput Out2(Enc.get(), Stream->Get(), Big.Writer(), Big.Logger());
  IsStart = 1;
  FramePtr L = Block(40000);
  Out2.Push(L.get(), Dec.get(), 500000, IsStart, SyncOptions(1));
  EXPECT_EQ(IsStart, 0);
  EXPECT_EQ(Big.TotalBytes() / 4, 22050 + 40000);
}

TEST_F(AudioSync, MessagesNeedVerboseAbove2) {
  int IsStart = 1;
  FramePtr A = Block(1024);
  Out->Push(A.get(), Dec.get(), 500000, IsStart, SyncOptions(1, 2));
  EXPECT_EQ(IsStart, 0);
  EXPECT_EQ(WrittenSamples(), 22050 + 1024);
  EXPECT_TRUE(Got.Lines.empty());
}

TEST_F(AudioSync, Method100StretchesALaterDriftWithoutAddingOrDroppingSamples) {
  int IsStart = 0;
  TAudioSyncOptions Opts = SyncOptions(100);
  // One second in blocks of 2205, each time stamp 441 samples (10 ms) ahead
  // of the samples given so far: a drift below the 4410-sample threshold.
  int64_t In = 0;
  for (int I = 0; I < 20; ++I) {
    FramePtr A = Block(2205, In);
    Out->Push(A.get(), Dec.get(), UsOf(static_cast<double>(In) + 441, 44100), IsStart, Opts);
    In += 2205;
  }
  EXPECT_TRUE(Out->HasResampler());
  EXPECT_TRUE(Got.Logged("compensating audio timestamp drift:441.000000 compensation:100 in:44100"));
  EXPECT_GE(Got.Lines.size(), 19u);
  EXPECT_FALSE(Got.LoggedPrefix("adding"));
  EXPECT_FALSE(Got.LoggedPrefix("discarding"));
  EXPECT_EQ(IsStart, 0);
  Out->Flush();
  // Stretched by about 100 samples over the second, never by 441 at once.
  const int64_t Written = WrittenSamples();
  EXPECT_GT(Written, 44100 + 40);
  EXPECT_LT(Written, 44100 + 160);
  EXPECT_EQ(Out->SyncPts(), Written);
}

TEST_F(AudioSync, Method2ClipsTheCompensationTo2) {
  int IsStart = 0;
  FramePtr A = Block(2205);
  Out->Push(A.get(), Dec.get(), 10000, IsStart, SyncOptions(2));
  EXPECT_TRUE(Got.Logged("compensating audio timestamp drift:441.000000 compensation:2 in:44100"));
  // Back at 0 after about 2205 samples: ahead, clipped to -2.
  Out->Push(A.get(), Dec.get(), 0, IsStart, SyncOptions(2));
  ASSERT_EQ(Got.Lines.size(), 2u);
  EXPECT_NE(Got.Lines[1].second.find("compensation:-2 in:44100"), std::string::npos) << Got.Lines[1].second;
}

TEST_F(AudioSync, Method1WithResamplingAndAacStartsWithHalfASecondOfSilence) {
  CodecContextPtr Aac = test::OpenEncoder("aac", 44100, 2);
  ASSERT_TRUE(Aac);
  test::TTestStream AacStream({1, 44100});
  TCollector AacGot;
  TAudioOutput AacOut(Aac.get(), AacStream.Get(), AacGot.Writer(), AacGot.Logger());
  CodecContextPtr Mono = test::MakeDecoderContext(AV_SAMPLE_FMT_S16, 22050, 1);
  int IsStart = 1;
  // Mono 22050 Hz, the first block 0.5 s after the start.
  int64_t In = 0;
  for (int I = 0; I < 20; ++I) {
    FramePtr A = test::MakeBlock(AV_SAMPLE_FMT_S16, 22050, 1, 1024, test::Tone(1000, 22050, 0.5, In));
    AacOut.Push(A.get(), Mono.get(), 500000 + UsOf(static_cast<double>(In), 22050), IsStart, SyncOptions(1));
    In += 1024;
  }
  EXPECT_EQ(IsStart, 0);
  // Delta is counted at the encoder's rate; the silence is added in input
  // samples (11025 at 22050 Hz).
  EXPECT_TRUE(AacGot.Logged("adding 22050 audio samples of silence"));
  AacOut.Flush();
  test::TDecoded D = test::DecodePackets(Aac.get(), AacGot.Packets);
  ASSERT_EQ(D.Channels, 2);
  // 1024 samples of priming, then about 22050 of near-silence, then the tone.
  EXPECT_LT(test::Rms(D.Samples[0], 1024 + 200, 1024 + 22050 - 200), 0.005);
  EXPECT_GT(test::Rms(D.Samples[0], 1024 + 22050 + 200, 1024 + 22050 + 20000), 0.2);
  EXPECT_NEAR(test::ToneFrequency(D.Samples[0], 1024 + 22050 + 200, 1024 + 22050 + 20000, 44100), 1000, 3);
  EXPECT_NEAR(static_cast<double>(AacOut.SyncPts()), 22050 + 2 * 20 * 1024, 4);
}

}  // namespace
}  // namespace vexav
