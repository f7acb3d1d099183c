// Output naming: the base name, the label and the counter, the path helpers,
// and the file-system test that keeps every existing path untouched.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "component/OutputNaming.h"

namespace vexav::output {
namespace {

namespace fs = std::filesystem;

const std::string kExt = ".mp4";
const std::string kLabel = "MPEG-4 Video";

// A predicate over a fixed set of taken paths that records what it was asked.
struct TTakenNames {
  std::set<std::string> Taken;
  std::vector<std::string> Asked;
  TPathTaken Predicate() {
    return [this](const std::string& Path) {
      Asked.push_back(Path);
      return Taken.count(Path) != 0;
    };
  }
};

TEST(OutputNaming, FreeNameIsBaseLabelAndExtension) {
  TTakenNames Names;
  EXPECT_EQ(MakeOutputName("/out/clip.avi", kExt, kLabel, Names.Predicate()),
            "/out/clip (MPEG-4 Video).mp4");
  EXPECT_EQ(Names.Asked, std::vector<std::string>{"/out/clip (MPEG-4 Video).mp4"});
}

TEST(OutputNaming, TakenNamesGetOneThenTwo) {
  TTakenNames Names;
  Names.Taken.insert("/out/clip (MPEG-4 Video).mp4");
  EXPECT_EQ(MakeOutputName("/out/clip.avi", kExt, kLabel, Names.Predicate()),
            "/out/clip (MPEG-4 Video [1]).mp4");
  Names.Taken.insert("/out/clip (MPEG-4 Video [1]).mp4");
  EXPECT_EQ(MakeOutputName("/out/clip.avi", kExt, kLabel, Names.Predicate()),
            "/out/clip (MPEG-4 Video [2]).mp4");
}

TEST(OutputNaming, CounterSkipsEveryTakenName) {
  TTakenNames Names;
  Names.Taken.insert("/o/a (L).x");
  for (int N = 1; N <= 11; ++N) Names.Taken.insert("/o/a (L [" + std::to_string(N) + "]).x");
  EXPECT_EQ(MakeOutputName("/o/a.avi", ".x", "L", Names.Predicate()), "/o/a (L [12]).x");
  // Each candidate was asked once, in order.
  ASSERT_EQ(Names.Asked.size(), 13u);
  EXPECT_EQ(Names.Asked[0], "/o/a (L).x");
  EXPECT_EQ(Names.Asked[12], "/o/a (L [12]).x");
}

TEST(OutputNaming, OnlyTheLastExtensionGoes) {
  TTakenNames Names;
  EXPECT_EQ(MakeOutputName("/v/my.holiday.2024.avi", kExt, kLabel, Names.Predicate()),
            "/v/my.holiday.2024 (MPEG-4 Video).mp4");
}

TEST(OutputNaming, SpacesDotsAndRelativeNames) {
  TTakenNames Names;
  EXPECT_EQ(MakeOutputName("/home/a b/v1.0 files/my clip.avi", kExt, kLabel, Names.Predicate()),
            "/home/a b/v1.0 files/my clip (MPEG-4 Video).mp4");
  EXPECT_EQ(MakeOutputName("/home/x.y/clip", kExt, kLabel, Names.Predicate()),
            "/home/x.y/clip (MPEG-4 Video).mp4");
  EXPECT_EQ(MakeOutputName("clip.avi", kExt, kLabel, Names.Predicate()), "clip (MPEG-4 Video).mp4");
}

TEST(OutputNaming, HiddenFileKeepsItsName) {
  TTakenNames Names;
  EXPECT_EQ(MakeOutputName("/v/.clip", kExt, kLabel, Names.Predicate()),
            "/v/.clip (MPEG-4 Video).mp4");
  EXPECT_EQ(MakeOutputName("/v/.clip.avi", kExt, kLabel, Names.Predicate()),
            "/v/.clip (MPEG-4 Video).mp4");
}

TEST(OutputNaming, Utf8NamesPassThrough) {
  TTakenNames Names;
  EXPECT_EQ(MakeOutputName("/v/Zoë 日本.avi", kExt, kLabel, Names.Predicate()),
            "/v/Zoë 日本 (MPEG-4 Video).mp4");
}

TEST(OutputNaming, OverlongNameIsShortenedKeepingLabelCounterAndExtension) {
  TTakenNames Names;
  const std::string Long(300, 'a');
  const std::string Plain = MakeOutputName("/v/" + Long + ".avi", kExt, kLabel, Names.Predicate());
  const std::string Tail = " (MPEG-4 Video).mp4";
  EXPECT_EQ(FileNamePart(Plain).size(), kMaxFileNameBytes);
  EXPECT_EQ(Plain, "/v/" + std::string(kMaxFileNameBytes - Tail.size(), 'a') + Tail);
  // With a counter the base gives up the counter's bytes too.
  Names.Taken.insert(Plain);
  const std::string Counted =
      MakeOutputName("/v/" + Long + ".avi", kExt, kLabel, Names.Predicate());
  EXPECT_EQ(FileNamePart(Counted).size(), kMaxFileNameBytes);
  EXPECT_EQ(Counted.substr(Counted.size() - 23), " (MPEG-4 Video [1]).mp4");
}

TEST(OutputNaming, ShorteningNeverSplitsAUtf8Character) {
  TTakenNames Names;
  // "日" is three bytes; 100 of them leave a cut inside a character unless
  // the cut moves back to a character boundary.
  std::string Long;
  for (int I = 0; I < 100; ++I) Long += "日";
  const std::string Name =
      FileNamePart(MakeOutputName("/v/" + Long + ".avi", kExt, kLabel, Names.Predicate()));
  EXPECT_LE(Name.size(), kMaxFileNameBytes);
  EXPECT_GT(Name.size(), kMaxFileNameBytes - 3);
  const std::string Base = Name.substr(0, Name.size() - std::string(" (MPEG-4 Video).mp4").size());
  EXPECT_EQ(Base.size() % 3, 0u);
  EXPECT_EQ(Base.substr(0, 3), "日");
  EXPECT_EQ(Base.substr(Base.size() - 3), "日");
}

TEST(OutputNaming, PathHelpers) {
  EXPECT_EQ(FileExtension("/a/clip.avi"), ".avi");
  EXPECT_EQ(FileExtension("/a.b/clip"), "");
  EXPECT_EQ(FileExtension("/a/.hidden"), "");
  EXPECT_EQ(FileExtension(".hidden"), "");
  EXPECT_EQ(FileExtension("/a/clip."), ".");
  EXPECT_EQ(FileExtension("clip.mp3"), ".mp3");
  EXPECT_EQ(RemoveExtension("/a/clip.tar.gz"), "/a/clip.tar");
  EXPECT_EQ(RemoveExtension("/a.b/clip"), "/a.b/clip");
  EXPECT_EQ(FileNamePart("/a/b/clip.avi"), "clip.avi");
  EXPECT_EQ(FileNamePart("clip.avi"), "clip.avi");
  EXPECT_EQ(PathInFolder("/out", "/in/clip.avi"), "/out/clip.avi");
  EXPECT_EQ(PathInFolder("/out/", "/in/clip.avi"), "/out/clip.avi");
  EXPECT_EQ(PathInFolder("/", "/in/clip.avi"), "/clip.avi");
  EXPECT_EQ(PathInFolder("", "/in/clip.avi"), "clip.avi");
  EXPECT_EQ(PathInFolder("out", "clip.avi"), "out/clip.avi");
}

TEST(OutputNaming, FileSystemNeverGivesAnExistingPath) {
  char Template[] = "/tmp/vexav-naming-XXXXXX";
  ASSERT_NE(::mkdtemp(Template), nullptr);
  const std::string Dir = Template;
  const std::string Name = PathInFolder(Dir, "/in dir/clip.avi");
  const std::string First = MakeOutputName(Name, kExt, kLabel);
  EXPECT_EQ(First, Dir + "/clip (MPEG-4 Video).mp4");

  // A file, a folder and a dangling link each take a name.
  std::ofstream(First).put('x');
  EXPECT_EQ(MakeOutputName(Name, kExt, kLabel), Dir + "/clip (MPEG-4 Video [1]).mp4");
  fs::create_directory(Dir + "/clip (MPEG-4 Video [1]).mp4");
  EXPECT_EQ(MakeOutputName(Name, kExt, kLabel), Dir + "/clip (MPEG-4 Video [2]).mp4");
  ASSERT_EQ(::symlink((Dir + "/nowhere").c_str(), (Dir + "/clip (MPEG-4 Video [2]).mp4").c_str()),
            0);
  EXPECT_TRUE(PathTaken(Dir + "/clip (MPEG-4 Video [2]).mp4"));
  EXPECT_EQ(MakeOutputName(Name, kExt, kLabel), Dir + "/clip (MPEG-4 Video [3]).mp4");
  EXPECT_FALSE(PathTaken(Dir + "/clip (MPEG-4 Video [3]).mp4"));
  fs::remove_all(Dir);
}

}  // namespace
}  // namespace vexav::output
