// vexav-convert: the command-line face of the converter.
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "batch/EncoderBanners.h"
#include "binding/Api.h"
#include "binding/FFmpegLibs.h"
#include "binding/LibraryLoader.h"
#include "binding/LogLevels.h"
#include "cli/CommandLine.h"
#include "cli/ComponentRun.h"
#include "cli/ConvertCommand.h"
#include "cli/EngineJob.h"
#include "cli/Interrupt.h"
#include "cli/ProbeCommand.h"
#include "component/Presets.h"
#include "cli/cluster/FrontEnd.h"

namespace {

constexpr const char* ProgramName = "vexav-convert";

// The folder the running executable lies in; empty when it cannot be told.
std::string ExecutableFolder() {
  std::vector<char> Buffer(4096);
  ssize_t Length = ::readlink("/proc/self/exe", Buffer.data(), Buffer.size() - 1);
  if (Length <= 0) return std::string();
  std::string Path(Buffer.data(), static_cast<std::size_t>(Length));
  std::size_t Slash = Path.rfind('/');
  return Slash == std::string::npos ? std::string() : Path.substr(0, Slash);
}

int UsageError(const std::string& Text) {
  std::fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", ProgramName, Text.c_str(),
               ProgramName);
  return vexav::cli::ExitUsage;
}

// The width of the terminal on standard error, 80 when it cannot be told.
int TerminalColumns() {
  struct winsize Size;
  if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &Size) == 0 && Size.ws_col > 0) return Size.ws_col;
  return 80;
}

}  // namespace

int main(int argc, char* argv[]) {
  using namespace vexav;
  cli::ParseResult Parsed = cli::ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
  if (!Parsed.Error.empty()) return UsageError(Parsed.Error);
  const cli::CommandLine& Line = Parsed.Line;
  if (Line.Help) {
    std::fputs(cli::UsageText(ProgramName).c_str(), stdout);
    return 0;
  }
  if (Line.Version) {
    std::printf("%s %s\n", ProgramName, VEXAV_VERSION);
    return 0;
  }
  if (Line.ListPresets && (!Line.Files.empty() || Line.Probe || Line.Explicit() ||
                          Line.OnCluster() || !Line.ClusterStatus.empty()))
    return UsageError("--list-presets lists the presets and converts nothing");
  if (Line.OnCluster() && !Line.FromList.empty())
    return UsageError("--from-list cannot be used with --cluster (give the files)");
  if (Line.Files.empty() && Line.FromList.empty() && Line.ClusterStatus.empty() &&
      Line.ClusterTask.empty() && !Line.ListPresets)
    return UsageError("no files given");

  // lib/ beside the program, or the installed library folder (see
  // ProgramLibraryFolder); the media libraries come from the system's search
  // path unless that folder holds them.
  const std::string LibFolder = binding::ProgramLibraryFolder(ExecutableFolder());
  if (!LoadFFmpegLibs(LibFolder, true)) {
    std::fprintf(stderr, "%s: Error: Lib cannot be loaded. %s\n", ProgramName,
                 LastLoadError().c_str());
    return 1;
  }
  // The libraries' own messages would mix with the one line a failing file
  // gets; they are shown only when asked for. (A conversion's engine sets
  // the same level from its verbosity.)
  ff::av_log_set_level(LibraryLogLevel(Line.Verbose ? 1 : -1));
  batch::QuietEncoderBanners(Line.Verbose);
  RecordLogLevel();
  if (Line.Probe) return cli::RunProbe(Line.Files, stdout, stderr);
  if (Line.ListPresets) {
    std::fputs(cli::PresetListText([](const output::TFormatPreset& Preset) {
                 return output::PresetUnavailable(Preset);
               }).c_str(),
               stdout);
    return 0;
  }

  cli::ConvertEnvironment Env;
  Env.MakeJob = cli::MakeEngineJob;
  Env.Out = stdout;
  Env.Err = stderr;
  Env.Terminal = ::isatty(STDERR_FILENO) == 1;
  Env.Columns = TerminalColumns();
  Env.Verbose = Line.Verbose;
  Env.LibFolder = LibFolder;
  if (!Line.ClusterTask.empty()) return cli::cluster::RunClusterTask(Line, Env);
  batch::StopControl Stop;
  Env.Stop = &Stop;
  cli::JsonReporter Json(stdout);
  if (Line.Json) Env.Json = &Json;
  // The cluster's front end takes SIGTERM as Ctrl-C: its batch is
  // cancelled and what the tasks kept stays, instead of a batch left
  // running without anyone following it.
  cli::InterruptWatcher Watcher(Stop, stderr, Env.Terminal,
                                Line.OnCluster() || !Line.ClusterStatus.empty());
  if (!Line.ClusterStatus.empty()) return cli::cluster::RunClusterStatus(Line, Env);
  if (Line.OnCluster()) return cli::cluster::RunOnCluster(Line, Env);
  return Line.Explicit() ? cli::RunExplicit(Line, Env) : cli::RunDefaultOnComponent(Line, Env);
}
