// Failures of the audio path and their texts, and blocks whose parameters
// change on the way.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "AudioTestSupport.h"
#include "engine/FFMpegException.h"

namespace vexav {
namespace {

using test::TCollector;

class AudioErrors : public ::testing::Test {
 protected:
  void SetUp() override { test::LoadLibsOrFail(); }
};

// A packed block over Buffer whose parameters are set by hand (a frame whose
// channel count is 0 cannot be allocated by the library).
FramePtr HandMadeBlock(int Format, int Rate, int Channels, int N, std::vector<uint8_t>& Buffer) {
  FramePtr Frame(ff::av_frame_alloc());
  Frame->format = Format;
  Frame->sample_rate = Rate;
  Frame->nb_samples = N;
  if (Channels > 0) ff::av_channel_layout_default(&Frame->ch_layout, Channels);
  Buffer.assign(static_cast<size_t>(N) * 8 * 8, 0);
  Frame->data[0] = Buffer.data();
  Frame->extended_data = Frame->data;
  return Frame;
}

std::string PushMessage(TAudioOutput& Out, const AVFrame* Frame, const AVCodecContext* Dec) {
  int IsStart = 1;
  try {
    Out.Push(Frame, Dec, 0, IsStart, TAudioSyncOptions{});
  } catch (const FFMpegException& E) {
    return E.what();
  }
  return "(no exception)";
}

TEST_F(AudioErrors, AResamplerThatCannotBeMadeRaisesTheChannelsAndRatesText) {
  CodecContextPtr Enc = test::OpenEncoder("aac", 44100, 2);
  ASSERT_TRUE(Enc);
  test::TTestStream Stream({1, 44100});
  TCollector Got;
  std::vector<uint8_t> Buf;
  {
    TAudioOutput Out(Enc.get(), Stream.Get(), Got.Writer(), Got.Logger());
    FramePtr NoChannels = HandMadeBlock(AV_SAMPLE_FMT_S16, 44100, 0, 64, Buf);
    EXPECT_EQ(PushMessage(Out, NoChannels.get(), nullptr),
              "Can not resample 0 channels @ 44100 Hz to 2 channels @ 44100 Hz");
  }
  {
    // The frame leaves the rate unset; the decoder's absurd rate is used.
    TAudioOutput Out(Enc.get(), Stream.Get(), Got.Writer(), Got.Logger());
    CodecContextPtr Dec = test::MakeDecoderContext(AV_SAMPLE_FMT_S16, -8, 1);
    FramePtr Block = HandMadeBlock(AV_SAMPLE_FMT_S16, 0, 1, 64, Buf);
    EXPECT_EQ(PushMessage(Out, Block.get(), Dec.get()), "Can not resample 1 channels @ -8 Hz to 2 channels @ 44100 Hz");
  }
  EXPECT_TRUE(Got.Packets.empty());
}

TEST_F(AudioErrors, AFormatConversionThatCannotBeMadeRaisesTheFormatsText) {
  CodecContextPtr Enc = test::OpenEncoder("pcm_s16le", 44100, 2);
  ASSERT_TRUE(Enc);
  test::TTestStream Stream({1, 44100});
  TCollector Got;
  TAudioOutput Out(Enc.get(), Stream.Get(), Got.Writer(), Got.Logger());
  std::vector<uint8_t> Buf;
  FramePtr Block = HandMadeBlock(42, 44100, 2, 64, Buf);
  EXPECT_EQ(PushMessage(Out, Block.get(), nullptr), "Cannot convert none sample format to s16 sample format");
}

TEST_F(AudioErrors, EncoderFailuresRaiseAudioEncodingFailed) {
  CodecContextPtr Enc = test::OpenEncoder("pcm_s16le", 44100, 2);
  ASSERT_TRUE(Enc);
  test::TTestStream Stream({1, 44100});
  TCollector Got;
  TAudioOutput Out(Enc.get(), Stream.Get(), Got.Writer(), Got.Logger());
  Out.Flush();
  // The encoder was drained: it takes no more frames.
  FramePtr Block = test::MakeBlock(AV_SAMPLE_FMT_S16, 44100, 2, 100, test::Tone(440, 44100));
  EXPECT_EQ(PushMessage(Out, Block.get(), nullptr), "Audio encoding failed");
}

TEST_F(AudioErrors, AFifoForAnEncoderWithoutChannelsCannotBeMade) {
  CodecContextPtr Enc(ff::avcodec_alloc_context3(nullptr));
  test::TTestStream Stream({1, 44100});
  try {
    TAudioOutput Out(Enc.get(), Stream.Get(), nullptr, nullptr);
    ADD_FAILURE() << "no exception";
  } catch (const FFMpegException& E) {
    EXPECT_STREQ(E.what(), "av_malloc failed");
  }
}

TEST_F(AudioErrors, WithoutWriterOrLogTheOutputStillCountsWhatItEncodes) {
  CodecContextPtr Enc = test::OpenEncoder("pcm_s16le", 44100, 2);
  ASSERT_TRUE(Enc);
  test::TTestStream Stream({1, 44100});
  TAudioOutput Out(Enc.get(), Stream.Get(), nullptr, nullptr);
  FramePtr Block = test::MakeBlock(AV_SAMPLE_FMT_S16, 44100, 2, 100, test::Tone(440, 44100));
  int IsStart = 1;
  TAudioSyncOptions Opts;
  Opts.AudioSyncMethod = 1;
  Opts.Verbose = 3;
  Out.Push(Block.get(), nullptr, 100000, IsStart, Opts);
  EXPECT_EQ(Out.EncodedBytes(), (4410 + 100) * 4);
}

TEST_F(AudioErrors, ABlockOfAnotherFormatRebuildsTheConverterWithoutLosingSamples) {
  CodecContextPtr Enc = test::OpenEncoder("pcm_s16le", 44100, 2);
  ASSERT_TRUE(Enc);
  test::TTestStream Stream({1, 44100});
  TCollector Got;
  TAudioOutput Out(Enc.get(), Stream.Get(), Got.Writer(), Got.Logger());
  int IsStart = 0;
  int64_t In = 0;
  for (AVSampleFormat Fmt : {AV_SAMPLE_FMT_S16, AV_SAMPLE_FMT_FLTP, AV_SAMPLE_FMT_S32, AV_SAMPLE_FMT_S16}) {
    SCOPED_TRACE(ff::av_get_sample_fmt_name(Fmt));
    FramePtr Block = test::MakeBlock(Fmt, 44100, 2, 1000, test::Tone(440, 44100, 0.5, In));
    Out.Push(Block.get(), nullptr, In * 1000000 / 44100, IsStart, TAudioSyncOptions{});
    EXPECT_EQ(Out.HasResampler(), Fmt != AV_SAMPLE_FMT_S16);
    In += 1000;
  }
  Out.Flush();
  EXPECT_EQ(Got.TotalBytes(), 4000 * 4);
  test::TDecoded D = test::DecodePackets(Enc.get(), Got.Packets);
  ASSERT_EQ(D.Count(), 4000u);
  for (size_t I = 0; I < 4000; I += 37)
    EXPECT_NEAR(D.Samples[0][I], 0.5 * std::sin(2 * M_PI * 440 * static_cast<double>(I) / 44100), 1e-3) << I;
}

}  // namespace
}  // namespace vexav
