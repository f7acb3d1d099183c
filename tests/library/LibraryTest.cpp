// The converter component as an installed library. The CTest fixtures have
// installed the build into a temporary prefix and built examples/ against
// it (CMakeLists.txt); these cases check the installed files, the SONAME,
// the exported symbols, the pkg-config file (a program built with it), and
// the example program converting a generated clip, read back by decoding.
#include <cxxabi.h>
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "MediaGenerator.h"
#include "binding/FFmpegLibs.h"
#include "cli/ChildProgram.h"

namespace vexav::library {
namespace {

namespace fs = std::filesystem;
using cli::testchild::RunCommand;
using cli::testchild::RunResult;

const std::string Prefix = VEXAV_TEST_PREFIX;
const std::string LibDir = Prefix + "/" + VEXAV_TEST_LIBDIR;
const std::string IncludeDir = Prefix + "/" + VEXAV_TEST_INCLUDEDIR;
const std::string Version = VEXAV_TEST_VERSION;
const std::string Soname = std::string("libvexav.so.") + VEXAV_TEST_SOVERSION;
const std::string LibraryFile = LibDir + "/libvexav.so." + Version;

std::string ReadText(const std::string& Path) {
  std::ifstream In(Path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(In), std::istreambuf_iterator<char>());
}

std::string Joined(const std::vector<std::string>& Lines) {
  std::string Text;
  for (const std::string& Line : Lines) Text += Line + "\n";
  return Text;
}

// A fresh folder of this case under the fixtures' work folder.
std::string CaseFolder() {
  const std::string Folder = std::string(VEXAV_TEST_WORK) + "/" +
                             ::testing::UnitTest::GetInstance()->current_test_info()->name();
  fs::remove_all(Folder);
  fs::create_directories(Folder);
  return Folder;
}

// The entries of an ELF file's dynamic section that readelf names Kind
// ("NEEDED", "SONAME", "RUNPATH", "RPATH"): the text between the brackets.
std::vector<std::string> DynamicEntries(const std::string& Path, const std::string& Kind) {
  const RunResult R = RunCommand({"readelf", "-d", Path}, "/");
  EXPECT_EQ(R.Status, 0) << R.Err;
  std::vector<std::string> Values;
  const std::regex Entry("\\(" + Kind + "\\).*\\[(.*)\\]");
  for (const std::string& Line : R.OutLines) {
    std::smatch M;
    if (std::regex_search(Line, M, Entry)) Values.push_back(M[1]);
  }
  return Values;
}

bool NeedsAMediaLibrary(const std::vector<std::string>& Needed) {
  const std::regex Media(
      "^lib(avcodec|avformat|avutil|avfilter|avdevice|swscale|swresample)\\.so.*");
  return std::any_of(Needed.begin(), Needed.end(),
                     [&](const std::string& Name) { return std::regex_match(Name, Media); });
}

// A symbol's name, demangled when it is a C++ one.
std::string Demangled(const std::string& Name) {
  int Status = 0;
  std::unique_ptr<char, decltype(&std::free)> Text(
      abi::__cxa_demangle(Name.c_str(), nullptr, nullptr, &Status), &std::free);
  return Status == 0 && Text ? std::string(Text.get()) : Name;
}

// The defined symbols of a file as nm lists them: the dynamic symbol table
// (what the library exports) or the full one. Mangled name -> demangled.
std::vector<std::pair<std::string, std::string>> DefinedSymbols(const std::string& Path,
                                                                bool Dynamic) {
  std::vector<std::string> Args{"nm", "--defined-only"};
  if (Dynamic) Args.push_back("-D");
  Args.push_back(Path);
  const RunResult R = RunCommand(Args, "/");
  EXPECT_EQ(R.Status, 0) << R.Err;
  std::vector<std::pair<std::string, std::string>> Symbols;
  for (const std::string& Line : R.OutLines) {
    std::istringstream In(Line);
    std::string Address, Type, Name;
    if (In >> Address >> Type >> Name) Symbols.emplace_back(Name, Demangled(Name));
  }
  return Symbols;
}

// The mangled name of the first symbol whose demangled name starts with
// Start, or "".
std::string FindSymbol(const std::vector<std::pair<std::string, std::string>>& Symbols,
                       const std::string& Start) {
  for (const auto& [Mangled, Name] : Symbols)
    if (Name.rfind(Start, 0) == 0) return Mangled;
  return "";
}

// A generated clip: 320x240 MPEG-4 Part 2 at 25 frames/s with MP3 sound.
std::string MakeClip(const std::string& Folder, double Seconds) {
  EXPECT_TRUE(LoadFFmpegLibs("", true)) << LastLoadError();
  mediagen::MediaRequest Request;
  Request.DurationSeconds = Seconds;
  const std::string Path = Folder + "/clip.avi";
  EXPECT_EQ(mediagen::Generate(Path, Request), "");
  return Path;
}

TEST(InstalledLibrary, FilesCarryTheSonameAndTheVersion) {
  // libvexav.so -> libvexav.so.0 -> libvexav.so.0.MINOR.PATCH
  ASSERT_TRUE(fs::is_regular_file(fs::symlink_status(LibraryFile))) << LibraryFile;
  EXPECT_EQ(fs::read_symlink(LibDir + "/" + Soname), "libvexav.so." + Version);
  EXPECT_EQ(fs::read_symlink(LibDir + "/libvexav.so"), Soname);
  EXPECT_EQ(DynamicEntries(LibraryFile, "SONAME"), std::vector<std::string>{Soname});
  // No media library linked, and no search path into the build tree.
  const std::vector<std::string> Needed = DynamicEntries(LibraryFile, "NEEDED");
  EXPECT_NE(std::find(Needed.begin(), Needed.end(), "libstdc++.so.6"), Needed.end());
  EXPECT_FALSE(NeedsAMediaLibrary(Needed));
  EXPECT_TRUE(DynamicEntries(LibraryFile, "RUNPATH").empty());
  EXPECT_TRUE(DynamicEntries(LibraryFile, "RPATH").empty());

  // The development files.
  for (const char* File :
       {"/cmake/VexAV/VexAVConfig.cmake", "/cmake/VexAV/VexAVConfigVersion.cmake",
        "/cmake/VexAV/VexAVTargets.cmake", "/pkgconfig/vexav.pc"})
    EXPECT_TRUE(fs::is_regular_file(LibDir + File)) << File;
  EXPECT_NE(ReadText(LibDir + "/cmake/VexAV/VexAVConfigVersion.cmake")
                .find("set(PACKAGE_VERSION \"" + Version + "\")"),
            std::string::npos);
  EXPECT_NE(ReadText(LibDir + "/cmake/VexAV/VexAVTargets.cmake").find("VexAV::Converter"),
            std::string::npos);
  EXPECT_TRUE(fs::is_regular_file(IncludeDir + "/vexav/component/VexAVConverter.h"));
  // The engine's own header is not part of the installed interface.
  EXPECT_FALSE(fs::exists(IncludeDir + "/vexav/engine/FFmpeg.h"));
  EXPECT_FALSE(fs::exists(IncludeDir + "/vexav/component/TaskList.h"));
}

TEST(InstalledLibrary, ExportsThePublicInterfaceAndHidesTheRest) {
  const auto Exported = DefinedSymbols(LibraryFile, true);
  const auto All = DefinedSymbols(LibraryFile, false);
  ASSERT_FALSE(Exported.empty());
  for (const char* Public : {
           "vexav::TCustomAVConverter::TCustomAVConverter()",
           "vexav::TCustomAVConverter::LoadLibraries(",
           "vexav::TCustomAVConverter::AddInputFile(",
           "vexav::TCustomAVConverter::SetOutputFile(",
           "vexav::TCustomAVConverter::Start(int)",
           "vexav::TCustomAVConverter::Stop()",
           "vexav::TCustomAVConverter::Pause()",
           "vexav::TCustomAVConverter::Resume()",
           "vexav::TCustomAVConverter::TaskProbe(int) const",
           "vexav::TCustomAVConverter::DoTaskProgress(",  // protected: a subclass may call it
           "vexav::TVexAVConverter::~TVexAVConverter()",
           "vtable for vexav::TVexAVConverter",
           "typeinfo for vexav::TVexAVConverter",
           "typeinfo for vexav::ELibraryNotLoaded",
           "vexav::TAVProbe::Open(",
           "vexav::TAVProbe::GetVideoInfo(",
           "vexav::TRunLoopDispatcher::RunUntil(",
           "vexav::ResetOutputOptions(",
           "vexav::output::MakeOutputSettings(",
           "vexav::output::ApplyOutputSettings(",
           "vexav::output::MakeOutputName",
       })
    EXPECT_NE(FindSymbol(Exported, Public), "") << Public << " is not exported";
  // In the library, but not exported: the engine, the binding, the log
  // capture, and the component's private helpers.
  for (const char* Internal : {
           "vexav::TCustomFFmpeg::SetOption(",
           "vexav::TFFmpeg::ApplyOutputOptions(",
           "vexav::LoadFFmpegLibs(",
           "vexav::InstallLogCapture()",
           "vexav::TCustomAVConverter::StartNext()",
           "vtable for vexav::TCustomAVConverter::TLogClient",
       }) {
    EXPECT_NE(FindSymbol(All, Internal), "") << Internal << " is not in the library";
    EXPECT_EQ(FindSymbol(Exported, Internal), "") << Internal << " is exported";
  }
  // Nothing else: no standard library instantiation, no C symbol.
  const std::regex Ours("^((typeinfo|typeinfo name|vtable) for )?vexav::.*");
  for (const auto& [Mangled, Name] : Exported)
    EXPECT_TRUE(std::regex_match(Name, Ours)) << Name << " is exported";

  // The dynamic loader sees the same: the class's type information is
  // there, an engine function is not.
  void* Handle = ::dlopen(LibraryFile.c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(Handle, nullptr) << ::dlerror();
  EXPECT_NE(::dlsym(Handle, "_ZTIN5vexav15TVexAVConverterE"), nullptr);
  const std::string SetOption = FindSymbol(All, "vexav::TCustomFFmpeg::SetOption(");
  EXPECT_EQ(::dlsym(Handle, SetOption.c_str()), nullptr) << SetOption;
  ::dlclose(Handle);
}

TEST(InstalledLibrary, PkgConfigBuildsAProgramWithoutTheMediaHeaders) {
  const std::string Folder = CaseFolder();
  const std::string PkgConfig = "PKG_CONFIG_PATH='" + LibDir + "/pkgconfig' pkg-config ";
  RunResult R = RunCommand({"sh", "-c", PkgConfig + "--modversion vexav"}, Folder);
  ASSERT_EQ(R.Status, 0) << R.Err;
  EXPECT_EQ(Joined(R.OutLines), Version + "\n");
  R = RunCommand({"sh", "-c", PkgConfig + "--cflags --libs vexav"}, Folder);
  ASSERT_EQ(R.Status, 0) << R.Err;
  const std::string Flags = Joined(R.OutLines);
  EXPECT_NE(Flags.find("-I" + IncludeDir), std::string::npos) << Flags;
  EXPECT_NE(Flags.find("-L" + LibDir), std::string::npos) << Flags;
  EXPECT_NE(Flags.find("-lvexav"), std::string::npos) << Flags;

  // Built the way a user would, with the header dependencies written out.
  const std::string Source =
      std::string(VEXAV_TEST_SOURCE_DIR) + "/tests/library/PkgConfigProgram.cpp";
  R = RunCommand(
      {"sh", "-c",
       std::string(VEXAV_TEST_CXX) + " -std=c++20 -Wall -Wextra -Werror -MD -MF deps.txt $(" +
           PkgConfig + "--cflags vexav) '" + Source + "' -o program $(" + PkgConfig +
           "--libs vexav)"},
      Folder);
  ASSERT_EQ(R.Status, 0) << R.Err;
  std::istringstream Deps(ReadText(Folder + "/deps.txt"));
  bool SawComponent = false;
  for (std::string Word; Deps >> Word;) {
    if (Word == "\\" || Word.back() == ':') continue;
    const std::string Path = fs::path(Word).lexically_normal().string();
    if (Path == IncludeDir + "/vexav/component/VexAVConverter.h") SawComponent = true;
    EXPECT_EQ(Path.find("/libav"), std::string::npos) << "a media library's header: " << Path;
    EXPECT_EQ(Path.find("/libsw"), std::string::npos) << "a media library's header: " << Path;
    if (Path.find("/vexav/") != std::string::npos) {
      EXPECT_EQ(Path.rfind(IncludeDir + "/vexav/", 0), 0u) << "not an installed header: " << Path;
    }
  }
  EXPECT_TRUE(SawComponent);
  const std::vector<std::string> Needed = DynamicEntries(Folder + "/program", "NEEDED");
  EXPECT_NE(std::find(Needed.begin(), Needed.end(), Soname), Needed.end());

  const std::string Clip = MakeClip(Folder, 1.0);
  R = RunCommand({"env", "LD_LIBRARY_PATH=" + LibDir, "./program", Clip}, Folder);
  ASSERT_EQ(R.Status, 0) << Joined(R.OutLines) << R.Err;
  ASSERT_EQ(R.OutLines.size(), 5u) << Joined(R.OutLines);
  EXPECT_EQ(R.OutLines[0].rfind("not loaded: ", 0), 0u) << R.OutLines[0];
  EXPECT_EQ(R.OutLines[1], "tasks 1");
  EXPECT_EQ(R.OutLines[2], "video 1 audio 1");
  EXPECT_EQ(R.OutLines[3], "picture 320x240");
  EXPECT_EQ(R.OutLines[4], "output clip (MPEG-4 Video).mp4");
}

// What the example printed: its progress lines' frame numbers and its
// last line.
struct ExampleRun {
  RunResult Result;
  std::vector<int> ProgressFrames;
  std::string LastLine;
};

ExampleRun RunExample(const std::string& Clip, const std::string& Folder) {
  ExampleRun Run;
  Run.Result = RunCommand({std::string(VEXAV_TEST_EXAMPLE_BUILD) + "/vexav-example", Clip}, Folder);
  const std::regex Progress("^progress: frame (-?[0-9]+), .*");
  for (const std::string& Line : Run.Result.OutLines) {
    std::smatch M;
    if (std::regex_match(Line, M, Progress)) Run.ProgressFrames.push_back(std::stoi(M[1]));
  }
  if (!Run.Result.OutLines.empty()) Run.LastLine = Run.Result.OutLines.back();
  return Run;
}

TEST(InstalledLibrary, ExampleConvertsAClipIntoTheCurrentFolder) {
  // Built through find_package against the temporary prefix, linked to
  // the shared library.
  const std::string ExampleBuild = VEXAV_TEST_EXAMPLE_BUILD;
  EXPECT_NE(ReadText(ExampleBuild + "/CMakeCache.txt")
                .find("VexAV_DIR:PATH=" + LibDir + "/cmake/VexAV\n"),
            std::string::npos);
  const std::vector<std::string> Needed = DynamicEntries(ExampleBuild + "/vexav-example", "NEEDED");
  EXPECT_NE(std::find(Needed.begin(), Needed.end(), Soname), Needed.end());
  EXPECT_FALSE(NeedsAMediaLibrary(Needed));

  const std::string Folder = CaseFolder();
  fs::create_directories(Folder + "/media");
  fs::create_directories(Folder + "/out");
  const std::string Clip = MakeClip(Folder + "/media", 3.0);
  const ExampleRun First = RunExample(Clip, Folder + "/out");
  ASSERT_EQ(First.Result.Status, 0) << Joined(First.Result.OutLines) << First.Result.Err;
  EXPECT_EQ(First.LastLine, Clip + " -> clip (MPEG-4 Video).mp4");
  ASSERT_FALSE(First.ProgressFrames.empty()) << Joined(First.Result.OutLines);

  const std::string Output = Folder + "/out/clip (MPEG-4 Video).mp4";
  const mediagen::DecodedMedia Decoded = mediagen::Decode(Output);
  ASSERT_EQ(Decoded.Error, "") << Output;
  EXPECT_EQ(Decoded.VideoCodecName, "h264");
  EXPECT_EQ(Decoded.AudioCodecName, "aac");
  ASSERT_FALSE(Decoded.Frames.empty());
  EXPECT_EQ(Decoded.Frames[0].Width, 320);
  EXPECT_EQ(Decoded.Frames[0].Height, 240);
  // 3 s at the preset's 29.97 frames/s, and the sound with it.
  EXPECT_NEAR(static_cast<double>(Decoded.Frames.size()), 90.0, 3.0);
  EXPECT_EQ(Decoded.AudioSampleRate, 44100);
  EXPECT_NEAR(static_cast<double>(Decoded.AudioSamples) / 44100.0, 3.0, 0.1);
  // The progress counted the pictures written, up to the last ones.
  EXPECT_LE(First.ProgressFrames.back(), static_cast<int>(Decoded.Frames.size()));
  EXPECT_GE(First.ProgressFrames.back(), static_cast<int>(Decoded.Frames.size()) - 3);

  // Again: a new name, the first output untouched.
  const auto Size = fs::file_size(Output);
  const ExampleRun Second = RunExample(Clip, Folder + "/out");
  ASSERT_EQ(Second.Result.Status, 0) << Second.Result.Err;
  EXPECT_EQ(Second.LastLine, Clip + " -> clip (MPEG-4 Video [1]).mp4");
  EXPECT_EQ(fs::file_size(Output), Size);
  EXPECT_EQ(mediagen::Decode(Folder + "/out/clip (MPEG-4 Video [1]).mp4").Error, "");
}

TEST(InstalledLibrary, ExampleSaysWhyAFileIsNotConvertedAndLeavesNothing) {
  const std::string Folder = CaseFolder();
  const std::string Notes = Folder + "/notes.avi";
  std::ofstream(Notes) << "not a media file\n";
  fs::create_directories(Folder + "/out");
  for (const std::string& Source : {Notes, Folder + "/missing.avi"}) {
    const ExampleRun Run = RunExample(Source, Folder + "/out");
    EXPECT_EQ(Run.Result.Status, 1) << Run.Result.Err;
    EXPECT_EQ(Run.Result.Err.rfind("vexav-example: ", 0), 0u) << Run.Result.Err;
    EXPECT_NE(Run.Result.Err.find(Source), std::string::npos) << Run.Result.Err;
    EXPECT_TRUE(Run.ProgressFrames.empty());
  }
  EXPECT_TRUE(fs::is_empty(Folder + "/out"));
}

}  // namespace
}  // namespace vexav::library
