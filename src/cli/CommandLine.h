// The command line of vexav-convert: one table of options from which both
// the parsing and the --help text come.
#pragma once

#include <algorithm>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "batch/segments/SourcePlan.h"

namespace vexav::cli {

// One engine option given on the command line as NAME=VALUE (or NAME alone,
// with an empty value).
struct EngineOptionArg {
  std::string Name;
  std::string Value;
  bool operator==(const EngineOptionArg&) const = default;
};

// What the command line asks for. Three modes: probing (--probe), explicit
// conversion (--output OUT with engine options, one FILE), and the default
// conversion of every FILE with a preset (the MPEG-4 one by default).
struct CommandLine {
  bool Help = false;
  bool Version = false;
  bool Probe = false;
  bool Verbose = false;
  // Explicit mode: the output file, and the engine options applied before
  // the input is opened and after it, each in command-line order.
  std::string Output;
  std::vector<EngineOptionArg> InputOptions;
  std::vector<EngineOptionArg> OutputOptions;
  // An existing output may be replaced (explicit mode: OUT; default mode:
  // the plain name, without a counter). The old file goes only once the
  // conversion has succeeded.
  bool Overwrite = false;
  // Default mode: the folder the outputs go to (empty: the current
  // directory), or beside each source.
  std::string OutputDir;
  bool SameFolder = false;
  // Default mode: how many files are converted at once (at least 1), and
  // the converter's log lines shown on standard error ("quiet" shows none).
  int Jobs = 1;
  bool JobsGiven = false;
  std::string LogLevel = "quiet";
  // Threads of each decoder and encoder: 0 automatic (the libraries choose
  // from the processor cores), 1 to 64 that many; -1 when not given, which
  // means automatic when one file is converted at a time (--jobs 1, and the
  // explicit mode) and 1 when several are.
  int CodecThreads = -1;
  // Print where each conversion's time went, a line per file on standard
  // error.
  bool Timings = false;
  // Default mode: a file with more sources, one path a line ("-": standard
  // input), read in addition to the FILE arguments.
  std::string FromList;
  // Progress and results as one JSON object a line on standard output
  // instead of the progress display and the plain output paths.
  bool Json = false;

  // Default mode: convert each file's picture as this many time segments
  // that run apart and are joined (--segments N|auto): 0 not at all, -1
  // "auto" (a count from the duration and the jobs), 2 or more that many.
  int Segments = 0;

  // The jobs the run uses: Jobs, or with segments and no --jobs, one per
  // processor core.
  int EffectiveJobs() const;
  // The codec threads of a file converted whole: CodecThreads, or its
  // default for the jobs given, as without --segments (a file that stays
  // whole runs exactly as it would without the option).
  int EffectiveCodecThreads() const {
    return CodecThreads >= 0 ? CodecThreads : (std::max(Jobs, 1) > 1 ? 1 : 0);
  }
  // Segments are encoded on one thread each, so that a segment's bytes do
  // not depend on where or beside what it ran.
  static constexpr int SegmentCodecThreads = 1;
  std::vector<std::string> Files;

  // Default mode: the row of the format table every file is converted with
  // (--preset NAME), and the size limit (--max-height N; 0: the source's
  // size). --list-presets prints the table instead of converting.
  int Format = output::kDefaultFormatIndex;
  int MaxHeight = 0;
  bool ListPresets = false;
  batch::segments::PresetChoice PresetChoice() const { return {Format, MaxHeight}; }

  // Default mode on a Slurm cluster (--cluster slurm): the batch becomes one
  // job array, a task per file (cli/cluster/).
  std::string Cluster;
  std::string Partition;
  std::vector<std::string> SlurmOptions;  // passed to sbatch as they are
  std::string ClusterProgram;             // the program's path on the nodes
  int CpusPerTask = 1;
  int Retries = 0;
  bool Detach = false;
  // --cluster-status JOBFOLDER [--wait]: a detached batch's progress.
  std::string ClusterStatus;
  bool Wait = false;
  // --cluster-task JOBFOLDER: what each array task runs on its node.
  std::string ClusterTask;

  bool OnCluster() const { return !Cluster.empty(); }
  bool Explicit() const { return !Output.empty(); }
};

struct OptionDef {
  const char* LongName;   // used as --LongName
  char ShortName;         // used as -ShortName; 0 when there is none
  const char* ValueName;  // the value's name in the help; nullptr for a switch
  const char* Help;
  // Stores the option in Line; returns an error text, or an empty one.
  std::string (*Apply)(CommandLine& Line, const std::string& Value);
};

std::span<const OptionDef> Options();

struct ParseResult {
  CommandLine Line;
  std::string Error;  // empty when the command line is well-formed
};

// Reads Args (without the program's name). Options and files may be mixed;
// "--" ends the options. A value follows its option as the next argument or,
// for a long name, after "=". Options that cannot go together (modes mixed,
// --output with several files, ...) make an error; a missing FILE does not
// (the caller decides, after --help and --version).
ParseResult ParseCommandLine(const std::vector<std::string>& Args);

// The --list-presets text: a line per preset, its label, a tab and its
// description, and a tab and Unavailable's reason where that gives one.
std::string PresetListText(const std::function<std::string(const output::TFormatPreset&)>& Unavailable);

// The --help text, ending with a line break.
std::string UsageText(const std::string& ProgramName);

}  // namespace vexav::cli
