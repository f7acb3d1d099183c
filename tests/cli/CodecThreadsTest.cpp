// vexav-convert's --codec-threads and --timings: what the command line
// takes and refuses, the default that follows --jobs, and the program run
// as a child process with both, its outputs decoded and its timing lines
// read.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "MediaGenerator.h"
#include "binding/FFmpegLibs.h"
#include "cli/CommandLine.h"
#include "cli/TimingsLine.h"

namespace vexav::cli {
namespace {

namespace fs = std::filesystem;

// ---------------------------------------------------------------------------
// Parsing

TEST(CodecThreadsOption, TakesAutoAndZeroToSixtyFour) {
  ParseResult R = ParseCommandLine({"a.avi"});
  ASSERT_EQ(R.Error, "");
  EXPECT_EQ(R.Line.CodecThreads, -1);
  EXPECT_FALSE(R.Line.Timings);

  for (const auto& [Text, Count] : std::vector<std::pair<std::string, int>>{
           {"0", 0}, {"auto", 0}, {"1", 1}, {"2", 2}, {"64", 64}, {"007", 7}}) {
    R = ParseCommandLine({"--codec-threads", Text, "a.avi"});
    EXPECT_EQ(R.Error, "") << Text;
    EXPECT_EQ(R.Line.CodecThreads, Count) << Text;
  }
  R = ParseCommandLine({"--codec-threads=3", "--timings", "-o", "x.mp4", "a.avi"});
  ASSERT_EQ(R.Error, "");
  EXPECT_EQ(R.Line.CodecThreads, 3);
  EXPECT_TRUE(R.Line.Timings);
  EXPECT_TRUE(R.Line.Explicit());
}

TEST(CodecThreadsOption, RefusesAnythingElse) {
  for (const char* Bad : {"-1", "65", "100", "99999999999", "x", "2x", "", "auto2", " 2"}) {
    const ParseResult R = ParseCommandLine({"--codec-threads", Bad, "a.avi"});
    EXPECT_EQ(R.Error, "option '--codec-threads' needs auto or a number from 0 to 64")
        << "'" << Bad << "'";
  }
  EXPECT_EQ(ParseCommandLine({"a.avi", "--codec-threads"}).Error,
            "option '--codec-threads' needs a value");
  EXPECT_EQ(ParseCommandLine({"--timings=yes", "a.avi"}).Error,
            "option '--timings' takes no value");
  // Probing converts nothing.
  EXPECT_NE(ParseCommandLine({"--probe", "--codec-threads", "2", "a.avi"}).Error, "");
  EXPECT_NE(ParseCommandLine({"--probe", "--timings", "a.avi"}).Error, "");
}

TEST(CodecThreadsOption, DefaultIsAutomaticForOneJobAndOneThreadForSeveral) {
  EXPECT_EQ(ParseCommandLine({"a.avi"}).Line.EffectiveCodecThreads(), 0);
  EXPECT_EQ(ParseCommandLine({"-j", "1", "a.avi"}).Line.EffectiveCodecThreads(), 0);
  EXPECT_EQ(ParseCommandLine({"-j", "2", "a.avi"}).Line.EffectiveCodecThreads(), 1);
  EXPECT_EQ(
      ParseCommandLine({"-j", "4", "--codec-threads", "2", "a.avi"}).Line.EffectiveCodecThreads(),
      2);
  EXPECT_EQ(ParseCommandLine({"-j", "3", "--codec-threads", "auto", "a.avi"})
                .Line.EffectiveCodecThreads(),
            0);
  EXPECT_EQ(ParseCommandLine({"-o", "x.mp4", "a.avi"}).Line.EffectiveCodecThreads(), 0);
}

TEST(CodecThreadsOption, HelpNamesBoth) {
  const std::string Help = UsageText("vexav-convert");
  EXPECT_NE(Help.find("--codec-threads N"), std::string::npos) << Help;
  EXPECT_NE(Help.find("--timings"), std::string::npos) << Help;
}

// ---------------------------------------------------------------------------
// The timings line

TEST(TimingsLineText, StagesEngineAndShare) {
  TRunTimings T;
  EXPECT_EQ(TimingsLine("clip.avi", T), "clip.avi: timings: not collected");
  T.Collected = true;
  T.Stage(TRunStage::Decode) = {100, 812'400'000, 800'000'000};
  T.Stage(TRunStage::Encode) = {200, 2'961'000'000, 2'900'000'000};
  T.Stage(TRunStage::Resample) = {50, 10'600'000, 10'000'000};
  T.Stage(TRunStage::Mux) = {90, 25'000'000, 20'000'000};
  T.Stage(TRunStage::Demux) = {90, 9'000'000, 9'000'000};
  T.Stage(TRunStage::Codecs) = {4, 40'000'000, 30'000'000};
  // Engine: 3 800 ms of thread CPU less 3 769 ms inside the calls.
  T.ThreadCpuNs = 3'800'000'000;
  T.ProcessCpuNs = 3'790'000'000 + 10'000'000;
  T.WallNs = 3'905'000'000;
  EXPECT_EQ(T.LibraryCpuNs(), 3'769'000'000);
  EXPECT_EQ(T.EngineCpuNs(), 31'000'000);
  EXPECT_EQ(
      TimingsLine("clip.avi", T),
      "clip.avi: timings: decode 812 ms, scale 0 ms, encode 2961 ms, resample 11 ms, mux 25 ms, "
      "demux 9 ms, codecs 40 ms, engine 31 ms = 0.82% of 3800 ms CPU; run 3905 ms");
  // A filter graph's time shows only when one was used.
  T.Stage(TRunStage::Filter) = {10, 5'000'000, 5'000'000};
  EXPECT_NE(TimingsLine("clip.avi", T).find("scale 0 ms, filter 5 ms, encode"), std::string::npos);
  // More time inside the calls than the thread had (clock reads apart) is no
  // negative engine time.
  T.ThreadCpuNs = 1;
  EXPECT_EQ(T.EngineCpuNs(), 0);
  EXPECT_EQ(T.EngineShare(), 0.0);
}

// ---------------------------------------------------------------------------
// The program

struct Result {
  int Status = -1;
  std::string Out, Err;
};

std::string Quote(const std::string& Text) {
  std::string Q = "'";
  for (char C : Text) Q += C == '\'' ? std::string("'\\''") : std::string(1, C);
  return Q + "'";
}

std::string ReadFile(const std::string& Path) {
  std::ifstream In(Path);
  std::stringstream S;
  S << In.rdbuf();
  return S.str();
}

class CodecThreadsRun : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(LoadFFmpegLibs("", true)) << LastLoadError();
    char Template[] = "/tmp/vexav-cli-threads-XXXXXX";
    ASSERT_NE(::mkdtemp(Template), nullptr);
    Folder = Template;
    mediagen::MediaRequest Request;  // 320x240, 25 frames/s, 2 s, MPEG-4 + MP3
    for (const char* Name : {"one.avi", "two.avi"}) {
      const std::string Path = Folder + "/" + Name;
      ASSERT_EQ(mediagen::Generate(Path, Request), "");
      Clips.push_back(Path);
    }
  }
  static void TearDownTestSuite() {
    std::error_code Ignored;
    fs::remove_all(Folder, Ignored);
  }

  static Result Run(const std::vector<std::string>& Args) {
    std::string Command = Quote(VEXAV_CONVERT_PROGRAM);
    for (const std::string& Arg : Args) {
      Command += ' ';
      Command += Quote(Arg);
    }
    const std::string OutFile = Folder + "/stdout.txt", ErrFile = Folder + "/stderr.txt";
    Command += " >";
    Command += Quote(OutFile);
    Command += " 2>";
    Command += Quote(ErrFile);
    Command += " </dev/null";
    const int Raw = std::system(Command.c_str());
    Result R;
    R.Status = WIFEXITED(Raw) ? WEXITSTATUS(Raw) : -1;
    R.Out = ReadFile(OutFile);
    R.Err = ReadFile(ErrFile);
    return R;
  }

  static std::vector<std::string> Lines(const std::string& Text, const std::string& Part) {
    std::vector<std::string> Found;
    std::istringstream In(Text);
    for (std::string Line; std::getline(In, Line);)
      if (Line.find(Part) != std::string::npos) Found.push_back(Line);
    return Found;
  }

  static std::string Folder;
  static std::vector<std::string> Clips;
};

std::string CodecThreadsRun::Folder;
std::vector<std::string> CodecThreadsRun::Clips;

TEST_F(CodecThreadsRun, BadCountIsAUsageErrorAndConvertsNothing) {
  const std::string Out = Folder + "/bad";
  const Result R = Run({"--codec-threads", "-3", "-d", Out, Clips[0]});
  EXPECT_EQ(R.Status, 2) << R.Err;
  EXPECT_NE(R.Err.find("option '--codec-threads' needs auto or a number from 0 to 64"),
            std::string::npos)
      << R.Err;
  EXPECT_EQ(R.Out, "");
  EXPECT_FALSE(fs::exists(Out));
}

TEST_F(CodecThreadsRun, TwoJobsWithTimingsGiveALinePerFileAndGoodOutputs) {
  const std::string Out = Folder + "/jobs";
  const Result R =
      Run({"--jobs", "2", "--codec-threads", "2", "--timings", "-d", Out, Clips[0], Clips[1]});
  ASSERT_EQ(R.Status, 0) << R.Err;
  for (const char* Name : {"one", "two"}) {
    const std::vector<std::string> Timing = Lines(R.Err, std::string(Name) + ".avi: timings: ");
    ASSERT_EQ(Timing.size(), 1u) << R.Err;
    for (const char* Part :
         {"decode ", "scale ", "encode ", "resample ", "mux ", "engine ", "% of ", " ms CPU; run "})
      EXPECT_NE(Timing[0].find(Part), std::string::npos) << Part << " in " << Timing[0];
    const mediagen::DecodedMedia D = mediagen::Decode(Out + "/" + Name + " (MPEG-4 Video).mp4");
    ASSERT_EQ(D.Error, "");
    EXPECT_EQ(D.VideoCodecName, "h264");
    EXPECT_GE(D.Frames.size(), 59u);  // 2 s at 29.97 frames/s
  }
}

TEST_F(CodecThreadsRun, ExplicitModeWithAutomaticThreadsAndTimings) {
  const std::string Out = Folder + "/explicit.mp4";
  const Result R = Run({"--timings", "--codec-threads", "auto", "-o", Out, "--option",
                        "vcodec=libx264", "--option", "acodec=aac", Clips[0]});
  ASSERT_EQ(R.Status, 0) << R.Err;
  const std::vector<std::string> Timing = Lines(R.Err, "one.avi: timings: decode ");
  ASSERT_EQ(Timing.size(), 1u) << R.Err;
  // Decoding and encoding took time; nothing was resampled.
  EXPECT_EQ(Timing[0].find("decode 0 ms"), std::string::npos) << Timing[0];
  EXPECT_EQ(Timing[0].find("encode 0 ms"), std::string::npos) << Timing[0];
  const mediagen::DecodedMedia D = mediagen::Decode(Out);
  ASSERT_EQ(D.Error, "");
  EXPECT_EQ(D.Frames.size(), 50u);
  // Without --timings no such line.
  const Result Quiet = Run({"-o", Folder + "/quiet.mp4", "--option", "vcodec=libx264", Clips[0]});
  ASSERT_EQ(Quiet.Status, 0) << Quiet.Err;
  EXPECT_TRUE(Lines(Quiet.Err, "timings").empty()) << Quiet.Err;
}

}  // namespace
}  // namespace vexav::cli
