// Codec threads (SetThreadCount) and run timings (SetCollectTimings): the
// count reaches the decoder and encoder contexts, before they are opened and
// once they are; runs with automatic and with two threads give the same
// output as one thread; a bad count raises and changes nothing; a timed run
// tells where its time went, stage by stage.
#include <unistd.h>

#include <set>
#include <string>

#include "RunTestSupport.h"

namespace vexav::test {
namespace {

// The window's MPEG-4 preset for a 320x240 source.
TOptionList Preset() {
  return {{"vcodec", "libx264"}, {"acodec", "libfaac"}, {"r", "29.97"},  {"ac", "2"},
          {"ar", "44100"},       {"b", "1500000"},      {"ab", "64000"}, {"s", "320x240"},
          {"vsync", "-1"},       {"async", "0"}};
}

std::string Clip() {
  mediagen::MediaRequest S;  // 320x240, 25 frames/s, MPEG-4 + MP3 stereo 44.1 kHz
  S.DurationSeconds = 2.0;
  return Media("threads-mpeg4-mp3.avi", S);
}

// Thread counts of the opened codecs, by codec name, as the run saw them.
struct TOpenedCounts {
  std::map<std::string, int> Decoders;
  std::map<std::string, int> Encoders;
};

struct TThreadRun {
  bool Finished = false;
  std::string Error;
  // thread_count of the contexts once the input / output was opened (the
  // codecs not open yet), by codec name.
  std::map<std::string, int> BeforeOpen;
  TOpenedCounts Opened;
  TRunTimings Timings;
};

// One conversion on the calling thread with ThreadCount set first (and so
// before the input is opened), then the options and the output.
TThreadRun Convert(int ThreadCount, const TOptionList& Options, const std::string& Output,
                   bool CollectTimings = false) {
  TThreadRun Run;
  TCustomFFmpeg E;
  E.InitOptions();
  E.SetThreadCount(ThreadCount);
  E.SetCollectTimings(CollectTimings);
  E.ProgressInterval = 1;  // a report after every packet
  E.OnProgress = [&Run](TCustomFFmpeg& Sender, const TRunProgress&) {
    for (AVCodecContext* C : Sender.OpenedDecoders)
      Run.Opened.Decoders[ff::avcodec_get_name(C->codec_id)] = C->thread_count;
    for (AVCodecContext* C : Sender.OpenedEncoders)
      Run.Opened.Encoders[ff::avcodec_get_name(C->codec_id)] = C->thread_count;
  };
  E.OnTerminate = [&Run](TCustomFFmpeg& Sender) {
    Run.Finished = Sender.Finished && !Sender.ExceptionRaised;
    Run.Error = Sender.ErrorMessage;
  };
  if (!E.OpenInputFile(Clip())) {
    Run.Error = E.LastError;
    return Run;
  }
  for (const auto& S : E.InputCodecs[0])
    Run.BeforeOpen["in:" + std::string(ff::avcodec_get_name(S.Context->codec_id))] =
        S.Context->thread_count;
  for (const auto& [Name, Value] : Options) E.SetOption(Name, Value);
  if (!E.OpenOutputFile(Output)) {
    Run.Error = E.LastError;
    return Run;
  }
  for (int S = 0; S < MAX_STREAMS; ++S)
    if (AVCodecContext* C = E.OutputCodec(0, S))
      Run.BeforeOpen["out:" + std::string(ff::avcodec_get_name(C->codec_id))] = C->thread_count;
  EXPECT_EQ(E.Start(false), nullptr);
  E.WaitForRun();
  Run.Timings = E.RunTimings();
  return Run;
}

class RunThreadsTest : public RunTest {};

TEST_F(RunThreadsTest, SetThreadCountTakesZeroToSixtyFourAndRefusesTheRest) {
  TCustomFFmpeg E;
  E.InitOptions();
  EXPECT_EQ(E.ThreadCount, 1);
  E.SetThreadCount(0);
  EXPECT_EQ(E.ThreadCount, 0);
  E.SetThreadCount(64);
  EXPECT_EQ(E.ThreadCount, 64);
  E.SetThreadCount(3);
  for (int Bad : {-1, -100, 65, 1000}) {
    try {
      E.SetThreadCount(Bad);
      ADD_FAILURE() << Bad << " was taken";
    } catch (const FFMpegException& Error) {
      EXPECT_NE(std::string(Error.what()).find("Invalid codec thread count " + std::to_string(Bad)),
                std::string::npos)
          << Error.what();
    }
    EXPECT_EQ(E.ThreadCount, 3) << Bad;
  }
  // The option model's default comes back with the other options.
  E.ResetOptions();
  EXPECT_EQ(E.ThreadCount, 1);
  // "threads" itself stays refused as an option.
  EXPECT_ANY_THROW(E.SetOption("threads", "2"));
  EXPECT_EQ(E.ThreadCount, 1);
}

TEST_F(RunThreadsTest, RefusedCountLeavesTheCodecsOnTheirCount) {
  TCustomFFmpeg E;
  E.InitOptions();
  E.SetThreadCount(2);
  EXPECT_THROW(E.SetThreadCount(-1), FFMpegException);
  ASSERT_TRUE(E.OpenInputFile(Clip())) << E.LastError;
  for (const auto& S : E.InputCodecs[0]) EXPECT_EQ(S.Context->thread_count, 2);
}

TEST_F(RunThreadsTest, CountReachesDecodersAndEncodersBeforeAndAfterOpening) {
  const TThreadRun Run = Convert(2, Preset(), OutPath("two.mp4"));
  ASSERT_TRUE(Run.Finished) << Run.Error;
  EXPECT_EQ(Run.BeforeOpen.at("in:mpeg4"), 2);
  EXPECT_EQ(Run.BeforeOpen.at("in:mp3"), 2);
  EXPECT_EQ(Run.BeforeOpen.at("out:h264"), 2);
  EXPECT_EQ(Run.BeforeOpen.at("out:aac"), 2);
  // Opened: the MPEG-4 decoder runs two frame threads and libx264 two
  // threads; codecs without threads of their own settle on 1.
  ASSERT_TRUE(Run.Opened.Decoders.count("mpeg4"));
  ASSERT_TRUE(Run.Opened.Encoders.count("h264"));
  EXPECT_EQ(Run.Opened.Decoders.at("mpeg4"), 2);
  EXPECT_EQ(Run.Opened.Encoders.at("h264"), 2);
  EXPECT_EQ(Run.Opened.Decoders.at("mp3"), 1);
  EXPECT_EQ(Run.Opened.Encoders.at("aac"), 1);
}

TEST_F(RunThreadsTest, AutomaticCountIsLeftToTheLibrariesButTheVideoEncoders) {
  const TThreadRun Run = Convert(0, Preset(), OutPath("auto.mp4"));
  ASSERT_TRUE(Run.Finished) << Run.Error;
  EXPECT_EQ(Run.BeforeOpen.at("in:mpeg4"), 0);
  EXPECT_EQ(Run.BeforeOpen.at("out:aac"), 0);
  // The video encoder gets more threads than there are cores (two more, at
  // least one and a half per core), or the library's choice on one core.
  const long Cores = ::sysconf(_SC_NPROCESSORS_ONLN);
  const int VideoThreads = Run.BeforeOpen.at("out:h264");
  if (Cores <= 1) {
    EXPECT_EQ(VideoThreads, 0);
  } else {
    EXPECT_GE(VideoThreads, Cores + 2);
    EXPECT_GE(VideoThreads, Cores * 3 / 2);
    EXPECT_LE(VideoThreads, TCustomFFmpeg::MaxThreadCount);
  }
  ASSERT_TRUE(Run.Opened.Decoders.count("mpeg4"));
  ASSERT_TRUE(Run.Opened.Encoders.count("h264"));
  // libavcodec picks the decoder's count from the processor cores (one more
  // than there are, 1 on a single core).
  const int Decoder = Run.Opened.Decoders.at("mpeg4");
  EXPECT_GE(Decoder, 1);
  EXPECT_LE(Decoder, 17);
  EXPECT_EQ(Run.Opened.Encoders.at("h264"), VideoThreads);
}

TEST_F(RunThreadsTest, ThreadedCodecsGiveTheSameFramesAsOneThread) {
  const std::string One = OutPath("one.mp4"), Auto = OutPath("auto.mp4"), Two = OutPath("two.mp4");
  ASSERT_TRUE(Convert(1, Preset(), One).Finished);
  ASSERT_TRUE(Convert(0, Preset(), Auto).Finished);
  ASSERT_TRUE(Convert(2, Preset(), Two).Finished);
  const mediagen::DecodedMedia D1 = mediagen::Decode(One);
  const mediagen::DecodedMedia D0 = mediagen::Decode(Auto);
  const mediagen::DecodedMedia D2 = mediagen::Decode(Two);
  ASSERT_EQ(D1.Error, "");
  ASSERT_EQ(D0.Error, "");
  ASSERT_EQ(D2.Error, "");
  // 2 s at 29.97 frames/s.
  ASSERT_GE(D1.Frames.size(), 59u);
  EXPECT_EQ(D0.Frames.size(), D1.Frames.size());
  EXPECT_EQ(D2.Frames.size(), D1.Frames.size());
  for (std::size_t I = 0; I < D1.Frames.size() && I < D2.Frames.size() && I < D0.Frames.size();
       ++I) {
    EXPECT_EQ(D0.Frames[I].PtsUs, D1.Frames[I].PtsUs) << I;
    EXPECT_EQ(D2.Frames[I].PtsUs, D1.Frames[I].PtsUs) << I;
  }
  EXPECT_EQ(D0.AudioSamples, D1.AudioSamples);
  EXPECT_EQ(D2.AudioSamples, D1.AudioSamples);
  // The flashes come through frame threading at the same pictures.
  EXPECT_EQ(D0.FlashTimesUs, D1.FlashTimesUs);
  EXPECT_EQ(D2.FlashTimesUs, D1.FlashTimesUs);
  EXPECT_EQ(D1.FlashTimesUs.size(), 2u);
}

// ---- Run timings -------------------------------------------------------------

TEST_F(RunThreadsTest, TimedReencodeFillsEveryStageItUsed) {
  const TThreadRun Run = Convert(1, Preset(), OutPath("timed.mp4"), true);
  ASSERT_TRUE(Run.Finished) << Run.Error;
  const TRunTimings& T = Run.Timings;
  ASSERT_TRUE(T.Collected);
  for (TRunStage S : {TRunStage::Demux, TRunStage::Decode, TRunStage::Encode, TRunStage::Mux,
                      TRunStage::Codecs}) {
    EXPECT_GT(T.Stage(S).Calls, 0) << TRunTimings::StageName(S);
    EXPECT_GT(T.Stage(S).WallNs, 0) << TRunTimings::StageName(S);
  }
  // Decoding and encoding are real work on the run thread with one thread.
  EXPECT_GT(T.Stage(TRunStage::Decode).CpuNs, 0);
  EXPECT_GT(T.Stage(TRunStage::Encode).CpuNs, 0);
  // At least a call per packet: 50 video and 50 audio packets, and more
  // encoder calls than pictures.
  EXPECT_GE(T.Stage(TRunStage::Decode).Calls, 100);
  EXPECT_GE(T.Stage(TRunStage::Encode).Calls, 60);
  // Same size, no resampling, no filter graph: nothing there.
  EXPECT_EQ(T.Stage(TRunStage::Scale).Calls, 0);
  EXPECT_EQ(T.Stage(TRunStage::Resample).Calls, 0);
  EXPECT_EQ(T.Stage(TRunStage::Filter).Calls, 0);
  // The totals hold their parts.
  EXPECT_GT(T.WallNs, 0);
  EXPECT_GE(T.ThreadCpuNs, T.LibraryCpuNs() - 1000000);  // clock reads apart
  EXPECT_GE(T.ProcessCpuNs, T.ThreadCpuNs);
  EXPECT_EQ(T.EngineCpuNs(), std::max<int64_t>(0, T.ThreadCpuNs - T.LibraryCpuNs()));
  EXPECT_GE(T.EngineShare(), 0.0);
  EXPECT_LT(T.EngineShare(), 1.0);
}

TEST_F(RunThreadsTest, TimedResizeAndResampleCountScalingAndResampling) {
  TOptionList Options = Preset();
  for (auto& [Name, Value] : Options) {
    if (Name == "s") Value = "160x120";
    if (Name == "ar") Value = "22050";
  }
  const TThreadRun Run = Convert(1, Options, OutPath("small.mp4"), true);
  ASSERT_TRUE(Run.Finished) << Run.Error;
  ASSERT_TRUE(Run.Timings.Collected);
  EXPECT_GE(Run.Timings.Stage(TRunStage::Scale).Calls, 50);
  EXPECT_GT(Run.Timings.Stage(TRunStage::Scale).WallNs, 0);
  EXPECT_GE(Run.Timings.Stage(TRunStage::Resample).Calls, 50);
  EXPECT_GT(Run.Timings.Stage(TRunStage::Resample).WallNs, 0);
}

TEST_F(RunThreadsTest, StreamCopyIsTimedAsDemuxAndMuxOnly) {
  const TThreadRun Run =
      Convert(1, {{"vcodec", "copy"}, {"acodec", "copy"}}, OutPath("copy.avi"), true);
  ASSERT_TRUE(Run.Finished) << Run.Error;
  ASSERT_TRUE(Run.Timings.Collected);
  EXPECT_EQ(Run.Timings.Stage(TRunStage::Decode).Calls, 0);
  EXPECT_EQ(Run.Timings.Stage(TRunStage::Encode).Calls, 0);
  EXPECT_GE(Run.Timings.Stage(TRunStage::Demux).Calls, 100);
  // A packet each, the header and the trailer.
  EXPECT_GE(Run.Timings.Stage(TRunStage::Mux).Calls, 102);
}

TEST_F(RunThreadsTest, UntimedRunCollectsNothing) {
  const TThreadRun Run = Convert(1, Preset(), OutPath("untimed.mp4"), false);
  ASSERT_TRUE(Run.Finished) << Run.Error;
  EXPECT_FALSE(Run.Timings.Collected);
  EXPECT_EQ(Run.Timings.Stage(TRunStage::Decode).Calls, 0);
  EXPECT_EQ(Run.Timings.WallNs, 0);
}

}  // namespace
}  // namespace vexav::test
