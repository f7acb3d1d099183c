// The explicit mode's own logic over a stand-in job: the order of the
// engine calls, output reservation, failures, stops and exit statuses; the
// progress display and the command line. No media library is needed. (The
// default mode runs on the converter component: tests/batch/DefaultRunTest
// and the program's runs on generated media.)
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
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

using batch::ConversionJob;
using batch::ProgressHandler;
using batch::ProgressInfo;
using batch::RunOutcome;
using batch::StopControl;
using batch::SourceFacts;
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

// --preset takes a label in any letter case and --max-height a number of
// lines; both go with the default mode, the segments and the cluster, not
// with the explicit mode, probing or a batch's status.
TEST(ConvertCommandLine, PresetAndSizeLimit) {
  ParseResult R = ParseCommandLine({"--preset", "webm VIDEO", "--max-height=720", "a.avi"});
  ASSERT_EQ(R.Error, "");
  EXPECT_EQ(R.Line.Format, 3);
  EXPECT_EQ(R.Line.MaxHeight, 720);
  EXPECT_EQ(R.Line.PresetChoice().Preset().ItemText, std::string("WebM Video (*.webm)"));
  R = ParseCommandLine({"a.avi"});
  EXPECT_EQ(R.Line.Format, 0);
  EXPECT_EQ(R.Line.MaxHeight, 0);
  for (const char* N : {"144", "4320"})
    EXPECT_EQ(ParseCommandLine({"--max-height", N, "a.avi"}).Error, "") << N;
  R = ParseCommandLine(
      {"--cluster", "slurm", "--segments", "2", "--preset", "AV1 Video", "--max-height", "480", "a"});
  EXPECT_EQ(R.Error, "");
  EXPECT_EQ(R.Line.Format, 4);
  EXPECT_NE(ParseCommandLine({"--preset", "HEVC Video", "-o", "x.mp4", "a"}).Error, "");
  EXPECT_NE(ParseCommandLine({"--max-height", "720", "--probe", "a"}).Error, "");
  EXPECT_NE(ParseCommandLine({"--cluster-status", "job", "--preset", "HEVC Video"}).Error, "");
  EXPECT_NE(ParseCommandLine({"--preset", "", "a"}).Error, "");
  EXPECT_TRUE(ParseCommandLine({"--list-presets"}).Line.ListPresets);
}

// The listing: a line per row, a tab between the name and the description,
// and the reason where a row is unavailable.
TEST(ConvertCommandLine, PresetListText) {
  const std::string Text = PresetListText([](const output::TFormatPreset& Preset) {
    return std::string(Preset.VideoCodec ? Preset.VideoCodec : "") == "libx265"
               ? std::string("unavailable: the media libraries have no libx265 encoder")
               : std::string();
  });
  EXPECT_EQ(Text.find("MPEG-4 Video\t"), 0u);
  EXPECT_NE(Text.find("\nHEVC Video\tH.265 at constant quality, tagged hvc1 for Apple's players; "
                      "AAC stereo sound\tunavailable: the media libraries have no libx265 "
                      "encoder\n"),
            std::string::npos)
      << Text;
  EXPECT_EQ(std::count(Text.begin(), Text.end(), '\n'), 6);
  EXPECT_EQ(Text.find("unavailable"), Text.rfind("unavailable"));
}

}  // namespace
}  // namespace vexav::cli
