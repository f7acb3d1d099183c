// Binding the media libraries at run time: file names, the folder and
// system-path rules, the PATH rule, failures and the set's all-or-nothing
// state. Each case runs in a process of its own, so each starts unloaded.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "binding/Api.h"
#include "binding/FFmpegLibs.h"
#include "binding/LibraryLoader.h"
#include "binding/MyUtilHlpr.h"

namespace fs = std::filesystem;
using namespace vexav;

namespace {

const std::string StandInDir = VEXAV_STANDIN_DIR;
const std::string SystemLibDir = std::string("/usr/lib/") + VEXAV_SYSTEM_LIB_DIR;

class PathGuard {
 public:
  PathGuard() {
    const char* P = ::getenv("PATH");
    Saved = P ? P : "";
  }
  ~PathGuard() { ::setenv("PATH", Saved.c_str(), 1); }

 private:
  std::string Saved;
};

class TempDir {
 public:
  TempDir() {
    std::string Pattern = (fs::temp_directory_path() / "vexav-loader-XXXXXX").string();
    Path = ::mkdtemp(Pattern.data());
  }
  ~TempDir() { fs::remove_all(Path); }
  const std::string& str() const { return Path; }

 private:
  std::string Path;
};

std::string LibraryFileOf(const void* Address) {
  Dl_info Info{};
  if (!::dladdr(Address, &Info) || !Info.dli_fname) return "";
  return Info.dli_fname;
}

struct ModuleView {
  const char* Name;
  binding::LibModule& (*Module)();
};

std::vector<ModuleView> AllModules() {
  return {{"avcodec", AVCodecHlpr::Module},     {"avfilter", AVFilterHlpr::Module},
          {"avformat", AVFormatHlpr::Module},   {"avutil", AVUtilHlpr::Module},
          {"swscale", SwScaleHlpr::Module},     {"swresample", SwResampleHlpr::Module}};
}

void ExpectWholeSetUnloaded() {
  EXPECT_FALSE(FFmpegLibsLoaded());
  for (const ModuleView& M : AllModules()) {
    EXPECT_FALSE(M.Module().LibLoaded()) << M.Name;
    EXPECT_FALSE(M.Module().HasHandle()) << M.Name;
  }
}

}  // namespace

TEST(LibraryNames, VersionedNamesCarryTheHeadersMajorVersions) {
  ASSERT_TRUE(LoadFFmpegLibs("", true)) << LastLoadError();
  EXPECT_EQ(AVCodecHlpr::LibFileName(), "libavcodec.so.59");
  EXPECT_EQ(AVFormatHlpr::LibFileName(), "libavformat.so.59");
  EXPECT_EQ(AVUtilHlpr::LibFileName(), "libavutil.so.57");
  EXPECT_EQ(SwScaleHlpr::LibFileName(), "libswscale.so.6");
  EXPECT_EQ(SwResampleHlpr::LibFileName(), "libswresample.so.4");
  EXPECT_EQ(AVFilterHlpr::LibFileName(), "libavfilter.so.8");
}

TEST(LibraryNames, PlainNamesLoadThroughTheSystemPath) {
  ASSERT_TRUE(LoadFFmpegLibs("", false)) << LastLoadError();
  EXPECT_EQ(AVCodecHlpr::LibFileName(), "libavcodec.so");
  EXPECT_EQ(AVFormatHlpr::LibFileName(), "libavformat.so");
  EXPECT_EQ(AVUtilHlpr::LibFileName(), "libavutil.so");
  EXPECT_EQ(SwScaleHlpr::LibFileName(), "libswscale.so");
  EXPECT_EQ(SwResampleHlpr::LibFileName(), "libswresample.so");
  EXPECT_EQ(AVFilterHlpr::LibFileName(), "libavfilter.so");
  EXPECT_TRUE(MyUtilHlpr::LibLoaded());
  EXPECT_NE(ff::avcodec_find_encoder_by_name("mpeg4"), nullptr);
}

TEST(LoadFFmpegLibs, FallsBackToTheSystemWhenTheFolderLacksTheLibraries) {
  PathGuard Path;
  TempDir Empty;
  ASSERT_TRUE(LoadFFmpegLibs(Empty.str(), true)) << LastLoadError();
  EXPECT_TRUE(FFmpegLibsLoaded());
  EXPECT_EQ(LastLoadError(), "");
  for (const ModuleView& M : AllModules()) EXPECT_TRUE(M.Module().LibLoaded()) << M.Name;
  EXPECT_EQ(fs::path(LibraryFileOf(reinterpret_cast<void*>(ff::avcodec_open2))).filename(),
            "libavcodec.so.59");
  EXPECT_EQ(LibraryFileOf(reinterpret_cast<void*>(ff::avcodec_open2)).rfind(Empty.str(), 0),
            std::string::npos);
  // The entries are live: the library answers through them.
  EXPECT_NE(ff::avcodec_find_encoder_by_name("mpeg4"), nullptr);
  EXPECT_EQ(RecordedLogLevel(), ff::av_log_get_level());
}

TEST(LoadFFmpegLibs, LoadsTheLibrariesFoundInTheFolder) {
  PathGuard Path;
  TempDir Folder;
  for (const ModuleView& M : AllModules()) {
    std::string Name = M.Module().LibFileName();
    fs::create_symlink(fs::path(SystemLibDir) / Name, fs::path(Folder.str()) / Name);
  }
  ASSERT_TRUE(LoadFFmpegLibs(Folder.str(), true)) << LastLoadError();
  // avcodec is the first library loaded, so it comes from the folder itself
  // and not as a dependency of another one.
  EXPECT_EQ(LibraryFileOf(reinterpret_cast<void*>(ff::avcodec_open2)),
            (fs::path(Folder.str()) / "libavcodec.so.59").string());
  EXPECT_NE(ff::avcodec_find_decoder(AV_CODEC_ID_MPEG4), nullptr);
}

TEST(LoadFFmpegLibs, ASecondLoadAfterSuccessDoesNothing) {
  ASSERT_TRUE(LoadFFmpegLibs("", true));
  auto* Before = ff::avcodec_open2;
  // The folder now holds a broken avcodec: a real second load would fail.
  EXPECT_TRUE(LoadFFmpegLibs(StandInDir + "/broken", true));
  EXPECT_EQ(LastLoadError(), "");
  EXPECT_EQ(ff::avcodec_open2, Before);
  EXPECT_TRUE(FFmpegLibsLoaded());
}

TEST(LoadFFmpegLibs, ALibraryThatLacksOneEntryFailsAndLeavesTheSetUnloaded) {
  PathGuard Path;
  EXPECT_FALSE(LoadFFmpegLibs(StandInDir + "/missing-entry", true));
  const std::string Error = LastLoadError();
  const std::string Expected =
      std::string("Load function ") + VEXAV_OMITTED_ENTRY + "@libavcodec.so.59 error: ";
  EXPECT_EQ(Error.rfind(Expected, 0), 0u) << Error;
  // The loader's own text follows.
  EXPECT_NE(Error.find("undefined symbol"), std::string::npos) << Error;
  EXPECT_NE(Error.find(VEXAV_OMITTED_ENTRY), Error.rfind(VEXAV_OMITTED_ENTRY)) << Error;
  ExpectWholeSetUnloaded();

  // The set loads again once the folder no longer shadows the system.
  EXPECT_TRUE(LoadFFmpegLibs("", true)) << LastLoadError();
  EXPECT_EQ(LastLoadError(), "");
}

TEST(LoadFFmpegLibs, AnUnloadableLibraryFailsWithTheLoadersText) {
  EXPECT_FALSE(LoadFFmpegLibs(StandInDir + "/broken", true));
  const std::string Error = LastLoadError();
  // The library is named with the Debian package that holds it.
  const std::string Head = "Load libraray libavcodec.so.59 (Debian package libavcodec59) error: ";
  EXPECT_EQ(Error.rfind(Head, 0), 0u) << Error;
  EXPECT_GT(Error.size(), Head.size());
  ExpectWholeSetUnloaded();
  EXPECT_EQ(LoadedLibraryFolder(), "");
}

TEST(LibModule, AMissingLibraryIsNamedWithItsDebianPackage) {
  // A library no folder and no system path holds: the loader's own text
  // follows the name and the package.
  static void* Entry = nullptr;
  const binding::EntrySlot Slots[] = {{"vexav_nothing", &Entry}};
  binding::LibModule Missing("libvexavmissing.so.3", "libvexavmissing.so", Slots, 1);
  std::string Error;
  TempDir Folder;
  EXPECT_FALSE(Missing.LoadLib(Error, Folder.str(), true));
  EXPECT_EQ(Error, Missing.LastError());
  EXPECT_EQ(Error.rfind("Load libraray libvexavmissing.so.3 (Debian package libvexavmissing3) "
                        "error: libvexavmissing.so.3: cannot open shared object file",
                        0),
            0u)
      << Error;
  EXPECT_FALSE(Missing.HasHandle());
  // The unversioned name is the development package's.
  EXPECT_FALSE(Missing.LoadLib(Error, "", false));
  EXPECT_EQ(Error.rfind("Load libraray libvexavmissing.so (Debian package libvexavmissing-dev) "
                        "error: ",
                        0),
            0u)
      << Error;
}

TEST(LibModule, DebianPackagesOfTheMediaLibraries) {
  // The packages the programs' package depends on, by the names the loader
  // looks for.
  std::vector<std::string> Packages;
  for (const ModuleView& M : AllModules())
    Packages.push_back(binding::DebianPackageOf(M.Module().LibFileName()));
  EXPECT_EQ(Packages, (std::vector<std::string>{"libavcodec59", "libavfilter8", "libavformat59",
                                                "libavutil57", "libswscale6", "libswresample4"}));
  EXPECT_EQ(binding::DebianPackageOf("libavcodec.so"), "libavcodec-dev");
  // A name ending in a digit takes a '-' before the version; only the major
  // version counts.
  EXPECT_EQ(binding::DebianPackageOf("libfoo2.so.1"), "libfoo2-1");
  EXPECT_EQ(binding::DebianPackageOf("libbar.so.4.1.0"), "libbar4");
  // Names of another form get none.
  for (const char* Odd : {"avcodec.so.59", "libavcodec", "libavcodec.so.x", "libavcodec.so.",
                          "libavcodec.sox", ".so.1", "lib.so.1x"})
    EXPECT_EQ(binding::DebianPackageOf(Odd), "") << Odd;
}

TEST(ProgramLibraryFolder, LibBesideTheProgramThenTheInstalledFolderThenLib) {
  TempDir Root;
  const fs::path Bin = fs::path(Root.str()) / "usr" / "bin";
  fs::create_directories(Bin);
  // Nothing there (the build tree): lib/ beside the program, which holds
  // nothing, so everything comes through the system's search path.
  EXPECT_EQ(binding::ProgramLibraryFolder(Bin.string()), (Bin / "lib").string());
  EXPECT_EQ(binding::ProgramLibraryFolder(""), "");

  // Installed: the folder the install rules fill, said without "bin/..".
  const std::string Relative = binding::InstalledLibraryFolderFromPrograms();
  EXPECT_EQ(Relative.rfind("../", 0), 0u) << Relative;
  EXPECT_EQ(fs::path(Relative).filename(), "vexav") << Relative;
  const fs::path Installed = (Bin / Relative).lexically_normal();
  fs::create_directories(Installed);
  EXPECT_EQ(binding::ProgramLibraryFolder(Bin.string()), Installed.string());
  EXPECT_EQ(binding::ProgramLibraryFolder(Bin.string() + "/"), Installed.string());
  EXPECT_EQ(Installed.string().find(".."), std::string::npos) << Installed;

  // A lib/ folder beside the program (a portable copy) comes first.
  fs::create_directories(Bin / "lib");
  EXPECT_EQ(binding::ProgramLibraryFolder(Bin.string()), (Bin / "lib").string());
}

TEST(LoadFFmpegLibs, KeepsTheFolderOfTheLoadThatBoundTheSet) {
  PathGuard Path;
  TempDir Folder;
  EXPECT_EQ(LoadedLibraryFolder(), "");
  ASSERT_TRUE(LoadFFmpegLibs(Folder.str(), true)) << LastLoadError();
  EXPECT_EQ(LoadedLibraryFolder(), Folder.str());
  // A second load does nothing, and keeps the first folder.
  ASSERT_TRUE(LoadFFmpegLibs("", true));
  EXPECT_EQ(LoadedLibraryFolder(), Folder.str());
  UnloadFFmpegLibs();
  EXPECT_EQ(LoadedLibraryFolder(), "");
  ASSERT_TRUE(LoadFFmpegLibs("", true));
  EXPECT_EQ(LoadedLibraryFolder(), "");
}

TEST(LoadFFmpegLibs, UnloadThenLoadAgain) {
  ASSERT_TRUE(LoadFFmpegLibs("", true));
  UnloadFFmpegLibs();
  ExpectWholeSetUnloaded();
  ASSERT_TRUE(LoadFFmpegLibs("", true)) << LastLoadError();
  EXPECT_NE(ff::avcodec_find_encoder_by_name("mpeg4"), nullptr);
}

TEST(LibModule, AMissingEntryLeavesTheLibraryLoadedButUnresolved) {
  std::string Error;
  EXPECT_FALSE(AVCodecHlpr::LoadLib(Error, StandInDir + "/missing-entry", true, true));
  EXPECT_TRUE(AVCodecHlpr::Module().HasHandle());
  EXPECT_FALSE(AVCodecHlpr::LibLoaded());
  EXPECT_EQ(Error, AVCodecHlpr::Module().LastError());
  EXPECT_NE(Error.find(VEXAV_OMITTED_ENTRY), std::string::npos);
  AVCodecHlpr::UnloadLib();
  EXPECT_FALSE(AVCodecHlpr::Module().HasHandle());
}

TEST(LibModule, TheRuntimeModuleIsAlwaysLoaded) {
  std::string Error;
  EXPECT_TRUE(MyUtilHlpr::LoadLib(Error, "/nonexistent"));
  EXPECT_TRUE(MyUtilHlpr::LibLoaded());
  EXPECT_EQ(Error, "");
}

TEST(PathRule, PutsTheFolderInFrontOnceIgnoringCase) {
  PathGuard Guard;
  ::setenv("PATH", "/usr/local/bin:/usr/bin:/bin", 1);
  binding::PutFolderInPath("/opt/VexAV/lib");
  EXPECT_STREQ(::getenv("PATH"), "/opt/VexAV/lib:/usr/local/bin:/usr/bin:/bin");
  binding::PutFolderInPath("/opt/VexAV/lib");
  EXPECT_STREQ(::getenv("PATH"), "/opt/VexAV/lib:/usr/local/bin:/usr/bin:/bin");
  // Already there in another letter case: unchanged, and the rest of PATH
  // keeps its own case.
  binding::PutFolderInPath("/OPT/vexav/LIB");
  EXPECT_STREQ(::getenv("PATH"), "/opt/VexAV/lib:/usr/local/bin:/usr/bin:/bin");
  binding::PutFolderInPath("");
  EXPECT_STREQ(::getenv("PATH"), "/opt/VexAV/lib:/usr/local/bin:/usr/bin:/bin");
}

TEST(PathRule, EmptyPathBecomesTheFolder) {
  PathGuard Guard;
  ::unsetenv("PATH");
  binding::PutFolderInPath("/opt/x");
  EXPECT_STREQ(::getenv("PATH"), "/opt/x");
}

TEST(PathRule, LoadingFromAFolderPutsItInPathOnce) {
  PathGuard Guard;
  TempDir Folder;
  ::setenv("PATH", "/usr/bin:/bin", 1);
  ASSERT_TRUE(LoadFFmpegLibs(Folder.str(), true));
  UnloadFFmpegLibs();
  ASSERT_TRUE(LoadFFmpegLibs(Folder.str(), true));
  EXPECT_EQ(std::string(::getenv("PATH")), Folder.str() + ":/usr/bin:/bin");
}

TEST(PathRule, LoadingWithoutAFolderLeavesPathAlone) {
  PathGuard Guard;
  ::setenv("PATH", "/usr/bin:/bin", 1);
  ASSERT_TRUE(LoadFFmpegLibs("", true));
  EXPECT_STREQ(::getenv("PATH"), "/usr/bin:/bin");
}

TEST(LoadFFmpegLibs, ModuleUnloadedBehindTheSetsBackMakesItLoadAgain) {
  ASSERT_TRUE(LoadFFmpegLibs("", true));
  // Someone unloads one module on its own (the probe does this with its four).
  AVFormatHlpr::UnloadLib();
  EXPECT_FALSE(FFmpegLibsLoaded());
  ASSERT_TRUE(LoadFFmpegLibs("", true)) << LastLoadError();
  EXPECT_TRUE(AVFormatHlpr::LibLoaded());
  EXPECT_NE(ff::avformat_alloc_context, nullptr);
}
