// Folders as sources: the media files inside, recursively and in order.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "component/SourceFolders.h"

namespace vexav::output {
namespace {

namespace fs = std::filesystem;

TEST(SourceFolders, MediaFilesRecursiveSortedSkippingHiddenAndFolderLinks) {
  char Template[] = "/tmp/vexav-folders-XXXXXX";
  ASSERT_NE(::mkdtemp(Template), nullptr);
  const std::string Dir = Template;
  fs::create_directories(Dir + "/b/deep");
  fs::create_directories(Dir + "/.hidden");
  for (const char* Name : {"/z.AVI", "/a.mp3", "/notes.txt", "/b/deep/x.Mkv", "/b/c.wav",
                           "/.secret.avi", "/.hidden/in.avi", "/noext"})
    std::ofstream(Dir + Name) << "x";
  // A link back to the top would loop if followed; a link to a file counts.
  ASSERT_EQ(::symlink(Dir.c_str(), (Dir + "/b/loop").c_str()), 0);
  ASSERT_EQ(::symlink((Dir + "/a.mp3").c_str(), (Dir + "/b/linked.mp3").c_str()), 0);

  std::string Error;
  const std::vector<TSourceFile> Files = ListMediaFiles(Dir + "/", Error);
  EXPECT_EQ(Error, "");
  std::vector<std::string> Paths, Folders;
  for (const TSourceFile& F : Files) {
    Paths.push_back(F.Path);
    Folders.push_back(F.RelativeFolder);
  }
  EXPECT_EQ(Paths,
            (std::vector<std::string>{Dir + "/a.mp3", Dir + "/b/c.wav", Dir + "/b/deep/x.Mkv",
                                      Dir + "/b/linked.mp3", Dir + "/z.AVI"}));
  EXPECT_EQ(Folders, (std::vector<std::string>{"", "b", "b/deep", "b", ""}));
  fs::remove_all(Dir);
}

TEST(SourceFolders, MissingFolderIsAnError) {
  std::string Error;
  EXPECT_TRUE(ListMediaFiles("/nonexistent-vexav-folder", Error).empty());
  EXPECT_NE(Error.find("/nonexistent-vexav-folder"), std::string::npos);
}

}  // namespace
}  // namespace vexav::output
