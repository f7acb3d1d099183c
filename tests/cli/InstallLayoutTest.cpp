// The install rules and the programs they install: this build installed with
// `cmake --install` into a folder of its own, and the installed vexav-convert
// run from there on generated media. It finds the frame-hook library in the
// installed library folder by the library's name alone; a lib/ folder beside
// it comes first; nothing of the tests, benchmarks or the test-media
// generator is installed, and no installed binary names the build folder.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "ChildProgram.h"
#include "MediaGenerator.h"
#include "binding/FFmpegLibs.h"
#include "binding/LibraryLoader.h"

namespace vexav::cli {
namespace {

namespace fs = std::filesystem;
using testchild::RunCommand;
using testchild::RunResult;

constexpr char HookName[] = "libvexav-boxhook.so";

struct Installed {
  std::string Folder;  // the test's own folder
  fs::path Prefix;     // what `cmake --install --prefix` was given
  fs::path Bin;
  fs::path LibFolder;  // where the programs look for what they load
  std::string Clip;    // MPEG-4 Part 2 + MP3, 320x240, 25 fps, 1 s
  std::string InstallError;
};

Installed I;

class InstallEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    ASSERT_TRUE(LoadFFmpegLibs("", true)) << LastLoadError();
    char Template[] = "/tmp/vexav-install-XXXXXX";
    ASSERT_NE(::mkdtemp(Template), nullptr);
    I.Folder = Template;
    I.Prefix = fs::path(I.Folder) / "prefix";
    I.Bin = I.Prefix / "bin";
    I.LibFolder = (I.Bin / binding::InstalledLibraryFolderFromPrograms()).lexically_normal();
    const RunResult Install = RunCommand(
        {VEXAV_CMAKE_COMMAND, "--install", VEXAV_BUILD_FOLDER, "--prefix", I.Prefix.string()},
        I.Folder);
    if (Install.Status != 0)
      I.InstallError = Install.Err + "(exit " + std::to_string(Install.Status) + ")";
    mediagen::MediaRequest Request;
    Request.DurationSeconds = 1.0;
    I.Clip = I.Folder + "/clip.avi";
    ASSERT_EQ(mediagen::Generate(I.Clip, Request), "");
  }
  void TearDown() override {
    std::error_code Ignored;
    fs::remove_all(I.Folder, Ignored);
  }
};

const auto* const Env = ::testing::AddGlobalTestEnvironment(new InstallEnvironment);

class InstallLayout : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(I.InstallError, "") << "cmake --install failed"; }

  // vexav-convert's explicit mode: Source into Output, with the options given.
  static RunResult Convert(const std::string& Program, const std::string& Output,
                           const std::vector<std::string>& Options) {
    std::vector<std::string> Args{Program, "--output", Output};
    for (const std::string& Option : Options) {
      Args.push_back("--option");
      Args.push_back(Option);
    }
    Args.push_back(I.Clip);
    return RunCommand(Args, I.Folder);
  }

  static std::vector<double> Lumas(const std::string& Path) {
    const mediagen::DecodedMedia Media = mediagen::Decode(Path);
    EXPECT_EQ(Media.Error, "") << Path;
    std::vector<double> Result;
    for (const auto& Frame : Media.Frames) Result.push_back(Frame.MeanLuma);
    return Result;
  }
};

TEST_F(InstallLayout, ProgramsInBinAndTheHookInTheLibraryFolder) {
  std::vector<std::string> Programs;
  for (const auto& Entry : fs::directory_iterator(I.Bin))
    Programs.push_back(Entry.path().filename().string());
  std::sort(Programs.begin(), Programs.end());
  EXPECT_EQ(Programs, (std::vector<std::string>{"vexav-convert", "vexav-window"}));
  EXPECT_TRUE(fs::is_regular_file(I.LibFolder / HookName)) << I.LibFolder;
  // The library folder is LIBDIR/vexav of the prefix.
  EXPECT_EQ(I.LibFolder.filename(), "vexav");
  EXPECT_EQ(I.LibFolder.string().rfind(I.Prefix.string() + "/lib", 0), 0u) << I.LibFolder;

  // Nothing of the tests, the benchmarks or the test-media generator.
  for (const auto& Entry : fs::recursive_directory_iterator(I.Prefix)) {
    const std::string Name = Entry.path().filename().string();
    for (const char* Dev : {"mediagen", "_tests", "vexav_test", "standin", "soak", "codec-floor",
                            "joint-check", "fuzzer", "gtest"})
      EXPECT_EQ(Name.find(Dev), std::string::npos) << Entry.path();
  }
}

TEST_F(InstallLayout, NoInstalledBinaryNamesTheBuildFolder) {
  // The installed programs find what they load from their own folder, never
  // through the build tree (no RUNPATH or path of the build folder left).
  const std::string BuildFolder = VEXAV_BUILD_FOLDER;
  int Binaries = 0;
  for (const auto& Entry : fs::recursive_directory_iterator(I.Prefix)) {
    if (!Entry.is_regular_file()) continue;
    std::ifstream In(Entry.path(), std::ios::binary);
    const std::string Bytes((std::istreambuf_iterator<char>(In)), std::istreambuf_iterator<char>());
    if (Bytes.rfind("\177ELF", 0) != 0) continue;
    ++Binaries;
    EXPECT_EQ(Bytes.find(BuildFolder), std::string::npos) << Entry.path();
  }
  EXPECT_GE(Binaries, 3);
}

TEST_F(InstallLayout, TheInstalledProgramRunsAHookNamedWithoutAFolder) {
  // The hook without arguments inverts the luma: Y becomes 255 - Y.
  const std::string Program = (I.Bin / "vexav-convert").string();
  const RunResult Plain = Convert(Program, "plain.mp4", {});
  ASSERT_EQ(Plain.Status, 0) << Plain.Err;
  const RunResult Hooked = Convert(Program, "hooked.mp4", {std::string("vhook=") + HookName});
  ASSERT_EQ(Hooked.Status, 0) << Hooked.Err;
  const std::vector<double> PlainLumas = Lumas(I.Folder + "/plain.mp4");
  const std::vector<double> HookedLumas = Lumas(I.Folder + "/hooked.mp4");
  ASSERT_FALSE(PlainLumas.empty());
  ASSERT_EQ(PlainLumas.size(), HookedLumas.size());
  for (std::size_t K = 0; K < PlainLumas.size(); ++K)
    EXPECT_NEAR(PlainLumas[K] + HookedLumas[K], 255.0, 6.0) << "picture " << K;

  // The program of the build tree has no such folder: the name goes to the
  // system's search path, which does not hold it, and nothing is written.
  const RunResult FromBuild =
      Convert(VEXAV_CONVERT_PROGRAM, "from-build.mp4", {std::string("vhook=") + HookName});
  EXPECT_NE(FromBuild.Status, 0);
  EXPECT_NE(FromBuild.Err.find("Failed to add video hook function"), std::string::npos)
      << FromBuild.Err;
  EXPECT_FALSE(fs::exists(I.Folder + "/from-build.mp4"));
}

TEST_F(InstallLayout, ALibFolderBesideTheProgramComesFirstAndNamesThePackage) {
  // A copy of the installed program with a lib/ folder of its own whose
  // avcodec cannot be loaded: the program uses that folder and says which
  // library failed and which Debian package holds it.
  const fs::path Portable = fs::path(I.Folder) / "portable";
  fs::create_directories(Portable / "lib");
  fs::copy_file(I.Bin / "vexav-convert", Portable / "vexav-convert");
  std::ofstream(Portable / "lib" / "libavcodec.so.59") << "not a library\n";
  const RunResult Probe =
      RunCommand({(Portable / "vexav-convert").string(), "--probe", I.Clip}, I.Folder);
  EXPECT_EQ(Probe.Status, 1);
  EXPECT_NE(Probe.Err.find("Error: Lib cannot be loaded. Load libraray libavcodec.so.59 (Debian "
                           "package libavcodec59) error: " +
                           (Portable / "lib" / "libavcodec.so.59").string()),
            std::string::npos)
      << Probe.Err;

  // Without that folder the installed program probes the clip.
  const RunResult Installed =
      RunCommand({(I.Bin / "vexav-convert").string(), "--probe", I.Clip}, I.Folder);
  EXPECT_EQ(Installed.Status, 0) << Installed.Err;
  ASSERT_FALSE(Installed.OutLines.empty());
  EXPECT_NE(Installed.OutLines[0].find("clip.avi"), std::string::npos) << Installed.OutLines[0];
}

}  // namespace
}  // namespace vexav::cli
