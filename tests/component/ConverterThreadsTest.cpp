// The component's CodecThreads: its range, the tasks' engines taking it
// when they are created (decoders and encoders alike), and tasks of
// different counts run side by side to good outputs.
#include "ConverterFixture.h"

namespace vexav::test {
namespace {

// The window's MPEG-4 preset for the 320x240 clips, as free option lines.
TOutputOptions PresetRecord() {
  TOutputOptions O;
  O.ExtOptions =
      "vcodec=libx264\nacodec=libfaac\nr=29.97\nac=2\nar=44100\nb=1500000\nab=64000\ns=320x240\n";
  return O;
}

class ConverterThreadsTest : public ConverterFixture {
 protected:
  // Adds Media().Long with the preset into Name; the task's index.
  int AddPresetTask(const std::string& Name) {
    const int Index = C.AddInputFile(Media().Long);
    EXPECT_GE(Index, 0) << C.LastError();
    if (Index < 0) return Index;
    TOutputOptions Out = PresetRecord();
    EXPECT_TRUE(C.SetOutputFile(Index, OutPath(Name), &Out)) << C.LastError();
    return Index;
  }

  // thread_count of every decoder and encoder context of task Index.
  std::vector<int> ContextCounts(int Index) {
    std::vector<int> Counts;
    TFFmpeg* Task = C.Task(Index);
    if (!Task) return Counts;
    for (const auto& S : Task->InputCodecs[0]) Counts.push_back(S.Context->thread_count);
    for (int S = 0; S < MAX_STREAMS; ++S)
      if (AVCodecContext* Enc = Task->OutputCodec(0, S)) Counts.push_back(Enc->thread_count);
    return Counts;
  }
};

TEST_F(ConverterThreadsTest, DefaultIsOneAndTheRangeIsZeroToSixtyFour) {
  EXPECT_EQ(C.CodecThreads(), 1);
  EXPECT_TRUE(C.SetCodecThreads(0));
  EXPECT_EQ(C.CodecThreads(), 0);
  EXPECT_TRUE(C.SetCodecThreads(64));
  EXPECT_EQ(C.CodecThreads(), 64);
  EXPECT_TRUE(C.SetCodecThreads(3));
  for (int Bad : {-1, 65}) {
    EXPECT_FALSE(C.SetCodecThreads(Bad));
    EXPECT_NE(C.LastError().find("Invalid codec thread count " + std::to_string(Bad)),
              std::string::npos)
        << C.LastError();
    EXPECT_EQ(C.CodecThreads(), 3);
  }
  // A task made after a refusal still gets the value in force.
  const int Index = C.AddInputFile(Media().Short);
  ASSERT_GE(Index, 0) << C.LastError();
  EXPECT_EQ(C.Task(Index)->ThreadCount, 3);
}

TEST_F(ConverterThreadsTest, EachTaskKeepsTheCountItWasCreatedWith) {
  // The engine's own default would be 1 for all of them.
  ASSERT_TRUE(C.SetCodecThreads(2));
  const int Two = AddPresetTask("two.mp4");
  ASSERT_TRUE(C.SetCodecThreads(0));
  const int Auto = AddPresetTask("auto.mp4");
  ASSERT_TRUE(C.SetCodecThreads(1));
  const int One = AddPresetTask("one.mp4");
  ASSERT_GE(One, 0);

  EXPECT_EQ(C.Task(Two)->ThreadCount, 2);
  EXPECT_EQ(C.Task(Auto)->ThreadCount, 0);
  EXPECT_EQ(C.Task(One)->ThreadCount, 1);
  // Both decoders (video, audio) and both encoders of each task.
  EXPECT_EQ(ContextCounts(Two), std::vector<int>(4, 2));
  // Automatic: the libraries choose, but for the video encoder, which the
  // engine gives more threads than there are cores.
  EXPECT_EQ(ContextCounts(Auto),
            std::vector<int>({0, 0, TCustomFFmpeg::AutomaticVideoEncoderThreads(), 0}));
  EXPECT_EQ(ContextCounts(One), std::vector<int>(4, 1));

  Events.Attach(C);
  ASSERT_TRUE(C.Start(2)) << C.LastError();
  ASSERT_TRUE(Events.WaitFinal());
  int Finished = 0;
  for (const auto& T : Events.TerminationsCopy()) {
    if (T.Index < 0) continue;
    EXPECT_TRUE(T.Finished && !T.Exception) << T.Index << ": " << T.Message;
    ++Finished;
  }
  EXPECT_EQ(Finished, 3);

  // The same pictures whatever the count.
  const auto Reference = mediagen::Decode(OutPath("one.mp4"));
  ASSERT_EQ(Reference.Error, "");
  ASSERT_GE(Reference.Frames.size(), 59u);
  for (const char* Name : {"two.mp4", "auto.mp4"}) {
    const auto D = mediagen::Decode(OutPath(Name));
    ASSERT_EQ(D.Error, "") << Name;
    EXPECT_EQ(D.VideoCodecName, "h264");
    EXPECT_EQ(D.Frames.size(), Reference.Frames.size()) << Name;
    EXPECT_EQ(D.FlashTimesUs, Reference.FlashTimesUs) << Name;
    EXPECT_EQ(D.AudioSamples, Reference.AudioSamples) << Name;
  }
}

}  // namespace
}  // namespace vexav::test
