// vexav-convert never overwrites an existing file unless given --overwrite,
// and then replaces it only once the conversion has succeeded, through a
// temporary file beside it: the output plans on their own, and the program
// run as a child process on generated media.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "MediaGenerator.h"
#include "binding/FFmpegLibs.h"
#include "cli/CommandLine.h"
#include "cli/OutputFiles.h"

namespace vexav::cli {
namespace {

namespace fs = std::filesystem;

std::string ReadFile(const std::string& Path) {
  std::ifstream In(Path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(In), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& Path, const std::string& Text) {
  std::ofstream(Path, std::ios::binary) << Text;
}

// The names in Folder, sorted.
std::vector<std::string> Names(const std::string& Folder) {
  std::vector<std::string> Result;
  for (const auto& Entry : fs::directory_iterator(Folder))
    Result.push_back(Entry.path().filename().string());
  std::sort(Result.begin(), Result.end());
  return Result;
}

class OverwriteTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char Template[] = "/tmp/vexav-overwrite-XXXXXX";
    ASSERT_NE(::mkdtemp(Template), nullptr);
    Dir = Template;
  }
  void TearDown() override {
    std::error_code Ignored;
    fs::remove_all(Dir, Ignored);
  }
  std::string Dir;
};

// ---------------------------------------------------------------------------
// The plans.

TEST_F(OverwriteTest, TheOptionIsReadAndShownInTheHelp) {
  EXPECT_FALSE(ParseCommandLine({"a.avi"}).Line.Overwrite);
  const ParseResult R = ParseCommandLine({"--overwrite", "--output", "o.mp4", "a.avi"});
  EXPECT_EQ(R.Error, "");
  EXPECT_TRUE(R.Line.Overwrite);
  EXPECT_TRUE(ParseCommandLine({"--overwrite", "a.avi"}).Line.Overwrite);
  EXPECT_NE(ParseCommandLine({"--overwrite=yes", "a.avi"}).Error, "");
  EXPECT_NE(UsageText("vexav-convert").find("--overwrite"), std::string::npos);
}

TEST_F(OverwriteTest, ExplicitPlanCreatesAFreeNameExclusively) {
  OutputPlan Plan;
  std::string Error;
  const std::string Out = Dir + "/new.mp4";
  ASSERT_TRUE(PlanExplicitOutput(Out, false, Plan, Error)) << Error;
  EXPECT_EQ(Plan.WriteTo, Out);
  EXPECT_FALSE(Plan.Replaces);
  EXPECT_TRUE(Plan.Reserved);
  EXPECT_TRUE(fs::exists(Out));
  DiscardOutput(Plan);
  EXPECT_FALSE(fs::exists(Out));
}

TEST_F(OverwriteTest, ExplicitPlanRefusesAnExistingFileWithoutOverwrite) {
  const std::string Out = Dir + "/old.mp4";
  WriteFile(Out, "old contents");
  OutputPlan Plan;
  std::string Error;
  EXPECT_FALSE(PlanExplicitOutput(Out, false, Plan, Error));
  EXPECT_EQ(Error, Out + ": already exists (use --overwrite to replace it)");
  EXPECT_EQ(ReadFile(Out), "old contents");
  EXPECT_EQ(Names(Dir), std::vector<std::string>{"old.mp4"});
}

TEST_F(OverwriteTest, ExplicitPlanWithOverwriteWritesBesideAndReplacesOnCommit) {
  const std::string Out = Dir + "/old.mp4";
  WriteFile(Out, "old contents");
  ::chmod(Out.c_str(), 0640);
  OutputPlan Plan;
  std::string Error;
  ASSERT_TRUE(PlanExplicitOutput(Out, true, Plan, Error)) << Error;
  EXPECT_TRUE(Plan.Replaces);
  EXPECT_NE(Plan.WriteTo, Out);
  EXPECT_EQ(fs::path(Plan.WriteTo).parent_path(), fs::path(Out).parent_path());
  EXPECT_EQ(fs::path(Plan.WriteTo).extension(), ".mp4") << "the container follows the name";
  EXPECT_EQ(ReadFile(Out), "old contents");
  WriteFile(Plan.WriteTo, "new contents");
  ASSERT_TRUE(CommitOutput(Plan, Error)) << Error;
  EXPECT_EQ(ReadFile(Out), "new contents");
  struct stat Info;
  ASSERT_EQ(::stat(Out.c_str(), &Info), 0);
  EXPECT_EQ(Info.st_mode & 0777, 0640u) << "the replacement keeps the old file's permissions";
  EXPECT_EQ(Names(Dir), std::vector<std::string>{"old.mp4"});
}

TEST_F(OverwriteTest, ADiscardedReplacementLeavesTheOldFile) {
  const std::string Out = Dir + "/old.mp4";
  WriteFile(Out, "old contents");
  OutputPlan Plan;
  std::string Error;
  ASSERT_TRUE(PlanExplicitOutput(Out, true, Plan, Error)) << Error;
  WriteFile(Plan.WriteTo, "half");
  DiscardOutput(Plan);
  EXPECT_EQ(ReadFile(Out), "old contents");
  EXPECT_EQ(Names(Dir), std::vector<std::string>{"old.mp4"});
}

TEST_F(OverwriteTest, ThroughALinkTheFileItNamesIsReplaced) {
  const std::string Target = Dir + "/target.mkv", Link = Dir + "/link.mkv";
  WriteFile(Target, "old");
  fs::create_symlink(Target, Link);
  OutputPlan Plan;
  std::string Error;
  EXPECT_FALSE(PlanExplicitOutput(Link, false, Plan, Error));
  ASSERT_TRUE(PlanExplicitOutput(Link, true, Plan, Error)) << Error;
  WriteFile(Plan.WriteTo, "new");
  ASSERT_TRUE(CommitOutput(Plan, Error)) << Error;
  EXPECT_TRUE(fs::is_symlink(Link));
  EXPECT_EQ(ReadFile(Link), "new");
}

TEST_F(OverwriteTest, DevicesAreWrittenAsTheyAre) {
  OutputPlan Plan;
  std::string Error;
  ASSERT_TRUE(PlanExplicitOutput("/dev/null", false, Plan, Error)) << Error;
  EXPECT_EQ(Plan.WriteTo, "/dev/null");
  EXPECT_FALSE(Plan.Reserved);
  EXPECT_FALSE(Plan.Replaces);
  DiscardOutput(Plan);
  EXPECT_TRUE(fs::exists("/dev/null"));
}

TEST_F(OverwriteTest, DefaultPlanWithoutOverwritePicksAFreeName) {
  WriteFile(Dir + "/clip (MPEG-4 Video).mp4", "taken");
  OutputPlan Plan;
  std::string Error;
  ASSERT_TRUE(PlanDefaultOutput(Dir + "/clip.avi", ".mp4", "MPEG-4 Video", false, Plan, Error))
      << Error;
  EXPECT_EQ(Plan.Final, Dir + "/clip (MPEG-4 Video [1]).mp4");
  EXPECT_EQ(Plan.WriteTo, Plan.Final);
  EXPECT_FALSE(Plan.Replaces);
  EXPECT_EQ(ReadFile(Dir + "/clip (MPEG-4 Video).mp4"), "taken");
}

TEST_F(OverwriteTest, DefaultPlanWithOverwriteTakesThePlainName) {
  OutputPlan Plan;
  std::string Error;
  // Free: created at once.
  ASSERT_TRUE(PlanDefaultOutput(Dir + "/a.avi", ".mp4", "MPEG-4 Video", true, Plan, Error))
      << Error;
  EXPECT_EQ(Plan.Final, Dir + "/a (MPEG-4 Video).mp4");
  EXPECT_EQ(Plan.WriteTo, Plan.Final);
  EXPECT_FALSE(Plan.Replaces);
  // Taken by a file: replaced through a temporary file.
  WriteFile(Dir + "/b (MPEG-4 Video).mp4", "old");
  ASSERT_TRUE(PlanDefaultOutput(Dir + "/b.avi", ".mp4", "MPEG-4 Video", true, Plan, Error))
      << Error;
  EXPECT_EQ(Plan.Final, Dir + "/b (MPEG-4 Video).mp4");
  EXPECT_TRUE(Plan.Replaces);
  EXPECT_EQ(ReadFile(Plan.Final), "old");
  // Taken by a folder: an error, nothing touched.
  fs::create_directories(Dir + "/c (MPEG-4 Video).mp4");
  EXPECT_FALSE(PlanDefaultOutput(Dir + "/c.avi", ".mp4", "MPEG-4 Video", true, Plan, Error));
  EXPECT_NE(Error.find("not a regular file"), std::string::npos) << Error;
  EXPECT_TRUE(fs::is_directory(Dir + "/c (MPEG-4 Video).mp4"));
}

// ---------------------------------------------------------------------------
// The program.

struct Child {
  int Status = -1;
  std::string Out, Err;
};

Child RunConvert(const std::vector<std::string>& Args, const std::string& Folder) {
  Child Result;
  const std::string OutFile = Folder + "/../stdout.txt", ErrFile = Folder + "/../stderr.txt";
  const pid_t Pid = ::fork();
  if (Pid == 0) {
    if (!std::freopen(OutFile.c_str(), "w", stdout) || !std::freopen(ErrFile.c_str(), "w", stderr))
      ::_exit(127);
    if (::chdir(Folder.c_str()) != 0) ::_exit(127);
    std::vector<char*> Argv{const_cast<char*>(VEXAV_CONVERT_PROGRAM)};
    for (const std::string& Arg : Args) Argv.push_back(const_cast<char*>(Arg.c_str()));
    Argv.push_back(nullptr);
    ::execv(VEXAV_CONVERT_PROGRAM, Argv.data());
    ::_exit(127);
  }
  int Status = 0;
  ::waitpid(Pid, &Status, 0);
  Result.Status = WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
  Result.Out = ReadFile(OutFile);
  Result.Err = ReadFile(ErrFile);
  return Result;
}

class OverwriteRunTest : public OverwriteTest {
 protected:
  void SetUp() override {
    OverwriteTest::SetUp();
    ASSERT_TRUE(LoadFFmpegLibs("", true)) << LastLoadError();
    Work = Dir + "/work";
    fs::create_directories(Work);
    Clip = Dir + "/clip.avi";
    mediagen::MediaSpec S;
    S.Width = 160;
    S.Height = 120;
    S.DurationSeconds = 1.0;
    ASSERT_EQ(mediagen::Generate(Clip, S), "");
  }
  std::string Work, Clip;
};

TEST_F(OverwriteRunTest, ExplicitModeRefusesAnExistingOutput) {
  const std::string Out = Work + "/out.mkv";
  WriteFile(Out, "precious");
  const Child R = RunConvert(
      {"--output", Out, "--option", "vcodec=copy", "--option", "acodec=copy", Clip}, Work);
  EXPECT_EQ(R.Status, 1) << R.Err;
  EXPECT_EQ(R.Err, Out + ": already exists (use --overwrite to replace it)\n");
  EXPECT_EQ(ReadFile(Out), "precious");
  EXPECT_EQ(Names(Work), std::vector<std::string>{"out.mkv"});
}

TEST_F(OverwriteRunTest, ExplicitModeWithOverwriteReplacesTheFile) {
  const std::string Out = Work + "/out.mkv";
  WriteFile(Out, "precious");
  const Child R = RunConvert(
      {"--overwrite", "--output", Out, "--option", "vcodec=copy", "--option", "acodec=copy", Clip},
      Work);
  EXPECT_EQ(R.Status, 0) << R.Err;
  const mediagen::DecodedMedia D = mediagen::Decode(Out);
  ASSERT_EQ(D.Error, "");
  EXPECT_EQ(D.Frames.size(), 25u);
  EXPECT_EQ(Names(Work), std::vector<std::string>{"out.mkv"}) << "no temporary file is left";
}

TEST_F(OverwriteRunTest, AFailedConversionNeverDestroysTheOldFile) {
  const std::string Out = Work + "/out.mkv";
  WriteFile(Out, "precious");
  // A map that names no stream: the run fails after the output was made.
  const Child R = RunConvert(
      {"--overwrite", "--output", Out, "--option", "map=0:7", "--option", "map=0:1", Clip}, Work);
  EXPECT_EQ(R.Status, 1) << R.Err;
  EXPECT_NE(R.Err.find("Could not find input stream #0.7"), std::string::npos) << R.Err;
  EXPECT_EQ(ReadFile(Out), "precious");
  EXPECT_EQ(Names(Work), std::vector<std::string>{"out.mkv"}) << "no temporary file is left";
}

TEST_F(OverwriteRunTest, ExplicitModeFailureLeavesNoNewFile) {
  const std::string Out = Work + "/new.mkv";
  const Child R =
      RunConvert({"--output", Out, "--option", "map=0:7", "--option", "map=0:1", Clip}, Work);
  EXPECT_EQ(R.Status, 1) << R.Err;
  EXPECT_TRUE(Names(Work).empty()) << R.Err;
}

TEST_F(OverwriteRunTest, ExplicitModeWritesToADeviceWithoutOverwrite) {
  const Child R = RunConvert({"--output", "/dev/null", "--option", "f=matroska", "--option",
                              "vcodec=copy", "--option", "acodec=copy", Clip},
                             Work);
  EXPECT_EQ(R.Status, 0) << R.Err;
  EXPECT_TRUE(fs::exists("/dev/null"));
}

TEST_F(OverwriteRunTest, DefaultModeKeepsTheTakenNameUnlessOverwriteIsGiven) {
  const std::string Plain = Work + "/clip (MPEG-4 Video).mp4";
  WriteFile(Plain, "precious");
  Child R = RunConvert({Clip}, Work);
  EXPECT_EQ(R.Status, 0) << R.Err;
  EXPECT_EQ(R.Out, "clip (MPEG-4 Video [1]).mp4\n");
  EXPECT_EQ(ReadFile(Plain), "precious");
  EXPECT_EQ(mediagen::Decode(Work + "/clip (MPEG-4 Video [1]).mp4").Error, "");

  R = RunConvert({"--overwrite", Clip}, Work);
  EXPECT_EQ(R.Status, 0) << R.Err;
  EXPECT_EQ(R.Out, "clip (MPEG-4 Video).mp4\n");
  const mediagen::DecodedMedia D = mediagen::Decode(Plain);
  ASSERT_EQ(D.Error, "");
  EXPECT_FALSE(D.Frames.empty());
  EXPECT_EQ(Names(Work),
            (std::vector<std::string>{"clip (MPEG-4 Video [1]).mp4", "clip (MPEG-4 Video).mp4"}));
}

TEST_F(OverwriteRunTest, DefaultModeOverwriteKeepsTheOldFileWhenTheSourceFails) {
  // A source that opens but cannot be converted: a picture one pixel wide.
  const std::string Odd = Dir + "/odd.avi";
  mediagen::MediaSpec S;
  S.Width = 1;
  S.Height = 120;
  S.DurationSeconds = 0.5;
  S.Video = mediagen::VideoCodec::Raw;
  ASSERT_EQ(mediagen::Generate(Odd, S), "");
  const std::string Plain = Work + "/odd (MPEG-4 Video).mp4";
  WriteFile(Plain, "precious");
  const Child R = RunConvert({"--overwrite", Odd}, Work);
  EXPECT_EQ(R.Status, 1) << R.Err;
  EXPECT_EQ(ReadFile(Plain), "precious");
  EXPECT_EQ(Names(Work), std::vector<std::string>{"odd (MPEG-4 Video).mp4"}) << R.Err;
}

}  // namespace
}  // namespace vexav::cli
