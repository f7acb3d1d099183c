// vexav-convert's sources and reports: folders mirrored under the output
// folder, --from-list (a file or standard input), names too long for the
// file system, and --json; run as a child process on generated media.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "JsonReader.h"
#include "MediaGenerator.h"
#include "binding/FFmpegLibs.h"
#include "cli/JsonProgress.h"
#include "batch/SourceList.h"

namespace vexav::cli {

using batch::ProgressInfo;
namespace {

namespace fs = std::filesystem;
using testjson::Reader;
using testjson::Value;

struct Ran {
  int Status = -1;
  std::vector<std::string> Out;
  std::string Err;
};

std::string ReadFile(const std::string& Path) {
  std::ifstream In(Path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(In), {});
}

std::vector<std::string> Lines(const std::string& Text) {
  std::vector<std::string> Result;
  std::istringstream In(Text);
  for (std::string Line; std::getline(In, Line);) Result.push_back(Line);
  return Result;
}

class SourcesJsonTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(LoadFFmpegLibs("", true)) << LastLoadError();
    char Template[] = "/tmp/vexav-cli-sources-XXXXXX";
    ASSERT_NE(::mkdtemp(Template), nullptr);
    Dir = Template;
  }
  void TearDown() override { fs::remove_all(Dir); }

  std::string Make(const std::string& Name, bool Video = true) {
    mediagen::MediaRequest Request;
    Request.Width = 160;
    Request.Height = 120;
    Request.DurationSeconds = 1.0;
    if (!Video) Request.Video = mediagen::VideoCodec::None;
    const std::string Path = Dir + "/" + Name;
    fs::create_directories(fs::path(Path).parent_path());
    EXPECT_EQ(mediagen::Generate(Path, Request), "") << Path;
    return Path;
  }

  // Runs the program in Dir; Input (when given) is its standard input.
  Ran Run(const std::vector<std::string>& Args, const std::string& Input = std::string()) {
    const std::string InPath = Dir + "/.stdin", OutPath = Dir + "/.stdout",
                      ErrPath = Dir + "/.stderr";
    std::ofstream(InPath, std::ios::binary) << Input;
    const pid_t Child = ::fork();
    if (Child == 0) {
      ::dup2(::open(InPath.c_str(), O_RDONLY), 0);
      ::dup2(::open(OutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
      ::dup2(::open(ErrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
      if (::chdir(Dir.c_str()) != 0) ::_exit(127);
      std::vector<char*> Argv{const_cast<char*>(VEXAV_CONVERT_PROGRAM)};
      for (const std::string& Arg : Args) Argv.push_back(const_cast<char*>(Arg.c_str()));
      Argv.push_back(nullptr);
      ::execv(VEXAV_CONVERT_PROGRAM, Argv.data());
      ::_exit(127);
    }
    int Status = 0;
    ::waitpid(Child, &Status, 0);
    Ran R;
    R.Status = WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
    R.Out = Lines(ReadFile(OutPath));
    R.Err = ReadFile(ErrPath);
    for (const std::string& P : {InPath, OutPath, ErrPath}) fs::remove(P);
    return R;
  }

  std::string Dir;
};

TEST_F(SourcesJsonTest, FolderArgumentsMirrorTheTreeUnderTheOutputFolder) {
  Make("in/a.avi");
  Make("in/sub/deep/b.AVI");
  Make("in/sub/a.avi");  // the same name in another sub-folder
  std::ofstream(Dir + "/in/sub/notes.txt") << "not media";
  const Ran R = Run({"--output-dir", "out", "in"});
  EXPECT_EQ(R.Status, 0) << R.Err;
  EXPECT_EQ(R.Out,
            (std::vector<std::string>{"out/a (MPEG-4 Video).mp4", "out/sub/a (MPEG-4 Video).mp4",
                                      "out/sub/deep/b (MPEG-4 Video).mp4"}));
  for (const std::string& Output : R.Out) {
    const mediagen::DecodedMedia D = mediagen::Decode(Dir + "/" + Output);
    EXPECT_EQ(D.Error, "") << Output;
    EXPECT_EQ(D.VideoCodecName, "h264") << Output;
  }
  // A folder without media is said, not passed over.
  fs::create_directories(Dir + "/empty");
  const Ran Empty = Run({"empty"});
  EXPECT_EQ(Empty.Status, 1);
  EXPECT_NE(Empty.Err.find("empty: no media files in it"), std::string::npos) << Empty.Err;
}

TEST_F(SourcesJsonTest, FromListReadsAFileOrStandardInput) {
  Make("a.avi");
  Make("b.mp3", false);
  std::ofstream(Dir + "/list.txt") << "a.avi\r\n\nb.mp3\n";
  Ran R = Run({"--output-dir", "one", "--from-list", "list.txt"});
  EXPECT_EQ(R.Status, 0) << R.Err;
  EXPECT_EQ(R.Out,
            (std::vector<std::string>{"one/a (MPEG-4 Video).mp4", "one/b (MPEG-4 Video).mp4"}));
  R = Run({"--output-dir", "two", "--from-list", "-"}, "b.mp3\n");
  EXPECT_EQ(R.Status, 0) << R.Err;
  EXPECT_EQ(R.Out, std::vector<std::string>{"two/b (MPEG-4 Video).mp4"});
  EXPECT_EQ(mediagen::Decode(Dir + "/two/b (MPEG-4 Video).mp4").AudioCodecName, "aac");
  R = Run({"--from-list", "missing.txt"});
  EXPECT_EQ(R.Status, 1);
  EXPECT_NE(R.Err.find("missing.txt: cannot read the list"), std::string::npos) << R.Err;
}

TEST_F(SourcesJsonTest, OverlongOutputNamesAreShortened) {
  // 240 bytes of name: with " (MPEG-4 Video).mp4" the output would need 259.
  const std::string Base(236, 'n');
  const std::string Source = Make(Base + ".avi");
  for (int Round = 0; Round < 2; ++Round) {
    // The second round replaces the first output through a temporary file.
    const Ran R = Run(Round == 0 ? std::vector<std::string>{Source}
                                 : std::vector<std::string>{"--overwrite", Source});
    EXPECT_EQ(R.Status, 0) << R.Err;
    ASSERT_EQ(R.Out.size(), 1u) << R.Err;
    EXPECT_EQ(R.Out[0].size(), 255u);
    EXPECT_EQ(R.Out[0].substr(R.Out[0].size() - 19), " (MPEG-4 Video).mp4");
    EXPECT_EQ(mediagen::Decode(Dir + "/" + R.Out[0]).Error, "");
  }
}

TEST_F(SourcesJsonTest, JsonLinesReportProgressAndResults) {
  Make("a.avi");
  std::ofstream(Dir + "/bad.avi") << "not a video";
  // A name that is not UTF-8 still gives valid JSON, and its bytes back.
  const std::string Odd = "odd\xff.avi";
  fs::copy_file(Dir + "/a.avi", Dir + "/" + Odd);
  const Ran R = Run({"--json", "-d", "out", "a.avi", "bad.avi", Odd});
  EXPECT_EQ(R.Status, 1) << R.Err;
  std::vector<Value> Results;
  int Progress = 0;
  for (const std::string& Line : R.Out) {
    Value V;
    ASSERT_NO_THROW(V = Reader::Parse(Line)) << Line;
    EXPECT_EQ(Line.find('\xff'), std::string::npos) << Line;
    for (const char* Key :
         {"file", "percent", "frame", "fps", "elapsed", "eta", "output", "status", "error"})
      EXPECT_TRUE(V.Has(Key)) << Key << " in " << Line;
    if (V["status"].Text == "converting")
      ++Progress;
    else
      Results.push_back(V);
  }
  EXPECT_GT(Progress, 0);
  ASSERT_EQ(Results.size(), 3u) << R.Err;
  EXPECT_EQ(Results[0]["file"].Text, "bad.avi");
  EXPECT_EQ(Results[0]["status"].Text, "failed");
  EXPECT_EQ(Results[0]["error"].Text, "Unknown format");
  EXPECT_EQ(Results[1]["file"].Text, "a.avi");
  EXPECT_EQ(Results[1]["status"].Text, "done");
  EXPECT_EQ(Results[1]["percent"].Number, 100);
  EXPECT_EQ(mediagen::Decode(Dir + "/" + Results[1]["output"].Text).VideoCodecName, "h264");
  EXPECT_EQ(Results[2]["status"].Text, "done");
  EXPECT_EQ(Results[2]["file_hex"].Text, "6f6464ff2e617669");  // "odd\xff.avi"
  EXPECT_TRUE(fs::exists(Dir + "/out/odd\xff (MPEG-4 Video).mp4"));
}

TEST(JsonProgress, TimeLeftOnceTwoSecondsOrOnePercentHavePassed) {
  ProgressInfo Info;
  Info.TotalOutputDurationMs = 100000;
  Info.CurrentDurationMs = 500;  // 0.5%
  EXPECT_FALSE(SecondsLeft(Info, 1.0).has_value());
  ASSERT_TRUE(SecondsLeft(Info, 2.0).has_value());
  EXPECT_NEAR(*SecondsLeft(Info, 2.0), 398.0, 1e-6);
  Info.CurrentDurationMs = 25000;  // a quarter in 1 s: 3 s to go
  EXPECT_NEAR(*SecondsLeft(Info, 1.0), 3.0, 1e-6);
  Info.TotalOutputDurationMs = -1;  // length unknown
  EXPECT_FALSE(SecondsLeft(Info, 10.0).has_value());
}

}  // namespace
}  // namespace vexav::cli
