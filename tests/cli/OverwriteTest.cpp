// vexav-convert never overwrites an existing file unless given --overwrite,
// and then replaces it only once the conversion has succeeded, through a
// temporary file beside it: the option, and the program run as a child
// process on generated media. (The output plans on their own:
// tests/batch/OutputFilesTest.)
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
// The option.

TEST_F(OverwriteTest, TheOptionIsReadAndShownInTheHelp) {
  EXPECT_FALSE(ParseCommandLine({"a.avi"}).Line.Overwrite);
  const ParseResult R = ParseCommandLine({"--overwrite", "--output", "o.mp4", "a.avi"});
  EXPECT_EQ(R.Error, "");
  EXPECT_TRUE(R.Line.Overwrite);
  EXPECT_TRUE(ParseCommandLine({"--overwrite", "a.avi"}).Line.Overwrite);
  EXPECT_NE(ParseCommandLine({"--overwrite=yes", "a.avi"}).Error, "");
  EXPECT_NE(UsageText("vexav-convert").find("--overwrite"), std::string::npos);
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
    mediagen::MediaRequest S;
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
  mediagen::MediaRequest S;
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
