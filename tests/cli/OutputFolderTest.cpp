// The output folders of the default mode: a folder the run made is removed
// again when nothing was written into it (a source that is missing, a
// mirrored sub-folder whose only file failed); one that was there before,
// or that holds an output, stays. The program runs as a child process on
// generated media, and what it wrote is decoded.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "ChildProgram.h"
#include "MediaGenerator.h"
#include "binding/FFmpegLibs.h"

namespace vexav::cli {
namespace {

namespace fs = std::filesystem;
using testchild::RunCommand;
using testchild::RunResult;

class OutputFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(LoadFFmpegLibs("", true)) << LastLoadError();
    char Template[] = "/tmp/vexav-cli-folders-XXXXXX";
    ASSERT_NE(::mkdtemp(Template), nullptr);
    Dir = Template;
  }
  void TearDown() override { fs::remove_all(Dir); }

  RunResult Convert(std::vector<std::string> Args) {
    Args.insert(Args.begin(), VEXAV_CONVERT_PROGRAM);
    return RunCommand(Args, Dir);
  }

  std::string Dir;
};

TEST_F(OutputFolderTest, AFolderMadeForNothingIsRemovedAndOneThereBeforeStays) {
  // Made with its parent for a source that is missing: both go again.
  RunResult R = Convert({"--output-dir", "fresh/sub", "missing.avi"});
  EXPECT_EQ(R.Status, 1) << R.Err;
  EXPECT_NE(R.Err.find("missing.avi: "), std::string::npos) << R.Err;
  EXPECT_FALSE(fs::exists(Dir + "/fresh")) << R.Err;

  // There before: it stays, empty as it was.
  fs::create_directories(Dir + "/kept");
  R = Convert({"--output-dir", "kept/sub", "missing.avi"});
  EXPECT_EQ(R.Status, 1) << R.Err;
  EXPECT_TRUE(fs::is_directory(Dir + "/kept"));
  EXPECT_FALSE(fs::exists(Dir + "/kept/sub")) << R.Err;
}

TEST_F(OutputFolderTest, AMirroredFolderWhoseOnlyFileFailedIsRemoved) {
  // tree/good holds a clip; tree/bad the same clip's headers without a
  // byte of its pictures or sound: it opens, so its output folder is made,
  // and then fails.
  mediagen::MediaRequest Request;
  Request.Width = 160;
  Request.Height = 120;
  Request.DurationSeconds = 1.0;
  fs::create_directories(Dir + "/tree/good");
  fs::create_directories(Dir + "/tree/bad");
  ASSERT_EQ(mediagen::Generate(Dir + "/tree/good/a.avi", Request), "");
  std::ifstream In(Dir + "/tree/good/a.avi", std::ios::binary);
  const std::string Bytes((std::istreambuf_iterator<char>(In)), {});
  const std::size_t Data = Bytes.find("movi");
  ASSERT_NE(Data, std::string::npos);
  std::ofstream(Dir + "/tree/bad/b.avi", std::ios::binary) << Bytes.substr(0, Data + 4);

  RunResult R = Convert({"--output-dir", "out", "tree"});
  EXPECT_EQ(R.Status, 1) << R.Err;
  const std::string Output = "out/good/a (MPEG-4 Video).mp4";
  EXPECT_EQ(R.OutLines, std::vector<std::string>{Output}) << R.Err;
  const mediagen::DecodedMedia Media = mediagen::Decode(Dir + "/" + Output);
  ASSERT_EQ(Media.Error, "");
  ASSERT_FALSE(Media.Frames.empty());
  EXPECT_GE(Media.Frames.back().PtsUs, 900000);
  EXPECT_NE(R.Err.find("tree/bad/b.avi: "), std::string::npos) << R.Err;
  EXPECT_FALSE(fs::exists(Dir + "/out/bad")) << "made for the failed file, and left empty";
  EXPECT_FALSE(fs::exists(Dir + "/out/bad/b (MPEG-4 Video).mp4"));
}

}  // namespace
}  // namespace vexav::cli
