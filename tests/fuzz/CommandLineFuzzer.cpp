// libFuzzer target: the arguments of vexav-convert. The bytes are an argument
// vector, the arguments separated by NUL bytes. They are parsed as the
// program parses its command line, and what the program does next before
// any conversion is done here too: the help text, and the settings the run
// would use. Any vector must give a command line or an error text; a
// well-formed one keeps its invariants.
//
// VEXAV_FUZZ_WRITE_SEEDS=DIR writes the seed inputs into DIR and exits: one
// vector per option of the table, and vectors of each mode.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "cli/CommandLine.h"

namespace {

using namespace vexav::cli;
namespace fs = std::filesystem;

void WriteSeed(const fs::path& Dir, const std::string& Name, const std::vector<std::string>& Args) {
  std::string Bytes;
  for (std::size_t I = 0; I < Args.size(); ++I) {
    if (I > 0) Bytes += '\0';
    Bytes += Args[I];
  }
  std::ofstream(Dir / Name, std::ios::binary) << Bytes;
}

void WriteSeeds(const fs::path& Dir) {
  fs::create_directories(Dir);
  for (const OptionDef& O : Options()) {
    std::vector<std::string> Args{std::string("--") + O.LongName};
    if (O.ValueName) Args.push_back("2");
    Args.push_back("in.avi");
    WriteSeed(Dir, std::string("long-") + O.LongName, Args);
    if (O.ShortName) {
      Args[0] = std::string("-") + O.ShortName;
      WriteSeed(Dir, std::string("short-") + O.LongName, Args);
    }
  }
  WriteSeed(Dir, "explicit", {"--output", "out.mp4", "-s", "320x240", "--", "in.avi"});
  WriteSeed(Dir, "explicit-eq", {"--output=out.mp4", "--overwrite", "in.avi", "vcodec=mpeg4"});
  WriteSeed(Dir, "default", {"--jobs=2", "--output-dir", "/tmp/x", "--json", "a.avi", "b.wav"});
  WriteSeed(Dir, "probe", {"--probe", "a.avi", "-v"});
  WriteSeed(Dir, "cluster",
            {"--cluster", "slurm", "--partition", "p", "--retries", "2", "--slurm-option",
             "--time=5", "--detach", "a.avi"});
  WriteSeed(Dir, "status", {"--cluster-status", "/tmp/job", "--wait"});
  WriteSeed(Dir, "mixed", {"--help", "--version", "--probe", "--output", "o", "a", "b"});
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (const char* Seeds = std::getenv("VEXAV_FUZZ_WRITE_SEEDS"); Seeds && *Seeds) {
    WriteSeeds(Seeds);
    std::exit(0);
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  std::vector<std::string> Args;
  if (Size > 0) {
    const char* Text = reinterpret_cast<const char*>(Data);
    std::size_t Start = 0;
    for (std::size_t I = 0; I <= Size; ++I) {
      if (I == Size || Text[I] == '\0') {
        Args.emplace_back(Text + Start, I - Start);
        Start = I + 1;
      }
    }
  }
  const ParseResult Parsed = ParseCommandLine(Args);
  if (!Parsed.Error.empty()) return 0;
  const CommandLine& Line = Parsed.Line;
  if (Line.Help && UsageText("vexav-convert").empty()) std::abort();
  // What a well-formed command line promises to the modes that run it.
  if (Line.Jobs < 1) std::abort();
  const int Threads = Line.EffectiveCodecThreads();
  if (Threads < 0 || Threads > 64) std::abort();
  if (Line.Explicit() && Line.Files.size() > 1) std::abort();
  return 0;
}
