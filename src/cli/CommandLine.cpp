#include "cli/CommandLine.h"

#include <algorithm>
#include <thread>

namespace vexav::cli {
namespace {

// Reads NAME=VALUE (split at the first "="; NAME alone gives an empty value)
// into List.
std::string AddEngineOption(std::vector<EngineOptionArg>& List, const char* Option,
                            const std::string& Text) {
  const std::size_t Equals = Text.find('=');
  EngineOptionArg Arg{Text.substr(0, Equals),
                      Equals == std::string::npos ? std::string() : Text.substr(Equals + 1)};
  if (Arg.Name.empty())
    return std::string("option '--") + Option + "' needs NAME=VALUE, not '" + Text + "'";
  List.push_back(std::move(Arg));
  return std::string();
}

// "A, B and C": the labels of the format table.
std::string PresetNames() {
  std::string Text;
  for (std::size_t I = 0; I < output::kFormats.size(); ++I) {
    if (I > 0) Text.append(I + 1 == output::kFormats.size() ? " and " : ", ");
    Text.append(1, '\'');
    Text.append(output::FormatLabel(output::kFormats[I].ItemText));
    Text.append(1, '\'');
  }
  return Text;
}

const OptionDef OptionTable[] = {
    {"preset", 0, "NAME",
     "convert with the preset NAME (letter case does not matter; --list-presets lists them): "
     "MPEG-4 Video (the default), MPEG-4 Video HQ, HEVC Video, WebM Video, AV1 Video or M4A "
     "Audio; its name goes into the output's, as 'clip (HEVC Video).mp4'",
     [](CommandLine& L, const std::string& V) {
       const output::TFormatPreset* Found = output::FindFormatByLabel(V);
       if (!Found) return "unknown preset '" + V + "'; the presets are " + PresetNames();
       L.Format = static_cast<int>(Found - output::kFormats.data());
       return std::string();
     }},
    {"max-height", 0, "N",
     "make pictures of more than N lines (144 to 4320) N lines high, keeping their display "
     "aspect ratio (both sides even); smaller ones keep their size (default: every picture "
     "keeps its size)",
     [](CommandLine& L, const std::string& V) {
       const std::string Error = "option '--max-height' needs a number from " +
                                 std::to_string(output::kMinMaxHeight) + " to " +
                                 std::to_string(output::kMaxMaxHeight);
       int N = 0;
       for (char C : V) {
         if (C < '0' || C > '9' || N > output::kMaxMaxHeight) return Error;
         N = N * 10 + (C - '0');
       }
       if (V.empty() || N < output::kMinMaxHeight || N > output::kMaxMaxHeight) return Error;
       L.MaxHeight = N;
       return std::string();
     }},
    {"list-presets", 0, nullptr,
     "list the presets, a line each: the name, a tab and what it makes (and a tab and why it "
     "is unavailable, where the media libraries lack its encoder), and exit",
     [](CommandLine& L, const std::string&) {
       L.ListPresets = true;
       return std::string();
     }},
    {"output-dir", 'd', "DIR",
     "write the outputs into DIR (made, with its parents, when missing) instead of the "
     "current directory",
     [](CommandLine& L, const std::string& V) {
       if (V.empty()) return std::string("option '--output-dir' needs a folder");
       L.OutputDir = V;
       return std::string();
     }},
    {"same-folder", 0, nullptr, "write each output beside its source",
     [](CommandLine& L, const std::string&) {
       L.SameFolder = true;
       return std::string();
     }},
    {"jobs", 'j', "N", "convert N files at once (default 1); more jobs use more processor cores",
     [](CommandLine& L, const std::string& V) {
       int N = 0;
       for (char C : V) {
         if (C < '0' || C > '9' || N > 1000)
           return std::string("option '--jobs' needs a number from 1");
         N = N * 10 + (C - '0');
       }
       if (V.empty() || N < 1) return std::string("option '--jobs' needs a number from 1");
       L.Jobs = N;
       L.JobsGiven = true;
       return std::string();
     }},
    {"segments", 0, "N|auto",
     "convert each file's picture as N time segments (2 to 1000) that run as jobs of their "
     "own (or as tasks of the cluster), its sound in as many pieces, and join them into the "
     "output; auto picks the count from the duration and the jobs (segments of at least 2 "
     "minutes; a shorter file stays whole), on a cluster from the CPUs of its partition "
     "(segments of at least 20 s). Each segment uses one codec thread; --jobs "
     "defaults to the processor cores",
     [](CommandLine& L, const std::string& V) {
       const std::string Error = "option '--segments' needs auto or a number from 2 to 1000";
       if (V == "auto") {
         L.Segments = -1;
         return std::string();
       }
       int N = 0;
       for (char C : V) {
         if (C < '0' || C > '9' || N > 1000) return Error;
         N = N * 10 + (C - '0');
       }
       if (V.empty() || N < 2 || N > 1000) return Error;
       L.Segments = N;
       return std::string();
     }},
    {"codec-threads", 0, "N",
     "threads of each decoder and encoder: 0 or auto lets the libraries choose from the "
     "processor cores, 1 to 64 that many (default: automatic with one job at a time, 1 "
     "with several jobs, which already keep the cores busy)",
     [](CommandLine& L, const std::string& V) {
       const std::string Error = "option '--codec-threads' needs auto or a number from 0 to 64";
       if (V == "auto") {
         L.CodecThreads = 0;
         return std::string();
       }
       int N = 0;
       for (char C : V) {
         if (C < '0' || C > '9' || N > 64) return Error;
         N = N * 10 + (C - '0');
       }
       if (V.empty() || N > 64) return Error;
       L.CodecThreads = N;
       return std::string();
     }},
    {"timings", 0, nullptr,
     "print where each conversion's time went on standard error, a line per file: "
     "milliseconds in decoding, scaling, encoding, resampling, muxing and in the engine "
     "itself, and the engine's share of the process's CPU time",
     [](CommandLine& L, const std::string&) {
       L.Timings = true;
       return std::string();
     }},
    {"log-level", 0, "LEVEL",
     "show the converter's log lines on standard error, each tagged with its file: "
     "quiet (the default), error, info, debug or all",
     [](CommandLine& L, const std::string& V) {
       if (V != "quiet" && V != "error" && V != "info" && V != "debug" && V != "all")
         return std::string("option '--log-level' needs quiet, error, info, debug or all");
       L.LogLevel = V;
       return std::string();
     }},
    {"from-list", 0, "LIST",
     "also convert the files (or folders) named in the file LIST, one path a line; - "
     "reads the list from standard input",
     [](CommandLine& L, const std::string& V) {
       if (V.empty()) return std::string("option '--from-list' needs a file name (or -)");
       L.FromList = V;
       return std::string();
     }},
    {"json", 0, nullptr,
     "report progress and results as one JSON object a line on standard output (file, "
     "percent, frame, fps, elapsed, eta, output, status, error) instead of the progress "
     "display",
     [](CommandLine& L, const std::string&) {
       L.Json = true;
       return std::string();
     }},
    {"output", 'o', "OUT",
     "explicit mode: convert the one FILE into OUT (an existing OUT is an error unless "
     "--overwrite is given) with only the engine options given; the container follows "
     "OUT's extension",
     [](CommandLine& L, const std::string& V) {
       if (V.empty()) return std::string("option '--output' needs a file name");
       if (!L.Output.empty()) return std::string("option '--output' given twice");
       L.Output = V;
       return std::string();
     }},
    {"overwrite", 0, nullptr,
     "replace an existing output: OUT with --output, otherwise the plain name without a "
     "counter; the old file is replaced only once the conversion has succeeded",
     [](CommandLine& L, const std::string&) {
       L.Overwrite = true;
       return std::string();
     }},
    {"input-option", 0, "NAME=VALUE",
     "explicit mode: an engine option applied before FILE is opened (for example "
     "ss=5 or f=avi); repeat it for more, they apply in order",
     [](CommandLine& L, const std::string& V) {
       return AddEngineOption(L.InputOptions, "input-option", V);
     }},
    {"option", 0, "NAME=VALUE",
     "explicit mode: an engine option for the output, applied after FILE is opened (for "
     "example vcodec=copy, s=640x480, t=10); repeat it for more, they apply in order; "
     "NAME alone sets a switch such as vn",
     [](CommandLine& L, const std::string& V) {
       return AddEngineOption(L.OutputOptions, "option", V);
     }},
    {"probe", 0, nullptr,
     "tell what each FILE holds instead of converting it: one JSON object a line on "
     "standard output",
     [](CommandLine& L, const std::string&) {
       L.Probe = true;
       return std::string();
     }},
    {"verbose", 'v', nullptr,
     "let the engine's and the media libraries' own messages through to standard error",
     [](CommandLine& L, const std::string&) {
       L.Verbose = true;
       return std::string();
     }},
    {"cluster", 0, "slurm",
     "convert the batch on a Slurm cluster: job arrays (one unless the batch is past the "
     "cluster's MaxArraySize), one task per file, each running "
     "this program on a node; sources, outputs and the program must be seen at the same "
     "paths on every node",
     [](CommandLine& L, const std::string& V) {
       if (V != "slurm") return std::string("option '--cluster' knows only 'slurm'");
       L.Cluster = V;
       return std::string();
     }},
    {"partition", 0, "NAME", "with --cluster: the Slurm partition the tasks run in",
     [](CommandLine& L, const std::string& V) {
       if (V.empty()) return std::string("option '--partition' needs a name");
       L.Partition = V;
       return std::string();
     }},
    {"slurm-option", 0, "OPT",
     "with --cluster: an option passed to sbatch as it is (for example --time=30 or "
     "--mem=2G); repeat it for more",
     [](CommandLine& L, const std::string& V) {
       if (V.empty()) return std::string("option '--slurm-option' needs a value");
       L.SlurmOptions.push_back(V);
       return std::string();
     }},
    {"cpus-per-task", 0, "N",
     "with --cluster: the CPUs Slurm gives each task, which its codecs use as threads "
     "(default 1)",
     [](CommandLine& L, const std::string& V) {
       int N = 0;
       for (char C : V) {
         if (C < '0' || C > '9' || N > 1000)
           return std::string("option '--cpus-per-task' needs a number from 1 to 256");
         N = N * 10 + (C - '0');
       }
       if (V.empty() || N < 1 || N > 256)
         return std::string("option '--cpus-per-task' needs a number from 1 to 256");
       L.CpusPerTask = N;
       return std::string();
     }},
    {"cluster-program", 0, "PATH",
     "with --cluster: this program's path on the nodes, when it is not the same as here",
     [](CommandLine& L, const std::string& V) {
       if (V.empty() || V[0] != '/')
         return std::string("option '--cluster-program' needs an absolute path");
       L.ClusterProgram = V;
       return std::string();
     }},
    {"retries", 0, "N",
     "with --cluster: submit a task again, up to N times, when Slurm ended it for a node "
     "failure or a preemption (default 0)",
     [](CommandLine& L, const std::string& V) {
       int N = 0;
       for (char C : V) {
         if (C < '0' || C > '9' || N > 100)
           return std::string("option '--retries' needs a number from 0 to 100");
         N = N * 10 + (C - '0');
       }
       if (V.empty() || N > 100)
         return std::string("option '--retries' needs a number from 0 to 100");
       L.Retries = N;
       return std::string();
     }},
    {"detach", 0, nullptr,
     "with --cluster: submit, print the job id and the job folder, and exit; "
     "--cluster-status shows the batch later",
     [](CommandLine& L, const std::string&) {
       L.Detach = true;
       return std::string();
     }},
    {"cluster-status", 0, "JOBFOLDER",
     "show the progress and the results of a batch submitted with --detach; the outputs "
     "are printed and the job folder removed once every task has ended",
     [](CommandLine& L, const std::string& V) {
       if (V.empty()) return std::string("option '--cluster-status' needs a job folder");
       L.ClusterStatus = V;
       return std::string();
     }},
    {"wait", 0, nullptr, "with --cluster-status: follow the batch until every task has ended",
     [](CommandLine& L, const std::string&) {
       L.Wait = true;
       return std::string();
     }},
    {"help", 'h', nullptr, "show this help and exit",
     [](CommandLine& L, const std::string&) {
       L.Help = true;
       return std::string();
     }},
    {"version", 'V', nullptr, "show the program's version and exit",
     [](CommandLine& L, const std::string&) {
       L.Version = true;
       return std::string();
     }},
};

// Options the program gives itself and users do not: left out of the help.
const OptionDef HiddenOptions[] = {
    {"cluster-task", 0, "JOBFOLDER", "",
     [](CommandLine& L, const std::string& V) {
       if (V.empty()) return std::string("option '--cluster-task' needs a job folder");
       L.ClusterTask = V;
       return std::string();
     }},
};

const OptionDef* FindLong(const std::string& Name) {
  for (const OptionDef& O : OptionTable)
    if (Name == O.LongName) return &O;
  for (const OptionDef& O : HiddenOptions)
    if (Name == O.LongName) return &O;
  return nullptr;
}

const OptionDef* FindShort(char Name) {
  for (const OptionDef& O : OptionTable)
    if (O.ShortName != 0 && O.ShortName == Name) return &O;
  return nullptr;
}

std::string Spelling(const OptionDef& O) {
  std::string Text = O.ShortName ? std::string("-") + O.ShortName + ", " : std::string("    ");
  Text += "--";
  Text += O.LongName;
  if (O.ValueName) {
    Text += ' ';
    Text += O.ValueName;
  }
  return Text;
}

// Breaks Text into lines of at most Width characters at spaces.
std::vector<std::string> Wrap(const std::string& Text, std::size_t Width) {
  std::vector<std::string> Lines;
  std::string Line;
  std::size_t Pos = 0;
  while (Pos < Text.size()) {
    std::size_t End = Text.find(' ', Pos);
    if (End == std::string::npos) End = Text.size();
    std::string Word = Text.substr(Pos, End - Pos);
    if (!Line.empty() && Line.size() + 1 + Word.size() > Width) {
      Lines.push_back(Line);
      Line.clear();
    }
    if (!Line.empty()) Line += ' ';
    Line += Word;
    Pos = End + 1;
  }
  if (!Line.empty()) Lines.push_back(Line);
  return Lines;
}

// The options of the three modes may not be mixed.
std::string CheckModes(const CommandLine& L) {
  const bool DefaultOptions = !L.OutputDir.empty() || L.SameFolder || !L.FromList.empty();
  const bool ExplicitOptions = !L.InputOptions.empty() || !L.OutputOptions.empty();
  const bool PresetOptions = L.Format != output::kDefaultFormatIndex || L.MaxHeight != 0;
  if (L.Probe && (L.Explicit() || DefaultOptions || ExplicitOptions || L.CodecThreads >= 0 ||
                  L.Timings || L.Json || PresetOptions))
    return "'--probe' does not go with the converting options";
  if (L.Explicit() && PresetOptions)
    return "'--output' converts with the engine options given; '--preset' and '--max-height' "
           "do not go with it";
  if (!L.ClusterStatus.empty() && PresetOptions)
    return "'--cluster-status' shows a batch as it was submitted; '--preset' and "
           "'--max-height' do not go with it";
  if (!L.OutputDir.empty() && L.SameFolder)
    return "'--output-dir' and '--same-folder' exclude each other";
  if (L.Explicit() && DefaultOptions)
    return "'--output' names the output itself; '--output-dir', '--same-folder' and "
           "'--from-list' do not go with it";
  if (!L.Explicit() && ExplicitOptions) return "'--option' and '--input-option' need '--output'";
  if (L.Explicit() && L.Files.size() > 1) return "'--output' takes exactly one FILE";
  const bool ClusterOptions = !L.Partition.empty() || !L.SlurmOptions.empty() ||
                              !L.ClusterProgram.empty() || L.CpusPerTask != 1 || L.Retries != 0 ||
                              L.Detach;
  if (ClusterOptions && !L.OnCluster())
    return "'--partition', '--slurm-option', '--cpus-per-task', '--cluster-program', "
           "'--retries' and '--detach' need '--cluster slurm'";
  if (L.OnCluster() && (L.Probe || L.Explicit()))
    return "'--cluster' converts in the default mode; '--probe' and '--output' do not go with it";
  if (L.OnCluster() && (L.Jobs != 1 || L.CodecThreads >= 0 || L.Timings))
    return "with '--cluster', Slurm runs the tasks: use '--cpus-per-task' instead of '--jobs', "
           "'--codec-threads' and '--timings'";
  if (L.Segments != 0 && (L.Probe || L.Explicit()))
    return "'--segments' converts in the default mode; '--probe' and '--output' do not go with it";
  if (L.Segments != 0 && L.CodecThreads >= 0)
    return "with '--segments', each segment is encoded on one codec thread; "
           "'--codec-threads' does not go with it";
  if (L.Json && L.Detach)
    return "'--detach' prints the job id and the job folder and leaves; '--json' reports a "
           "batch that is followed (give it to '--cluster-status')";
  if (L.Wait && L.ClusterStatus.empty()) return "'--wait' needs '--cluster-status'";
  if (!L.ClusterStatus.empty() && (L.OnCluster() || L.Probe || L.Explicit() || !L.Files.empty()))
    return "'--cluster-status' takes only a job folder (and '--wait')";
  return std::string();
}

}  // namespace

int CommandLine::EffectiveJobs() const {
  if (Segments != 0 && !JobsGiven) return std::max(1u, std::thread::hardware_concurrency());
  return std::max(Jobs, 1);
}

std::span<const OptionDef> Options() {
  return OptionTable;
}

ParseResult ParseCommandLine(const std::vector<std::string>& Args) {
  ParseResult Result;
  bool OptionsEnded = false;
  for (std::size_t I = 0; I < Args.size(); ++I) {
    const std::string& Arg = Args[I];
    if (OptionsEnded || Arg.size() < 2 || Arg[0] != '-') {
      Result.Line.Files.push_back(Arg);
      continue;
    }
    if (Arg == "--") {
      OptionsEnded = true;
      continue;
    }

    const OptionDef* Found;
    std::string Value;
    bool HasInlineValue = false;
    if (Arg[1] == '-') {
      std::string Name = Arg.substr(2);
      std::size_t Equals = Name.find('=');
      if (Equals != std::string::npos) {
        Value = Name.substr(Equals + 1);
        Name.resize(Equals);
        HasInlineValue = true;
      }
      Found = FindLong(Name);
    } else {
      Found = Arg.size() == 2 ? FindShort(Arg[1]) : nullptr;
    }
    if (!Found) {
      Result.Error = "unknown option '" + Arg + "'";
      return Result;
    }

    if (Found->ValueName && !HasInlineValue) {
      if (I + 1 >= Args.size()) {
        Result.Error = "option '" + Arg + "' needs a value";
        return Result;
      }
      Value = Args[++I];
    } else if (!Found->ValueName && HasInlineValue) {
      Result.Error = std::string("option '--") + Found->LongName + "' takes no value";
      return Result;
    }
    std::string Error = Found->Apply(Result.Line, Value);
    if (!Error.empty()) {
      Result.Error = Error;
      return Result;
    }
  }
  Result.Error = CheckModes(Result.Line);
  return Result;
}

std::string PresetListText(
    const std::function<std::string(const output::TFormatPreset&)>& Unavailable) {
  std::string Text;
  for (const output::TFormatPreset& Preset : output::kFormats) {
    Text += output::FormatLabel(Preset.ItemText) + "\t" + Preset.Description;
    if (const std::string Why = Unavailable(Preset); !Why.empty()) Text += "\t" + Why;
    Text += "\n";
  }
  return Text;
}

std::string UsageText(const std::string& ProgramName) {
  const std::string Indent(ProgramName.size() + 8, ' ');
  std::string Text =
      "Usage: " + ProgramName + " [--preset NAME] [--max-height N]\n" + Indent +
      "[--output-dir DIR | --same-folder] [--jobs N]\n" + Indent +
      "[--segments N|auto] [--log-level LEVEL] [--json]\n" + Indent +
      "[--from-list LIST] FILE|FOLDER...\n" + "       " + ProgramName +
      " --output OUT [--input-option NAME=VALUE]...\n" + Indent +
      "[--option NAME=VALUE]... FILE\n" + "       " + ProgramName + " --probe FILE...\n" +
      "       " + ProgramName + " --list-presets\n" +
      "       " + ProgramName + " --cluster slurm [--partition NAME] [--slurm-option OPT]...\n" +
      Indent + "[--cpus-per-task N] [--retries N] [--cluster-program PATH]\n" + Indent +
      "[--output-dir DIR | --same-folder] [--overwrite] [--detach]\n" + Indent +
      "[--preset NAME] [--max-height N] [--segments N|auto]\n" + Indent +
      "[--json] FILE|FOLDER...\n" + "       " + ProgramName +
      " --cluster-status JOBFOLDER [--wait] [--json]\n" +
      "\n"
      "By default each FILE becomes an MPEG-4 file (H.264 video at the source's size,\n"
      "29.97 frames/s, 1500 kbit/s; AAC sound, 2 channels, 44100 Hz, 64 kbit/s) named\n"
      "after it, as 'clip (MPEG-4 Video).mp4', in the current directory. A source with\n"
      "an audio extension (.mp3, .wav, ...: lower case) or without video gets a sound-\n"
      "only file. A taken name gets a counter, 'clip (MPEG-4 Video [1]).mp4': nothing\n"
      "is overwritten unless --overwrite is given. Each output's path is printed when\n"
      "it is done; a file that fails is reported and the others are still converted.\n"
      "A FOLDER stands for the media files inside it and its sub-folders; each output\n"
      "goes into the same sub-folder of the output folder. A stopped conversion keeps\n"
      "what it converted as 'clip (MPEG-4 Video) (partial).mp4'.\n"
      "\n"
      "--preset picks another format: MPEG-4 Video HQ (H.264), HEVC Video (H.265,\n"
      "tagged hvc1) and WebM Video (VP9, Opus sound) at constant quality, AV1 Video\n"
      "(SVT-AV1, Opus sound, .mkv) for the smallest files, M4A Audio for the sound\n"
      "alone. These keep the source's frame rate. --max-height N limits the picture\n"
      "to N lines. A preset whose encoder the media libraries lack is refused before\n"
      "anything is written.\n"
      "\n"
      "With --output, FILE is converted into OUT by the engine options given, named\n"
      "as the transcoder names them (vcodec, acodec, s, r, b, ab, ar, ac, t, ss, map,\n"
      "vn, an, ...); nothing else is set.\n"
      "\n"
      "With --probe, each FILE is described instead: format, streams, codecs, sizes,\n"
      "rates and durations, one JSON object a line.\n"
      "\n"
      "With --cluster slurm, the same conversion runs on a Slurm cluster as one job\n"
      "array (several past the cluster's MaxArraySize), a task per file; sources,\n"
      "outputs and this program must be seen at the same paths on every node.\n"
      "\nOptions:\n";
  std::size_t Column = 0;
  for (const OptionDef& O : OptionTable) Column = std::max(Column, Spelling(O).size());
  Column += 4;  // two spaces in front, at least two after
  for (const OptionDef& O : OptionTable) {
    std::string Head = "  " + Spelling(O);
    std::vector<std::string> Lines = Wrap(O.Help, Column < 60 ? 78 - Column : 40);
    for (std::size_t L = 0; L < Lines.size(); ++L) {
      std::string Prefix = L == 0 ? Head : std::string();
      Prefix.resize(Column, ' ');
      Text += Prefix + Lines[L] + "\n";
    }
  }
  Text +=
      "\nProgress goes to standard error: a bar per file on a terminal, otherwise a\n"
      "line at every tenth. Ctrl-C stops the conversion under way and keeps what was\n"
      "converted so far as a playable file; a second Ctrl-C quits at once.\n"
      "\nThe exit status is 0 when every file was converted (or read, with --probe),\n"
      "1 when one was not (its reason goes to standard error, the other files are\n"
      "still done), 2 when the command line is wrong, and 130 after Ctrl-C.\n";
  return Text;
}

}  // namespace vexav::cli
