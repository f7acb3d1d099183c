// Outputs of stopped conversions: the partial name and the rename that never
// overwrites and leaves nothing empty behind.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "component/PartialOutput.h"

namespace vexav::output {
namespace {

namespace fs = std::filesystem;

std::string Read(const std::string& Path) {
  std::ifstream In(Path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(In), {});
}

class KeepAsPartialTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char Template[] = "/tmp/vexav-partial-XXXXXX";
    ASSERT_NE(::mkdtemp(Template), nullptr);
    Dir = Template;
  }
  void TearDown() override { fs::remove_all(Dir); }
  void Write(const std::string& Path, const std::string& Bytes) {
    std::ofstream(Path, std::ios::binary) << Bytes;
  }
  std::string Dir;
};

TEST(PartialOutputName, PartialLabelThenCounter) {
  std::set<std::string> Taken;
  const auto IsTaken = [&](const std::string& P) { return Taken.count(P) != 0; };
  const std::string Out = "/o/clip (MPEG-4 Video).mp4";
  EXPECT_EQ(PartialOutputName(Out, IsTaken), "/o/clip (MPEG-4 Video) (partial).mp4");
  Taken.insert("/o/clip (MPEG-4 Video) (partial).mp4");
  EXPECT_EQ(PartialOutputName(Out, IsTaken), "/o/clip (MPEG-4 Video) (partial [1]).mp4");
  const std::string Long = "/o/" + std::string(260, 'x') + ".mp4";
  EXPECT_EQ(FileNamePart(PartialOutputName(Long, IsTaken)).size(), kMaxFileNameBytes);
}

TEST_F(KeepAsPartialTest, RenamesWithoutOverwriting) {
  const std::string Out = Dir + "/clip (MPEG-4 Video).mp4";
  Write(Out, "converted");
  // Someone's file already has the partial name: it must survive.
  Write(Dir + "/clip (MPEG-4 Video) (partial).mp4", "other");
  std::string Error;
  const std::string Kept = KeepAsPartial(Out, Error);
  EXPECT_EQ(Kept, Dir + "/clip (MPEG-4 Video) (partial [1]).mp4") << Error;
  EXPECT_EQ(Read(Kept), "converted");
  EXPECT_EQ(Read(Dir + "/clip (MPEG-4 Video) (partial).mp4"), "other");
  EXPECT_FALSE(fs::exists(Out));
}

TEST_F(KeepAsPartialTest, EmptyOutputIsRemovedNotKept) {
  const std::string Out = Dir + "/clip.mp4";
  Write(Out, "");
  std::string Error;
  EXPECT_EQ(KeepAsPartial(Out, Error), "");
  EXPECT_FALSE(Error.empty());
  EXPECT_TRUE(fs::is_empty(Dir));
  EXPECT_EQ(KeepAsPartial(Dir + "/missing.mp4", Error), "");
  EXPECT_FALSE(Error.empty());
}

TEST_F(KeepAsPartialTest, NonRegularFileIsLeftAlone) {
  const std::string Pipe = Dir + "/pipe.mp4";
  ASSERT_EQ(::mkfifo(Pipe.c_str(), 0600), 0);
  std::string Error;
  EXPECT_EQ(KeepAsPartial(Pipe, Error), "");
  EXPECT_FALSE(Error.empty());
  EXPECT_TRUE(fs::is_fifo(Pipe));
}

}  // namespace
}  // namespace vexav::output
