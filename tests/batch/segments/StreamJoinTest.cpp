// The join of a segmented file as its pieces end: it begins once the first
// segment has ended and is written under a hidden temporary name, the
// output appears under its name only when complete, a stop during the join
// keeps the leading segments appended, and a segment that fails after the
// join began leaves nothing. Outputs are decoded.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "MediaGenerator.h"
#include "SegmentsFixture.h"
#include "batch/segments/SegmentJoin.h"
#include "batch/segments/StreamJoin.h"

namespace vexav::batch {
namespace {

using namespace test;

// The join's temporary file in Out, "" while there is none.
std::string JoinFileIn(const std::string& Out) {
  std::error_code Code;
  for (const auto& Entry : fs::directory_iterator(Out, Code))
    if (Entry.path().filename().string().rfind(segments::JoinTemporaryPrefix, 0) == 0)
      return Entry.path();
  return "";
}

std::string WorkIn(const std::string& Out) {
  std::error_code Code;
  for (const auto& Entry : fs::directory_iterator(Out, Code))
    if (Entry.path().filename().string().rfind(".vexav-seg-", 0) == 0) return Entry.path();
  return "";
}

bool NonEmpty(const std::string& Path) {
  std::error_code Code;
  return !Path.empty() && fs::file_size(Path, Code) > 0 && !Code;
}

class StreamJoinRun : public SegmentsFixture {
 protected:
  // Nothing but the outputs named (and the run's own logs) is left in Out.
  void ExpectOnly(const std::string& Out, const std::vector<std::string>& Names) {
    for (const auto& Entry : fs::directory_iterator(Out)) {
      const std::string Name = Entry.path().filename().string();
      if (Name == ".stdout" || Name == ".stderr") continue;
      EXPECT_TRUE(std::find(Names.begin(), Names.end(), Name) != Names.end()) << Name << " is left";
    }
  }
};

// While the last segment runs, the join holds the segments before it in its
// temporary file and the output's name holds nothing; at the end the output
// is complete, every picture there, and the temporary file is gone.
TEST_F(StreamJoinRun, JoinsWhileTheLastSegmentRunsAndAppearsWhenComplete) {
  const std::string Source = MakeClip("long.avi", 9.0, 640, 480);
  const std::string Out = Dir + "/out";
  const std::string Final = Out + "/long (MPEG-4 Video).mp4";
  // The second segment has ended: the third (the last) runs.
  const auto LastRuns = [&] {
    const std::string Work = WorkIn(Out);
    return !Work.empty() && segments::PictureCount(Work + "/picture-001.mp4") > 0 &&
           NonEmpty(JoinFileIn(Out));
  };
  bool LastStillRunning = false;
  bool FinalEmpty = false;
  EXPECT_EQ(RunUntil(Source, Out, LastRuns,
                     [&](pid_t) {
                       FinalEmpty = !NonEmpty(Final);
                       LastStillRunning =
                           segments::PictureCount(WorkIn(Out) + "/picture-002.mp4") <= 0;
                     }),
            0)
      << ReadFile(Out + "/.stderr");
  EXPECT_TRUE(FinalEmpty);
  EXPECT_TRUE(LastStillRunning);
  const mediagen::DecodedMedia Decoded = mediagen::Decode(Final);
  ASSERT_EQ(Decoded.Error, "") << ReadFile(Out + "/.stderr");
  EXPECT_NEAR(static_cast<double>(Decoded.Frames.size()), 9.0 * 1e6 / FrameUs, 1.0);
  EXPECT_NEAR(Decoded.AudioSamples * 1e6 / Decoded.AudioSampleRate, 9e6, 50000.0);
  ExpectOnly(Out, {"long (MPEG-4 Video).mp4"});
}

// Ctrl-C once the join has begun, before the last segment has ended: the
// segments appended (and any further finished one) are the part kept, as
// "(partial)", playable, its sound cut where its pictures end; nothing else
// is left.
TEST_F(StreamJoinRun, StopDuringTheJoinKeepsTheLeadingPart) {
  const std::string Source = MakeClip("long.avi", 9.0, 640, 480);
  const std::string Out = Dir + "/out";
  EXPECT_EQ(RunUntil(
                Source, Out, [&] { return NonEmpty(JoinFileIn(Out)); },
                [](pid_t Child) { ::kill(Child, SIGINT); }),
            130)
      << ReadFile(Out + "/.stderr");
  const std::string Kept = Out + "/long (MPEG-4 Video) (partial).mp4";
  ExpectOnly(Out, {"long (MPEG-4 Video) (partial).mp4"});
  const mediagen::DecodedMedia Decoded = mediagen::Decode(Kept);
  ASSERT_EQ(Decoded.Error, "") << ReadFile(Out + "/.stderr");
  const segments::SegmentPlan Plan = PlanFor(Source, 3);
  const int64_t Frames = static_cast<int64_t>(Decoded.Frames.size());
  EXPECT_TRUE(Frames == Plan.Pieces[1].FirstFrame || Frames == Plan.Pieces[2].FirstFrame) << Frames;
  EXPECT_NEAR(Decoded.AudioSamples * 1e6 / Decoded.AudioSampleRate, Frames * FrameUs, 50000.0);
}

// The source loses its end once the join has begun: a later segment fails,
// the file fails with it named, and neither the output, nor the join's
// temporary file, nor the pieces are left.
TEST_F(StreamJoinRun, ASegmentFailingAfterTheJoinBeganLeavesNothing) {
  const std::string Source = MakeClip("cut.avi", 9.0, 640, 480);
  const std::string Out = Dir + "/out";
  EXPECT_EQ(RunUntil(
                Source, Out, [&] { return NonEmpty(JoinFileIn(Out)); },
                [&](pid_t) { fs::resize_file(Source, fs::file_size(Source) / 2); }),
            1)
      << ReadFile(Out + "/.stderr");
  const std::string Err = ReadFile(Out + "/.stderr");
  EXPECT_NE(Err.find("cut.avi: segment "), std::string::npos) << Err;
  ExpectOnly(Out, {});
}

}  // namespace
}  // namespace vexav::batch
