// libFuzzer target: option texts as users and option records give them.
//
// The bytes are lines. When the first byte is "#", the rest is one free
// option text handed to a conversion task's ApplyExtOptions, the way the
// component reads the records' ExtOptions. Otherwise each line is cut at its
// first "=" into a name and a value and given to the engine's SetOption, one
// option at a time, with every refusal caught so that the next option still
// reaches the same engine. After the last option the engine must still take
// a plain one: a refusal may not leave it broken.
//
// Video hooks load a shared object named by their first word; the fuzzer
// puts a path that does not exist in front of every hook text, so that the
// word splitting and the refusal are reached but nothing on the machine is
// loaded. (In the ExtOptions mode the name is disguised instead.)
//
// VEXAV_FUZZ_WRITE_SEEDS=DIR writes the seed inputs into DIR and exits:
// every name of the option table with a typical value, and longer sequences
// with maps, matrices, times, sizes, aspects, presets and hook words.
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "binding/Api.h"
#include "binding/FFmpegLibs.h"
#include "component/TaskList.h"
#include "engine/FFmpeg.h"

namespace {

using namespace vexav;
namespace fs = std::filesystem;

constexpr const char* kMissingHook = "/nonexistent/vexav-fuzz-hook.so";

// A typical value of each kind of option, and of a few names in particular.
std::string TypicalValue(const TCustomFFmpeg::TOptionDef& Def) {
  static const std::map<std::string, std::string> ByName = {
      {"f", "avi"},
      {"map", "0:0"},
      {"map_meta_data", "0:0"},
      {"itsscale", "1.5"},
      {"target", "pal-dvd"},
      {"b", "800k"},
      {"vb", "1M"},
      {"r", "25"},
      {"s", "320x240"},
      {"aspect", "16:9"},
      {"pix_fmt", "yuv420p"},
      {"padcolor", "FF00FF"},
      {"vcodec", "mpeg4"},
      {"acodec", "mp2"},
      {"scodec", "copy"},
      {"vtag", "XVID"},
      {"atag", "0x55"},
      {"ab", "128k"},
      {"sample_fmt", "s16"},
      {"vhook", "-w 4 -c 255"},
      {"intra_matrix",
       "8,16,19,22,26,27,29,34,16,16,22,24,27,29,34,37,19,22,26,27,29,34,34,38,22,22,26,27,29,34,"
       "37,40,22,26,27,29,32,35,40,48,26,27,29,32,35,40,48,58,26,27,29,34,38,46,56,69,27,29,35,38,"
       "46,56,69,83"},
      {"inter_matrix",
       "16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,"
       "16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,16,"
       "16,16,16,16"},
      {"absf", "mp3_header_compress"},
      {"vbsf", "h264_mp4toannexb"},
      {"newvideo", ""},
      {"newaudio", ""},
      {"rc_override", "0,100,2/101,200,-1"},
      {"tvstd", "pal"},
  };
  if (auto It = ByName.find(Def.Name); It != ByName.end()) return It->second;
  switch (Def.Kind) {
    case TOptionKind::Time:
      return "00:00:01.500";
    case TOptionKind::Decimal:
      return "0.5";
    case TOptionKind::Integer:
    case TOptionKind::GuardedInteger:
    case TOptionKind::Int64:
      return "2";
    case TOptionKind::Text:
    case TOptionKind::LibraryText:
      return "text";
    default:
      return "1";
  }
}

void WriteSeed(const fs::path& Dir, const std::string& Name, const std::string& Text) {
  std::ofstream(Dir / Name, std::ios::binary) << Text;
}

void WriteSeeds(const fs::path& Dir) {
  fs::create_directories(Dir);
  std::string All;
  for (const TCustomFFmpeg::TOptionDef& Def : TCustomFFmpeg::OptionTable()) {
    const std::string Line = std::string(Def.Name) + "=" + TypicalValue(Def) + "\n";
    WriteSeed(Dir, std::string("option-") + Def.Name, Line);
    All += Line;
  }
  WriteSeed(Dir, "all-options", All);
  // Names of the generic path (codec, format and scaler options).
  WriteSeed(Dir, "generic",
            "g=12\nbf=2\nflags=+qscale\nsws_flags=bicubic\nvideo_size=32x24\n"
            "ab=64k\nar=22050\nac=1\nthreads=2\n");
  WriteSeed(Dir, "ext-options",
            "#\n s=32x24 \r\nr=10\r\n\naspect=4:3\nt=0.2\nvcodec=mpeg4\n"
            "hqdn3d\n=\n");
  WriteSeed(Dir, "times",
            "t=1:02:03.5\nss=-1\nitsoffset=3.25\ntimestamp=now\n"
            "timestamp=2020-01-02 03:04:05\nt=9999999999999\n");
  WriteSeed(Dir, "sizes",
            "s=qcif\ns=0x0\ns=-2x-2\naspect=1.7777\naspect=0:0\n"
            "croptop=2\npadleft=4\npadcolor=zz\n");
  WriteSeed(Dir, "presets", "target=ntsc-vcd\ntarget=film-svcd\ntarget=dvd\ntarget=nonsense\n");
  WriteSeed(Dir, "maps", "map=0:1\nmap=0.0:1.1\nmap=-1\nmap_meta_data=1:0\nmap=0:0:0\n");
  WriteSeed(Dir, "hooks", "vhook=-w 4\nvhook='quoted words' here\nvhook=\n");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (const char* Seeds = std::getenv("VEXAV_FUZZ_WRITE_SEEDS"); Seeds && *Seeds) {
    WriteSeeds(Seeds);
    std::exit(0);
  }
  if (!LoadFFmpegLibs("", true)) {
    std::fprintf(stderr, "cannot load the media libraries: %s\n", LastLoadError().c_str());
    std::abort();
  }
  // Refusals come by the thousand, and an option ("v") may raise the
  // library's log level again: its lines go nowhere.
  ff::av_log_set_callback([](void*, int, const char*, va_list) {});
  return 0;
}

namespace {

void SetEach(TCustomFFmpeg& Engine, std::string_view Text) {
  while (!Text.empty()) {
    const std::size_t End = Text.find('\n');
    const std::string_view Line = Text.substr(0, End);
    Text = End == std::string_view::npos ? std::string_view() : Text.substr(End + 1);
    const std::size_t Eq = Line.find('=');
    const std::string Name(Line.substr(0, Eq));
    std::string Value(Eq == std::string_view::npos ? std::string_view() : Line.substr(Eq + 1));
    if (Name == "vhook") Value = std::string(kMissingHook) + " " + Value;
    try {
      Engine.SetOption(Name, Value);
    } catch (const std::exception&) {
      // A refused option: the engine said why; the next one goes on.
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  const std::string_view Text(reinterpret_cast<const char*>(Data), Size);
  if (!Text.empty() && Text.front() == '#') {
    std::string Free(Text.substr(1));
    for (std::size_t At = Free.find("vhook"); At != std::string::npos; At = Free.find("vhook", At))
      Free[At] = 'V';
    TFFmpeg Task;
    Task.InitOptions();
    Task.SetVerbose(-1);
    try {
      Task.ApplyExtOptions(Free);
    } catch (const std::exception&) {
    }
    Task.SetOption("t", "1");
    return 0;
  }
  TCustomFFmpeg Engine;
  Engine.InitOptions();
  Engine.SetVerbose(-1);
  SetEach(Engine, Text);
  // Still usable: a plain option is taken after whatever came before.
  Engine.SetOption("t", "1");
  return 0;
}
