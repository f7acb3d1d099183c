// The conversion modes' own logic over a stand-in job: the order of the
// engine calls, the preset's options, output naming and reservation,
// failures that let the other files go on, stops, exit statuses, the
// progress display and the command line. No media library is needed.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "cli/CommandLine.h"
#include "cli/ConvertCommand.h"

namespace vexav::cli {
namespace {

namespace fs = std::filesystem;

// ---------------------------------------------------------------------------
// The stand-in job and what it is told.

struct FakeWorld {
  std::vector<std::string> Calls;
  std::set<std::string> BadInputs;                // OpenInputFile fails
  std::map<std::string, std::string> BadOptions;  // option name -> message
  bool FailOutput = false;
  SourceFacts DefaultFacts;
  std::map<std::string, SourceFacts> Facts;    // by input file
  std::map<std::string, RunOutcome> Outcomes;  // by input file; default success
  std::vector<ProgressInfo> Progress;          // sent during each run
  bool WriteOutput = true;                     // a run writes its output
  std::function<void(const std::string& Input)> DuringRun;
  int Jobs = 0;
  int Stops = 0;
};

class FakeJob : public ConversionJob {
 public:
  explicit FakeJob(FakeWorld& World) : World(World) { ++World.Jobs; }
  void SetOption(const std::string& Name, const std::string& Value) override {
    World.Calls.push_back("set " + Name + "=" + Value);
    auto Bad = World.BadOptions.find(Name);
    if (Bad != World.BadOptions.end()) throw std::runtime_error(Bad->second);
  }
  bool OpenInputFile(const std::string& FileName) override {
    World.Calls.push_back("input " + FileName);
    if (World.BadInputs.count(FileName)) {
      Error = FileName + ": Unknown format";
      return false;
    }
    Input = FileName;
    return true;
  }
  bool OpenOutputFile(const std::string& FileName) override {
    World.Calls.push_back("output " + FileName);
    if (World.FailOutput) {
      Error = "Frame size must be a multiple of 2";
      return false;
    }
    Output = FileName;
    std::ofstream(FileName, std::ios::trunc);  // as the engine does: empty until written
    return true;
  }
  std::string LastError() const override { return Error; }
  SourceFacts InputFacts() override {
    auto Found = World.Facts.find(Input);
    return Found == World.Facts.end() ? World.DefaultFacts : Found->second;
  }
  RunOutcome Run(const ProgressHandler& OnProgress) override {
    World.Calls.push_back("run");
    if (StopWanted) {
      RunOutcome Outcome;
      Outcome.Started = false;
      return Outcome;
    }
    for (const ProgressInfo& Info : World.Progress) OnProgress(Info);
    if (World.DuringRun) World.DuringRun(Input);
    if (World.WriteOutput) std::ofstream(Output, std::ios::trunc) << "converted";
    auto Found = World.Outcomes.find(Input);
    if (Found != World.Outcomes.end()) return Found->second;
    RunOutcome Outcome;
    Outcome.Finished = !StopWanted;
    return Outcome;
  }
  void Stop() override {
    ++World.Stops;
    StopWanted = true;
  }

 private:
  FakeWorld& World;
  std::string Input, Output, Error;
  bool StopWanted = false;
};

// Text written to a FILE*, read back.
class Capture {
 public:
  Capture() { File = ::open_memstream(&Buffer, &Size); }
  ~Capture() {
    std::fclose(File);
    std::free(Buffer);
  }
  std::FILE* Get() const { return File; }
  std::string Text() {
    std::fflush(File);
    return std::string(Buffer, Size);
  }
  std::vector<std::string> Lines() {
    std::vector<std::string> Result;
    std::istringstream In(Text());
    std::string Line;
    while (std::getline(In, Line)) Result.push_back(Line);
    return Result;
  }

 private:
  char* Buffer = nullptr;
  std::size_t Size = 0;
  std::FILE* File;
};

class ConvertModes : public ::testing::Test {
 protected:
  void SetUp() override {
    char Template[] = "/tmp/vexav-cli-modes-XXXXXX";
    ASSERT_NE(::mkdtemp(Template), nullptr);
    Dir = Template;
    Env.MakeJob = [this](bool) { return std::make_unique<FakeJob>(World); };
    Env.Out = Out.Get();
    Env.Err = Err.Get();
    Env.Stop = &Stop;
    // Sources: the stand-in never reads them, but --same-folder and
    // reservations need real folders.
    fs::create_directories(Dir + "/in");
    SourceFacts Video;
    Video.VideoStreams = 1;
    Video.AudioStreams = 1;
    Video.Video.Width = 320;
    Video.Video.Height = 240;
    Video.Audio.Channels = 2;
    Video.Audio.SampleRate = 44100;
    World.DefaultFacts = Video;
  }
  void TearDown() override { fs::remove_all(Dir); }

  CommandLine Parse(const std::vector<std::string>& Args) {
    ParseResult R = ParseCommandLine(Args);
    EXPECT_EQ(R.Error, "");
    return R.Line;
  }

  std::vector<std::string> CallsStartingWith(const std::string& Prefix) const {
    std::vector<std::string> Result;
    for (const std::string& Call : World.Calls)
      if (Call.rfind(Prefix, 0) == 0) Result.push_back(Call);
    return Result;
  }

  std::string Dir;
  FakeWorld World;
  Capture Out, Err;
  StopControl Stop;
  ConvertEnvironment Env;
};

const std::vector<std::string> VideoPresetCalls(const std::string& Size) {
  return {"set acodec=libfaac", "set ac=2",    "set ar=44100",  "set ab=64000",   "set async=0",
          "set vcodec=libx264", "set r=29.97", "set s=" + Size, "set vb=1500000", "set vsync=-1",
          "set pix_fmt=yuv420p"};
}

const std::vector<std::string> AudioPresetCalls() {
  return {"set acodec=libfaac", "set ac=2", "set ar=44100", "set ab=64000",   "set async=0",
          "set vcodec=libx264", "set vn=",  "set r=29.97",  "set vb=1500000", "set vsync=-1"};
}

// ---------------------------------------------------------------------------
// Explicit mode.

TEST_F(ConvertModes, ExplicitAppliesEverythingInOrder) {
  const std::string OutFile = Dir + "/out.mkv";
  CommandLine Line =
      Parse({"--input-option", "ss=1", "--option", "vcodec=copy", "--output", OutFile,
             "--option=acodec=copy", "--input-option=f=avi", "a.avi", "--option", "vn"});
  EXPECT_EQ(RunExplicit(Line, Env), ExitOk);
  EXPECT_EQ(World.Calls,
            (std::vector<std::string>{"set ss=1", "set f=avi", "input a.avi", "set vcodec=copy",
                                      "set acodec=copy", "set vn=", "output " + OutFile, "run"}));
  EXPECT_EQ(Out.Text(), "");
  EXPECT_EQ(World.Jobs, 1);
}

TEST_F(ConvertModes, ExplicitBadInputStopsBeforeAnyOutput) {
  World.BadInputs.insert("a.avi");
  CommandLine Line = Parse({"--output", Dir + "/o.mp4", "--option", "vcodec=copy", "a.avi"});
  EXPECT_EQ(RunExplicit(Line, Env), ExitFailed);
  EXPECT_EQ(Err.Lines(), std::vector<std::string>{"a.avi: Unknown format"});
  EXPECT_EQ(World.Calls, std::vector<std::string>{"input a.avi"});
}

TEST_F(ConvertModes, ExplicitBadOptionValueGivesTheEngineMessage) {
  World.BadOptions["s"] = "Incorrect frame size";
  CommandLine Line = Parse({"--output", Dir + "/o.mp4", "--option", "s=foo", "a.avi"});
  EXPECT_EQ(RunExplicit(Line, Env), ExitFailed);
  EXPECT_EQ(Err.Lines(),
            std::vector<std::string>{"vexav-convert: --option s=foo: Incorrect frame size"});
  EXPECT_TRUE(CallsStartingWith("output").empty());
  EXPECT_TRUE(CallsStartingWith("run").empty());

  World.Calls.clear();
  World.BadOptions["ss"] = "Invalid duration for ss: x";
  Capture Err2;
  Env.Err = Err2.Get();
  Line = Parse({"--output", Dir + "/o.mp4", "--input-option", "ss=x", "a.avi"});
  EXPECT_EQ(RunExplicit(Line, Env), ExitFailed);
  EXPECT_EQ(Err2.Lines(), std::vector<std::string>{
                              "vexav-convert: --input-option ss=x: Invalid duration for ss: x"});
  EXPECT_TRUE(CallsStartingWith("input").empty());
}

TEST_F(ConvertModes, ExplicitOutputFailure) {
  World.FailOutput = true;
  CommandLine Line = Parse({"--output", Dir + "/o.mp4", "a.avi"});
  EXPECT_EQ(RunExplicit(Line, Env), ExitFailed);
  EXPECT_EQ(Err.Lines(),
            std::vector<std::string>{Dir + "/o.mp4: Frame size must be a multiple of 2"});
}

TEST_F(ConvertModes, ExplicitRunErrorOnOneLine) {
  RunOutcome Failed;
  Failed.ExceptionRaised = true;
  Failed.ErrorMessage =
      "av_interleaved_write_frame(): I/O error occurred\r\nUsually that means "
      "that input file is truncated and/or corrupted.";
  World.Outcomes["a.avi"] = Failed;
  CommandLine Line = Parse({"--output", Dir + "/o.mp4", "a.avi"});
  EXPECT_EQ(RunExplicit(Line, Env), ExitFailed);
  EXPECT_EQ(Err.Lines(), std::vector<std::string>{
                             "a.avi: av_interleaved_write_frame(): I/O error occurred Usually "
                             "that means that input file is truncated and/or corrupted."});
}

TEST_F(ConvertModes, ExplicitStopGivesTheInterruptStatus) {
  World.DuringRun = [this](const std::string&) { Stop.RequestStop(); };
  CommandLine Line = Parse({"--output", Dir + "/o.mp4", "a.avi"});
  EXPECT_EQ(RunExplicit(Line, Env), ExitInterrupted);
  EXPECT_EQ(World.Stops, 1);
  // The part converted is kept, but not under the name of a finished output.
  const std::string Kept = Dir + "/o (partial).mp4";
  EXPECT_EQ(Err.Lines(),
            std::vector<std::string>{
                "a.avi: stopped before the end; the part converted so far is kept as " + Kept});
  EXPECT_EQ(Out.Lines(), std::vector<std::string>{Kept});
  EXPECT_TRUE(fs::exists(Kept));
  EXPECT_FALSE(fs::exists(Dir + "/o.mp4"));
}

TEST_F(ConvertModes, ExplicitStopBeforeTheRun) {
  Stop.RequestStop();
  CommandLine Line = Parse({"--output", Dir + "/o.mp4", "a.avi"});
  EXPECT_EQ(RunExplicit(Line, Env), ExitInterrupted);
  // The job was stopped as soon as it was made; its run did not begin.
  EXPECT_EQ(World.Stops, 1);
  EXPECT_EQ(Err.Lines(), std::vector<std::string>{"a.avi: stopped before converting"});
}

// ---------------------------------------------------------------------------
// Default mode.

TEST_F(ConvertModes, DefaultModeUsesThePresetAndNamesAfterTheSource) {
  SourceFacts Small = World.DefaultFacts;
  Small.Video.Width = 176;
  Small.Video.Height = 144;
  World.Facts[Dir + "/in/b.avi"] = Small;
  SourceFacts Song;
  Song.AudioStreams = 1;
  World.Facts[Dir + "/in/song.mp3"] = Song;

  const std::string OutDir = Dir + "/out/deeper";
  CommandLine Line =
      Parse({"--output-dir", OutDir, Dir + "/in/a.avi", Dir + "/in/b.avi", Dir + "/in/song.mp3"});
  EXPECT_EQ(RunDefault(Line, Env), ExitOk);

  std::vector<std::string> Expected{"input " + Dir + "/in/a.avi"};
  for (const std::string& C : VideoPresetCalls("320x240")) Expected.push_back(C);
  Expected.push_back("output " + OutDir + "/a (MPEG-4 Video).mp4");
  Expected.push_back("run");
  Expected.push_back("input " + Dir + "/in/b.avi");
  for (const std::string& C : VideoPresetCalls("176x144")) Expected.push_back(C);
  Expected.push_back("output " + OutDir + "/b (MPEG-4 Video).mp4");
  Expected.push_back("run");
  Expected.push_back("input " + Dir + "/in/song.mp3");
  for (const std::string& C : AudioPresetCalls()) Expected.push_back(C);
  Expected.push_back("output " + OutDir + "/song (MPEG-4 Video).mp4");
  Expected.push_back("run");
  EXPECT_EQ(World.Calls, Expected);
  EXPECT_EQ(World.Jobs, 3);  // one engine per file

  EXPECT_EQ(Out.Lines(), (std::vector<std::string>{OutDir + "/a (MPEG-4 Video).mp4",
                                                   OutDir + "/b (MPEG-4 Video).mp4",
                                                   OutDir + "/song (MPEG-4 Video).mp4"}));
  EXPECT_EQ(Err.Text(), "");
}

TEST_F(ConvertModes, AudioRuleIsCaseSensitiveButASourceWithoutVideoIsSoundOnly) {
  // .MP3 does not match the audio list, but the source has no video.
  SourceFacts Song;
  Song.AudioStreams = 1;
  World.Facts["SONG.MP3"] = Song;
  // A video source with a lower-case audio extension is sound only.
  CommandLine Line = Parse({"--output-dir", Dir, "SONG.MP3", "clip.wav"});
  EXPECT_EQ(RunDefault(Line, Env), ExitOk);
  EXPECT_EQ(CallsStartingWith("set vn=").size(), 2u);
  EXPECT_TRUE(CallsStartingWith("set s=").empty());
}

TEST_F(ConvertModes, CurrentDirectoryIsTheDefaultFolder) {
  const fs::path Previous = fs::current_path();
  fs::current_path(Dir);
  CommandLine Line = Parse({"in/a.avi"});
  const int Status = RunDefault(Line, Env);
  fs::current_path(Previous);
  EXPECT_EQ(Status, ExitOk);
  EXPECT_EQ(Out.Lines(), std::vector<std::string>{"a (MPEG-4 Video).mp4"});
  EXPECT_TRUE(fs::exists(Dir + "/a (MPEG-4 Video).mp4"));
}

TEST_F(ConvertModes, SameFolderWritesBesideTheSource) {
  CommandLine Line = Parse({"--same-folder", Dir + "/in/a.avi"});
  EXPECT_EQ(RunDefault(Line, Env), ExitOk);
  EXPECT_EQ(Out.Lines(), std::vector<std::string>{Dir + "/in/a (MPEG-4 Video).mp4"});
}

TEST_F(ConvertModes, TakenNamesGetACounterAndAreNeverTouched) {
  std::ofstream(Dir + "/a (MPEG-4 Video).mp4") << "mine";
  CommandLine Line = Parse({"--output-dir", Dir, Dir + "/in/a.avi", Dir + "/in/a.avi"});
  EXPECT_EQ(RunDefault(Line, Env), ExitOk);
  EXPECT_EQ(Out.Lines(), (std::vector<std::string>{Dir + "/a (MPEG-4 Video [1]).mp4",
                                                   Dir + "/a (MPEG-4 Video [2]).mp4"}));
  std::ifstream Mine(Dir + "/a (MPEG-4 Video).mp4");
  std::string Content;
  Mine >> Content;
  EXPECT_EQ(Content, "mine");
}

TEST_F(ConvertModes, AFailingFileIsReportedAndTheOthersGoOn) {
  World.BadInputs.insert(Dir + "/in/text.avi");
  RunOutcome Failed;
  Failed.ExceptionRaised = true;
  Failed.ErrorMessage = "Video encoding failed";
  World.Outcomes[Dir + "/in/broken.avi"] = Failed;
  CommandLine Line = Parse({"--output-dir", Dir, Dir + "/in/a.avi", Dir + "/in/text.avi",
                            Dir + "/in/broken.avi", Dir + "/in/c.avi"});
  EXPECT_EQ(RunDefault(Line, Env), ExitFailed);
  EXPECT_EQ(Out.Lines(), (std::vector<std::string>{Dir + "/a (MPEG-4 Video).mp4",
                                                   Dir + "/c (MPEG-4 Video).mp4"}));
  EXPECT_EQ(Err.Lines(), (std::vector<std::string>{Dir + "/in/text.avi: Unknown format",
                                                   Dir + "/in/broken.avi: Video encoding failed"}));
  // The failed run's output is gone; no file was made for the unreadable one.
  EXPECT_FALSE(fs::exists(Dir + "/broken (MPEG-4 Video).mp4"));
  EXPECT_FALSE(fs::exists(Dir + "/text (MPEG-4 Video).mp4"));
}

TEST_F(ConvertModes, AnOutputTheEngineRefusesLeavesNoFile) {
  World.FailOutput = true;
  CommandLine Line = Parse({"--output-dir", Dir, Dir + "/in/odd.avi"});
  EXPECT_EQ(RunDefault(Line, Env), ExitFailed);
  EXPECT_EQ(Err.Lines(), std::vector<std::string>{Dir + "/in/odd.avi: Frame size must be a "
                                                        "multiple of 2"});
  EXPECT_FALSE(fs::exists(Dir + "/odd (MPEG-4 Video).mp4"));
}

TEST_F(ConvertModes, ABadOptionValueFailsThatFileOnly) {
  World.BadOptions["s"] = "Frame size must be a multiple of 2";
  // One pixel wide: no column can be left out, the size goes to the engine.
  SourceFacts Odd = World.DefaultFacts;
  Odd.Video.Width = 1;
  World.Facts[Dir + "/in/odd.avi"] = Odd;
  World.DefaultFacts.VideoStreams = 0;  // the other file has sound only: no "s"
  CommandLine Line = Parse({"--output-dir", Dir, Dir + "/in/odd.avi", Dir + "/in/song.avi"});
  EXPECT_EQ(RunDefault(Line, Env), ExitFailed);
  EXPECT_EQ(Err.Lines(), std::vector<std::string>{Dir + "/in/odd.avi: Frame size must be a "
                                                        "multiple of 2"});
  EXPECT_EQ(Out.Lines(), std::vector<std::string>{Dir + "/song (MPEG-4 Video).mp4"});
  EXPECT_FALSE(fs::exists(Dir + "/odd (MPEG-4 Video).mp4"));
}

TEST_F(ConvertModes, ASourceWithNothingToConvertFails) {
  World.DefaultFacts = SourceFacts();
  CommandLine Line = Parse({"--output-dir", Dir, Dir + "/in/data.avi"});
  EXPECT_EQ(RunDefault(Line, Env), ExitFailed);
  EXPECT_EQ(Err.Lines(),
            std::vector<std::string>{Dir + "/in/data.avi: no audio or video stream to convert"});
  EXPECT_TRUE(CallsStartingWith("output").empty());
}

TEST_F(ConvertModes, ARunThatWroteNothingIsAFailure) {
  World.WriteOutput = false;
  CommandLine Line = Parse({"--output-dir", Dir, Dir + "/in/a.avi"});
  EXPECT_EQ(RunDefault(Line, Env), ExitFailed);
  EXPECT_EQ(Err.Lines(), std::vector<std::string>{Dir + "/in/a.avi: nothing was written"});
  EXPECT_FALSE(fs::exists(Dir + "/a (MPEG-4 Video).mp4"));
}

TEST_F(ConvertModes, AStopKeepsThePartAndSkipsTheRest) {
  World.DuringRun = [this](const std::string& Input) {
    if (Input == Dir + "/in/b.avi") Stop.RequestStop();
  };
  CommandLine Line = Parse({"--output-dir", Dir, Dir + "/in/a.avi", Dir + "/in/b.avi",
                            Dir + "/in/c.avi", Dir + "/in/d.avi"});
  EXPECT_EQ(RunDefault(Line, Env), ExitInterrupted);
  const std::string Kept = Dir + "/b (MPEG-4 Video) (partial).mp4";
  EXPECT_EQ(Out.Lines(), (std::vector<std::string>{Dir + "/a (MPEG-4 Video).mp4", Kept}));
  EXPECT_EQ(Err.Lines(),
            (std::vector<std::string>{
                Dir + "/in/b.avi: stopped; the part converted so far is kept as " + Kept,
                "vexav-convert: stopped; 2 files were not converted"}));
  EXPECT_TRUE(fs::exists(Kept));
  EXPECT_FALSE(fs::exists(Dir + "/b (MPEG-4 Video).mp4"));
  EXPECT_EQ(World.Jobs, 2);
}

TEST_F(ConvertModes, AStopWhileReplacingKeepsTheOldFileAndThePartBesideIt) {
  const std::string Old = Dir + "/a (MPEG-4 Video).mp4";
  std::ofstream(Old) << "old";
  World.DuringRun = [this](const std::string&) { Stop.RequestStop(); };
  CommandLine Line = Parse({"--overwrite", "--output-dir", Dir, Dir + "/in/a.avi"});
  EXPECT_EQ(RunDefault(Line, Env), ExitInterrupted);
  const std::string Kept = Dir + "/a (MPEG-4 Video) (partial).mp4";
  EXPECT_EQ(Err.Lines(), std::vector<std::string>{Dir + "/in/a.avi: stopped; " + Old +
                                                  " was left as it was; the part converted so "
                                                  "far is kept as " +
                                                  Kept});
  EXPECT_EQ(Out.Lines(), std::vector<std::string>{Kept});
  std::ifstream In(Old);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(In), {}), "old");
  // No temporary file is left behind.
  for (const auto& Entry : fs::directory_iterator(Dir))
    EXPECT_NE(Entry.path().filename().string().rfind(".vexav-", 0), 0u) << Entry.path();
}

TEST_F(ConvertModes, AnOutputFolderThatCannotBeMade) {
  std::ofstream(Dir + "/file") << "x";
  CommandLine Line = Parse({"--output-dir", Dir + "/file/sub", Dir + "/in/a.avi"});
  EXPECT_EQ(RunDefault(Line, Env), ExitFailed);
  ASSERT_EQ(Err.Lines().size(), 1u);
  EXPECT_EQ(Err.Lines()[0].rfind(Dir + "/file/sub: cannot make the output folder: ", 0), 0u)
      << Err.Text();
  EXPECT_EQ(World.Jobs, 0);
}

TEST_F(ConvertModes, PlainProgressLinesAtEachTenth) {
  ProgressInfo Info;
  Info.TotalOutputDurationMs = 2000;
  for (int64_t Ms : {0, 150, 190, 210, 430, 1999, 2100}) {
    Info.CurrentDurationMs = Ms;
    World.Progress.push_back(Info);
  }
  CommandLine Line = Parse({"--output-dir", Dir, Dir + "/in/a.avi"});
  EXPECT_EQ(RunDefault(Line, Env), ExitOk);
  EXPECT_EQ(Err.Lines(),
            (std::vector<std::string>{"a.avi: 10%", "a.avi: 20%", "a.avi: 90%", "a.avi: 100%"}));
}

// ---------------------------------------------------------------------------
// Progress display.

TEST(ProgressDisplay, Percent) {
  ProgressInfo Info;
  Info.TotalOutputDurationMs = 3000;
  Info.CurrentDurationMs = 1299;
  EXPECT_EQ(ProgressDisplay::Percent(Info), 43);
  Info.CurrentDurationMs = 4000;
  EXPECT_EQ(ProgressDisplay::Percent(Info), 100);
  Info.CurrentDurationMs = -5;
  EXPECT_EQ(ProgressDisplay::Percent(Info), 0);
  Info.TotalOutputDurationMs = 0;
  EXPECT_EQ(ProgressDisplay::Percent(Info), -1);
  Info.TotalOutputDurationMs = -1;
  EXPECT_EQ(ProgressDisplay::Percent(Info), -1);
}

TEST(ProgressDisplay, BarLine) {
  EXPECT_EQ(ProgressDisplay::BarLine("clip.avi", 42, 0, 80),
            "clip.avi [############..................]  42%");
  EXPECT_EQ(ProgressDisplay::BarLine("clip.avi", 100, 0, 80),
            "clip.avi [##############################] 100%");
  EXPECT_EQ(ProgressDisplay::BarLine("clip.avi", 0, 0, 80),
            "clip.avi [..............................]   0%");
  EXPECT_EQ(ProgressDisplay::BarLine("clip.avi", -1, 12345, 80), "clip.avi  12.3 s");
  // A long name is shortened so that the line fits the terminal.
  const std::string Long(100, 'n');
  for (int Columns : {20, 40, 80, 120}) {
    const std::string Line = ProgressDisplay::BarLine(Long, 50, 0, Columns);
    EXPECT_LE(Line.size(), static_cast<std::size_t>(std::max(Columns - 1, 20))) << Line;
    EXPECT_NE(Line.find("..."), std::string::npos) << Line;
    EXPECT_NE(Line.find(" 50%"), std::string::npos) << Line;
  }
  // Cut between UTF-8 characters only.
  const std::string Wide = "ééééééééééééééééééééééééééééééééééééééééééééééééééééé.avi";
  const std::string Line = ProgressDisplay::BarLine(Wide, 5, 0, 60);
  const std::size_t Dots = Line.find("...");
  ASSERT_NE(Dots, std::string::npos);
  EXPECT_EQ(Dots % 2, 0u) << Line;
}

TEST(ProgressDisplay, TerminalRedrawsOneLine) {
  Capture Err;
  ProgressDisplay Display(Err.Get(), true, "clip.avi", 80);
  ProgressInfo Info;
  Info.TotalOutputDurationMs = 1000;
  Info.CurrentDurationMs = 100;
  Display.Update(Info);
  Display.Update(Info);  // the same line is not drawn again
  Info.CurrentDurationMs = 500;
  Display.Update(Info);
  Display.Finish(true);
  EXPECT_EQ(Err.Text(),
            "\rclip.avi [###...........................]  10%\033[K"
            "\rclip.avi [###############...............]  50%\033[K"
            "\rclip.avi [##############################] 100%\033[K\n");
}

TEST(ProgressDisplay, TerminalFailureEndsTheLineAsItIs) {
  Capture Err;
  ProgressDisplay Display(Err.Get(), true, "clip.avi", 80);
  ProgressInfo Info;
  Info.TotalOutputDurationMs = 1000;
  Info.CurrentDurationMs = 500;
  Display.Update(Info);
  Display.Finish(false);
  EXPECT_EQ(Err.Text(), "\rclip.avi [###############...............]  50%\033[K\n");

  Capture Quiet;
  ProgressDisplay Nothing(Quiet.Get(), true, "clip.avi", 80);
  Nothing.Finish(false);
  EXPECT_EQ(Quiet.Text(), "");
}

TEST(ProgressDisplay, PlainWithoutKnownLengthPrintsNothing) {
  Capture Err;
  ProgressDisplay Display(Err.Get(), false, "clip.avi", 80);
  ProgressInfo Info;
  Info.CurrentDurationMs = 5000;
  Display.Update(Info);
  Display.Finish(true);
  EXPECT_EQ(Err.Text(), "");
}

// ---------------------------------------------------------------------------
// Stop control.

TEST(StopControl, ReachesTheRegisteredJobAndLaterOnes) {
  FakeWorld World;
  FakeJob First(World), Second(World);
  StopControl Control;
  Control.Register(&First);
  Control.Unregister();
  EXPECT_FALSE(Control.StopRequested());
  Control.RequestStop();  // nobody registered
  EXPECT_TRUE(Control.StopRequested());
  EXPECT_EQ(World.Stops, 0);
  Control.Register(&Second);  // a job registered after the request is stopped at once
  EXPECT_EQ(World.Stops, 1);
  Control.RequestStop();
  EXPECT_EQ(World.Stops, 2);
}

// ---------------------------------------------------------------------------
// The command line of the conversion modes.

TEST(ConvertCommandLine, Modes) {
  ParseResult R = ParseCommandLine({"-d", "out", "a.avi", "b.avi"});
  EXPECT_EQ(R.Error, "");
  EXPECT_EQ(R.Line.OutputDir, "out");
  EXPECT_FALSE(R.Line.Explicit());
  EXPECT_EQ(R.Line.Files, (std::vector<std::string>{"a.avi", "b.avi"}));

  R = ParseCommandLine({"--same-folder", "a.avi"});
  EXPECT_EQ(R.Error, "");
  EXPECT_TRUE(R.Line.SameFolder);

  R = ParseCommandLine(
      {"-o", "x.mkv", "--input-option", "ss=2", "--option", "t=1=2", "--option", "vn", "a.avi"});
  EXPECT_EQ(R.Error, "");
  EXPECT_TRUE(R.Line.Explicit());
  EXPECT_EQ(R.Line.Output, "x.mkv");
  EXPECT_EQ(R.Line.InputOptions, (std::vector<EngineOptionArg>{{"ss", "2"}}));
  EXPECT_EQ(R.Line.OutputOptions, (std::vector<EngineOptionArg>{{"t", "1=2"}, {"vn", ""}}));
}

TEST(ConvertCommandLine, WrongCombinations) {
  EXPECT_EQ(ParseCommandLine({"--output-dir", "o", "--same-folder", "a"}).Error,
            "'--output-dir' and '--same-folder' exclude each other");
  EXPECT_EQ(ParseCommandLine({"--output", "o.mp4", "a", "b"}).Error,
            "'--output' takes exactly one FILE");
  EXPECT_EQ(ParseCommandLine({"--option", "vn", "a"}).Error,
            "'--option' and '--input-option' need '--output'");
  EXPECT_EQ(ParseCommandLine({"--input-option", "ss=1", "a"}).Error,
            "'--option' and '--input-option' need '--output'");
  EXPECT_NE(ParseCommandLine({"--output", "o.mp4", "--same-folder", "a"}).Error, "");
  EXPECT_NE(ParseCommandLine({"--output", "o.mp4", "-d", "x", "a"}).Error, "");
  EXPECT_NE(ParseCommandLine({"--probe", "--output", "o.mp4", "a"}).Error, "");
  EXPECT_NE(ParseCommandLine({"--probe", "--same-folder", "a"}).Error, "");
  EXPECT_EQ(ParseCommandLine({"--output", "a.mp4", "--output", "b.mp4", "a"}).Error,
            "option '--output' given twice");
  EXPECT_EQ(ParseCommandLine({"--output", "o.mp4", "--option", "=5", "a"}).Error,
            "option '--option' needs NAME=VALUE, not '=5'");
  EXPECT_EQ(ParseCommandLine({"--output-dir="}).Error, "option '--output-dir' needs a folder");
  EXPECT_EQ(ParseCommandLine({"--output"}).Error, "option '--output' needs a value");
}

TEST(ConvertCommandLine, ListsAndJsonBelongToTheConvertingModes) {
  const ParseResult Both = ParseCommandLine({"--json", "--from-list", "-", "a.avi"});
  EXPECT_EQ(Both.Error, "");
  EXPECT_TRUE(Both.Line.Json);
  EXPECT_EQ(Both.Line.FromList, "-");
  EXPECT_NE(ParseCommandLine({"--from-list", "l.txt", "--output", "o.mp4", "a.avi"}).Error, "");
  EXPECT_NE(ParseCommandLine({"--json", "--probe", "a.avi"}).Error, "");
}

TEST(ConvertCommandLine, HelpShowsEveryOptionAndTheModes) {
  const std::string Help = UsageText("vexav-convert");
  for (const char* Text :
       {"--output OUT", "--input-option NAME=VALUE", "--option NAME=VALUE", "--output-dir DIR",
        "--same-folder", "--probe", "MPEG-4 Video", "Ctrl-C", "130"})
    EXPECT_NE(Help.find(Text), std::string::npos) << Text;
  std::istringstream In(Help);
  std::string Line;
  while (std::getline(In, Line)) EXPECT_LE(Line.size(), 80u) << Line;
}

}  // namespace
}  // namespace vexav::cli
