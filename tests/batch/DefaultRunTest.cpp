// The default run of a batch on the converter component, with generated
// media: the preset and the names after the sources, the outcome of each file
// (done, failed with its reason, stopped with the part kept, canceled), the
// outputs read back, and what a stop leaves behind.
#include "batch/DefaultRun.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <atomic>
#include <functional>
#include <thread>
#include <string>
#include <vector>

#include "MediaGenerator.h"
#include "binding/FFmpegLibs.h"

namespace vexav::batch {
namespace {

namespace fs = std::filesystem;
using mediagen::MediaRequest;

std::string ReadText(const std::string& Path) {
  std::ifstream In(Path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(In), {});
}

// What the run reported, in order.
struct Recorder : DefaultRunObserver {
  struct Ending {
    int File;
    std::string Source;
    FileResult Result;
    bool HadProgress;
  };
  std::vector<std::string> Added;
  std::vector<Ending> Ends;
  std::vector<std::string> Errors;
  int ProgressCount = 0;
  // Called with each progress report (under the run's lock).
  std::function<void(int File, const ProgressInfo&)> OnProgress;

  void FileAdded(int File, const std::string& Source, const std::string& Output) override {
    EXPECT_EQ(File, static_cast<int>(Added.size()));
    Added.push_back(Source + " -> " + Output);
  }
  void Progress(int File, const std::string&, const ProgressInfo& Info, double Elapsed) override {
    ++ProgressCount;
    EXPECT_GE(Elapsed, 0.0);
    if (OnProgress) OnProgress(File, Info);
  }
  void Ended(int File, const std::string& Source, const FileResult& Result,
             const std::optional<ProgressInfo>& Last, const std::optional<double>&) override {
    Ends.push_back({File, Source, Result, Last.has_value()});
  }
  void FileNote(const std::string&, const std::string&) override {}
  void Log(const std::string&, const std::string&) override {}
  void Timings(const std::string&, const TRunTimings&) override {}
  void RunError(const std::string& Subject, const std::string& Text) override {
    Errors.push_back(Subject + ": " + Text);
  }
  const Ending* EndOf(const std::string& Source) const {
    for (const Ending& E : Ends)
      if (E.Source == Source) return &E;
    return nullptr;
  }
};

class DefaultRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(LoadFFmpegLibs("", true)) << LastLoadError();
    char Template[] = "/tmp/vexav-batch-run-XXXXXX";
    ASSERT_NE(::mkdtemp(Template), nullptr);
    Dir = Template;
    fs::create_directories(Dir + "/in");
  }
  void TearDown() override { fs::remove_all(Dir); }

  std::string Make(const std::string& Name, const MediaRequest& Media) {
    const std::string Path = Dir + "/in/" + Name;
    EXPECT_EQ(mediagen::Generate(Path, Media), "") << Name;
    return Path;
  }
  // A clip whose conversion lasts long enough to be stopped in the middle:
  // textured pictures cost the encoder what footage does.
  std::string MakeSlow(const std::string& Name) {
    MediaRequest Slow;
    Slow.Width = 640;
    Slow.Height = 480;
    Slow.DurationSeconds = 12.0;
    Slow.Pattern = mediagen::PicturePattern::Textured;
    Slow.MarkSeconds = {};
    return Make(Name, Slow);
  }

  DefaultRunRequest Request(const std::vector<std::string>& Sources) {
    DefaultRunRequest R;
    for (const std::string& S : Sources) R.Sources.push_back(SourceItem{S, ""});
    R.OutputDir = Dir + "/out";
    R.ProgressIntervalMs = 50;
    return R;
  }

  std::string Dir;
};

TEST_F(DefaultRunTest, PresetNamesAndSoundOnlyOutputs) {
  MediaRequest Small;
  Small.Width = 176;
  Small.Height = 144;
  Small.DurationSeconds = 1.0;
  const std::string A = Make("a.avi", MediaRequest());
  const std::string B = Make("b.avi", Small);
  MediaRequest Song;
  Song.Video = mediagen::VideoCodec::None;
  Song.DurationSeconds = 1.0;
  const std::string S = Make("song.mp3", Song);

  DefaultRunRequest R = Request({A, B, S});
  R.OutputDir = Dir + "/out/deeper";  // made with its parents
  fs::create_directories(R.OutputDir);
  // A name that is taken gets a counter, and the file there stays as it is.
  std::ofstream(R.OutputDir + "/a (MPEG-4 Video).mp4") << "mine";
  Recorder Seen;
  DefaultRunner Runner(R, Seen);
  const DefaultRunSummary Summary = Runner.Run();
  EXPECT_TRUE(Summary.Started);
  EXPECT_EQ(Summary.Failed, 0);

  const std::string OutA = R.OutputDir + "/a (MPEG-4 Video [1]).mp4";
  const std::string OutB = R.OutputDir + "/b (MPEG-4 Video).mp4";
  const std::string OutS = R.OutputDir + "/song (MPEG-4 Video).mp4";
  EXPECT_EQ(Seen.Added, (std::vector<std::string>{A + " -> " + OutA, B + " -> " + OutB,
                                                  S + " -> " + OutS}));
  ASSERT_EQ(Seen.Ends.size(), 3u);
  for (const auto& End : Seen.Ends) {
    EXPECT_EQ(End.Result.Outcome, FileOutcome::Done) << End.Source << ": " << End.Result.Message;
    EXPECT_TRUE(End.HadProgress) << End.Source;
  }
  EXPECT_EQ(Seen.EndOf(A)->Result.Output, OutA);
  EXPECT_EQ(ReadText(R.OutputDir + "/a (MPEG-4 Video).mp4"), "mine");
  EXPECT_GT(Seen.ProgressCount, 0);

  // The pictures keep each source's size; the song's output has no picture.
  const mediagen::DecodedMedia DecodedA = mediagen::Decode(OutA);
  ASSERT_EQ(DecodedA.Error, "");
  ASSERT_FALSE(DecodedA.Frames.empty());
  EXPECT_EQ(DecodedA.Frames[0].Width, 320);
  EXPECT_EQ(DecodedA.VideoCodecName, "h264");  // the preset's encoder
  const mediagen::DecodedMedia DecodedB = mediagen::Decode(OutB);
  ASSERT_EQ(DecodedB.Error, "");
  ASSERT_FALSE(DecodedB.Frames.empty());
  EXPECT_EQ(DecodedB.Frames[0].Width, 176);
  EXPECT_EQ(DecodedB.Frames[0].Height, 144);
  const mediagen::DecodedMedia DecodedS = mediagen::Decode(OutS);
  ASSERT_EQ(DecodedS.Error, "");
  EXPECT_EQ(DecodedS.VideoStreams, 0);
  EXPECT_EQ(DecodedS.AudioStreams, 1);
  EXPECT_GT(DecodedS.AudioSamples, 0);
}

TEST_F(DefaultRunTest, AFailingFileIsReportedAndTheOthersGoOn) {
  const std::string A = Make("a.avi", MediaRequest());
  const std::string Text = Dir + "/in/text.avi";
  std::ofstream(Text) << "Only some text.\n";
  const std::string Missing = Dir + "/in/missing.avi";
  Recorder Seen;
  DefaultRunRequest R = Request({Text, A, Missing});
  DefaultRunner Runner(R, Seen);
  const DefaultRunSummary Summary = Runner.Run();
  EXPECT_EQ(Summary.Failed, 2);
  ASSERT_EQ(Seen.Ends.size(), 3u);
  for (const std::string& Bad : {Text, Missing}) {
    const Recorder::Ending* End = Seen.EndOf(Bad);
    ASSERT_NE(End, nullptr) << Bad;
    EXPECT_EQ(End->File, -1);  // never became a file of the run
    EXPECT_EQ(End->Result.Outcome, FileOutcome::Failed);
    EXPECT_FALSE(End->Result.Message.empty());
  }
  EXPECT_EQ(Seen.EndOf(A)->Result.Outcome, FileOutcome::Done);
  EXPECT_EQ(mediagen::Decode(Seen.EndOf(A)->Result.Output).Error, "");
  // Nothing was made for the files that failed.
  for (const auto& Entry : fs::directory_iterator(R.OutputDir))
    EXPECT_EQ(Entry.path().filename().string(), "a (MPEG-4 Video).mp4");
}

TEST_F(DefaultRunTest, AStopKeepsThePartAndCancelsTheRest) {
  const std::string A = Make("a.avi", MediaRequest());
  const std::string B = MakeSlow("b.avi");
  const std::string C = Make("c.avi", MediaRequest());
  const std::string D = Make("d.avi", MediaRequest());
  DefaultRunRequest R = Request({A, B, C, D});
  std::atomic<bool> Asked{false};
  R.StopRequested = [&Asked] { return Asked.load(); };
  Recorder Seen;
  DefaultRunner Runner(R, Seen);
  std::thread Stopper;
  // Once the second file has converted something, a stop.
  Seen.OnProgress = [&](int File, const ProgressInfo& Info) {
    if (File == 1 && Info.CurrentDurationMs > 0 && !Asked) {
      Asked = true;
      // As a signal's watcher would: from a thread of its own.
      Stopper = std::thread([&Runner] { Runner.StopHandle().Stop(); });
    }
  };
  const DefaultRunSummary Summary = Runner.Run();
  Stopper.join();
  ASSERT_TRUE(Asked);
  EXPECT_EQ(Summary.Failed, 0);
  EXPECT_EQ(Summary.Canceled, 2);
  EXPECT_EQ(Summary.StoppedUnasked, 0);
  ASSERT_EQ(Seen.Ends.size(), 4u);
  EXPECT_EQ(Seen.EndOf(A)->Result.Outcome, FileOutcome::Done);
  const FileResult& Stopped = Seen.EndOf(B)->Result;
  const std::string Kept = R.OutputDir + "/b (MPEG-4 Video) (partial).mp4";
  EXPECT_EQ(Stopped.Outcome, FileOutcome::Stopped);
  EXPECT_EQ(Stopped.Output, Kept);
  EXPECT_EQ(Stopped.Message.rfind("stopped at ", 0), 0u) << Stopped.Message;
  EXPECT_NE(Stopped.Message.find("; the part converted so far is kept as " + Kept),
            std::string::npos)
      << Stopped.Message;
  // The part kept plays, and is shorter than the source.
  const mediagen::DecodedMedia Part = mediagen::Decode(Kept);
  ASSERT_EQ(Part.Error, "");
  EXPECT_FALSE(Part.Frames.empty());
  EXPECT_LT(Part.Frames.size(), 12u * 25u);
  EXPECT_FALSE(fs::exists(R.OutputDir + "/b (MPEG-4 Video).mp4"));
  for (const std::string& Rest : {C, D}) {
    EXPECT_EQ(Seen.EndOf(Rest)->Result.Outcome, FileOutcome::Canceled) << Rest;
    EXPECT_EQ(Seen.EndOf(Rest)->Result.Output, "");
  }
  EXPECT_FALSE(fs::exists(R.OutputDir + "/c (MPEG-4 Video).mp4"));
  EXPECT_FALSE(fs::exists(R.OutputDir + "/d (MPEG-4 Video).mp4"));
}

TEST_F(DefaultRunTest, AStopWhileReplacingKeepsTheOldFileAndThePartBesideIt) {
  const std::string A = MakeSlow("a.avi");
  DefaultRunRequest R = Request({A});
  R.Overwrite = true;
  fs::create_directories(R.OutputDir);
  const std::string Old = R.OutputDir + "/a (MPEG-4 Video).mp4";
  std::ofstream(Old) << "old";
  std::atomic<bool> Asked{false};
  R.StopRequested = [&Asked] { return Asked.load(); };
  Recorder Seen;
  DefaultRunner Runner(R, Seen);
  std::thread Stopper;
  Seen.OnProgress = [&](int, const ProgressInfo& Info) {
    if (Info.CurrentDurationMs > 0 && !Asked) {
      Asked = true;
      Stopper = std::thread([&Runner] { Runner.StopHandle().Stop(); });
    }
  };
  Runner.Run();
  Stopper.join();
  ASSERT_TRUE(Asked);
  ASSERT_EQ(Seen.Ends.size(), 1u);
  const FileResult& Result = Seen.Ends[0].Result;
  const std::string Kept = R.OutputDir + "/a (MPEG-4 Video) (partial).mp4";
  EXPECT_EQ(Result.Outcome, FileOutcome::Stopped);
  EXPECT_EQ(Result.Output, Kept);
  EXPECT_NE(Result.Message.find("; " + Old +
                                " was left as it was; the part converted so far is kept as " + Kept),
            std::string::npos)
      << Result.Message;
  EXPECT_EQ(ReadText(Old), "old");
  EXPECT_EQ(mediagen::Decode(Kept).Error, "");
  // No temporary file is left behind.
  for (const auto& Entry : fs::directory_iterator(R.OutputDir))
    EXPECT_NE(Entry.path().filename().string().rfind(".vexav-", 0), 0u) << Entry.path();
}

TEST_F(DefaultRunTest, AnOutputFolderThatCannotBeMadeEndsTheRunBeforeItBegins) {
  const std::string A = Make("a.avi", MediaRequest());
  std::ofstream(Dir + "/file") << "x";
  DefaultRunRequest R = Request({A});
  R.OutputDir = Dir + "/file/sub";
  Recorder Seen;
  DefaultRunner Runner(R, Seen);
  const DefaultRunSummary Summary = Runner.Run();
  EXPECT_FALSE(Summary.Started);
  ASSERT_EQ(Seen.Errors.size(), 1u);
  EXPECT_EQ(Seen.Errors[0].rfind(Dir + "/file/sub: cannot make the output folder: ", 0), 0u)
      << Seen.Errors[0];
  EXPECT_TRUE(Seen.Added.empty());
  EXPECT_TRUE(Seen.Ends.empty());
}

}  // namespace
}  // namespace vexav::batch
