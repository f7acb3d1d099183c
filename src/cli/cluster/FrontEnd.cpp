#include "cli/cluster/FrontEnd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "cli/OutputFiles.h"
#include "cli/ProbeCommand.h"
#include "cli/cluster/BatchMonitor.h"
#include "cli/cluster/JobFolder.h"
#include "cli/cluster/Slurm.h"
#include "cli/segments/SegmentJoin.h"
#include "cli/segments/SourcePlan.h"
#include "component/OutputNaming.h"
#include "component/Presets.h"

namespace vexav::cli::cluster {
namespace {

namespace fs = std::filesystem;
constexpr const char* ProgramName = "vexav-convert";
// --segments auto on a cluster: the nodes are not counted from here, so the
// segments are as many as their minimum length allows (up to --segments'
// own limit).
constexpr int ClusterWorkers = 1000;

void PrintLine(std::FILE* File, const std::string& Text) {
  std::fputs((Text + "\n").c_str(), File);
  std::fflush(File);
}

std::string Absolute(const std::string& Path) {
  std::error_code Error;
  const fs::path Made = fs::absolute(Path, Error);
  return Error ? Path : Made.lexically_normal().string();
}

// Quoted for sh: inside single quotes, each single quote closes, is escaped
// and reopens.
std::string ShellQuoted(const std::string& Text) {
  std::string Quoted = "'";
  for (char C : Text) Quoted += C == '\'' ? std::string("'\\''") : std::string(1, C);
  return Quoted + "'";
}

std::string OwnExecutable() {
  std::error_code Error;
  const fs::path Path = fs::read_symlink("/proc/self/exe", Error);
  return Error ? std::string() : Path.string();
}

// The checks that can be made from here: the program the nodes run, each
// source readable. The folders shared with the nodes cannot be checked from
// this machine; the front end says what it assumes.
bool CheckProgram(const CommandLine& Line, std::string& Program, const ConvertEnvironment& Env) {
  if (Line.ClusterProgram.empty()) {
    Program = OwnExecutable();
    if (Program.empty() || ::access(Program.c_str(), X_OK) != 0) {
      PrintLine(Env.Err, std::string(ProgramName) +
                             ": cannot tell this program's own path; "
                             "name it with --cluster-program");
      return false;
    }
    return true;
  }
  Program = Line.ClusterProgram;
  struct stat Info;
  if (::stat(Program.c_str(), &Info) == 0 &&
      (!S_ISREG(Info.st_mode) || ::access(Program.c_str(), X_OK) != 0)) {
    PrintLine(Env.Err, std::string(ProgramName) + ": " + Program + ": not an executable program");
    return false;
  }
  return true;
}

std::string SourceProblem(const std::string& Source) {
  struct stat Info;
  if (::stat(Source.c_str(), &Info) != 0) return std::strerror(errno);
  if (!S_ISREG(Info.st_mode)) return "not a regular file";
  const int Fd = ::open(Source.c_str(), O_RDONLY | O_CLOEXEC);
  if (Fd < 0) return std::strerror(errno);
  ::close(Fd);
  return std::string();
}

bool WriteScript(const Manifest& M, std::string& Error) {
  const std::string Path = ScriptPath(M.Folder);
  std::ofstream Out(Path, std::ios::trunc);
  Out << "#!/bin/sh\n"
         "# One task of a vexav-convert batch (a file, or a piece of one): the array\n"
         "# task's index picks it.\n"
      << "exec " << ShellQuoted(M.Program) << " --cluster-task " << ShellQuoted(M.Folder) << "\n";
  Out.close();
  if (!Out || ::chmod(Path.c_str(), 0755) != 0) {
    Error = Path + ": cannot be written";
    return false;
  }
  return true;
}

// With --segments: looks at the source as the local default mode does and,
// when it is to be converted in segments, plans its pieces into a work
// folder beside its output (kept in Folders until the batch is submitted).
// False with Error when the file cannot be converted at all.
bool PlanSegments(const CommandLine& Line, const ConvertEnvironment& Env, PlannedFile& File,
                  const std::string& Given, std::vector<segments::WorkFolder>& Folders,
                  std::string& Error) {
  TAVProbe Probe;
  if (!Probe.Open(File.Source)) {
    Error = Probe.LastError();
    return false;
  }
  segments::SourcePlan Source;
  if (!segments::PlanSource(Probe, File.Source, Source, Error)) return false;
  // A picture the preset changes (an odd size): the log says how, once for
  // all its pieces.
  if (Source.Facts.VideoStreams > 0) {
    const output::TFormatPreset& Preset = output::kFormats[output::kDefaultFormatIndex];
    const std::string Note =
        output::FitPicture(&Preset, Source.Facts.Video.Width, Source.Facts.Video.Height).Note;
    if (!Note.empty()) PrintLine(Env.Err, SourceLogLine(File.Source, Note));
  }
  if (Source.Facts.VideoStreams > 0 && Source.DurationUs <= 0)
    PrintLine(Env.Err,
              FileMessage(Given, "its duration is not known; it is converted in one piece"));
  const int Count = segments::SegmentCountFor(Line.Segments, Source, ClusterWorkers);
  if (Count < 2) return true;
  segments::SegmentPlan Plan = segments::PlanSegments(File.Source, Source, Count, Error);
  segments::WorkFolder Folder;
  if (Plan.Pieces.empty() || !Folder.Make(File.Plan.Final, Error)) return false;
  // The tasks on other machines write into it.
  ::chmod(Folder.Path().c_str(), 0755);
  File.WorkFolder = Folder.Path();
  File.DurationUs = Source.DurationUs;
  File.Segments = std::move(Plan);
  Folders.push_back(std::move(Folder));
  return true;
}

// Makes the output folder, checks each source and reserves its output name
// as the default mode does (and with --segments plans its pieces); a file
// that cannot be planned is reported and left out (Status becomes
// ExitFailed). False when nothing can be planned at all.
bool PlanFiles(const CommandLine& Line, const ConvertEnvironment& Env, Manifest& M,
               std::vector<segments::WorkFolder>& Folders, int& Status) {
  std::string OutputFolder = Line.OutputDir.empty() ? std::string(".") : Line.OutputDir;
  if (!Line.OutputDir.empty()) {
    std::error_code Error;
    fs::create_directories(Line.OutputDir, Error);
    if (Error || !fs::is_directory(Line.OutputDir)) {
      PrintLine(Env.Err, FileMessage(Line.OutputDir,
                                     "cannot make the output folder: " +
                                         (Error ? Error.message() : std::string("not a folder"))));
      Status = ExitFailed;
      return false;
    }
  }
  OutputFolder = Absolute(OutputFolder);

  const output::TFormatPreset& Preset = output::kFormats[output::kDefaultFormatIndex];
  const std::string Ext = output::FormatExtension(Preset.ItemText);
  const std::string Label = output::FormatLabel(Preset.ItemText);
  for (const std::string& Given : Line.Files) {
    const std::string Source = Absolute(Given);
    if (const std::string Problem = SourceProblem(Source); !Problem.empty()) {
      PrintLine(Env.Err, FileMessage(Given, Problem));
      Status = ExitFailed;
      continue;
    }
    const std::string Name = Line.SameFolder ? Source : output::PathInFolder(OutputFolder, Source);
    PlannedFile File;
    File.Source = Source;
    std::string Error;
    if (!PlanDefaultOutput(Name, Ext, Label, Line.Overwrite, File.Plan, Error)) {
      PrintLine(Env.Err, FileMessage(Given, Error));
      Status = ExitFailed;
      continue;
    }
    if (Line.Segments != 0 && !PlanSegments(Line, Env, File, Given, Folders, Error)) {
      DiscardOutput(File.Plan);
      PrintLine(Env.Err, FileMessage(Given, Error));
      Status = ExitFailed;
      continue;
    }
    M.Files.push_back(std::move(File));
  }
  return true;
}

}  // namespace

int RunOnCluster(const CommandLine& Line, const ConvertEnvironment& Env) {
  if (FindInPath("sbatch").empty()) {
    PrintLine(Env.Err, std::string(ProgramName) +
                           ": sbatch is not in PATH: --cluster slurm submits from a machine "
                           "where Slurm's commands are installed");
    return ExitFailed;
  }
  std::string Program;
  if (!CheckProgram(Line, Program, Env)) return ExitFailed;

  int Status = ExitOk;
  Manifest M;
  M.Program = Program;
  M.CpusPerTask = Line.CpusPerTask;
  M.Retries = Line.Retries;
  M.Partition = Line.Partition;
  M.SlurmOptions = Line.SlurmOptions;
  // The segmented files' work folders: removed unless the batch is submitted.
  std::vector<segments::WorkFolder> Folders;
  if (!PlanFiles(Line, Env, M, Folders, Status)) return Status;
  if (M.Files.empty()) return Status;
  M.Tasks = TasksOfFiles(M.Files);
  auto DiscardAll = [&] {
    for (const PlannedFile& File : M.Files) DiscardOutput(File.Plan);
  };

  // The job folder lies beside the outputs (with --same-folder, beside the
  // first one), on the file system the nodes share.
  const std::string JobParent = fs::path(M.Files.front().Plan.Final).parent_path().string();
  std::string Template = JobParent + "/.vexav-job-XXXXXX";
  if (!::mkdtemp(Template.data())) {
    PrintLine(Env.Err, FileMessage(JobParent, std::string("cannot make the job folder: ") +
                                                  std::strerror(errno)));
    DiscardAll();
    return ExitFailed;
  }
  M.Folder = Template;
  ::chmod(M.Folder.c_str(), 0755);
  M.JobName = "vexav-" + M.Folder.substr(M.Folder.size() - 6);
  std::string Error;
  if (!WriteScript(M, Error) || !SaveManifest(M, Error)) {
    PrintLine(Env.Err, std::string(ProgramName) + ": " + Error);
    DiscardAll();
    RemoveJobFolder(M.Folder);
    return ExitFailed;
  }
  SubmitRequest Request;
  Request.Script = ScriptPath(M.Folder);
  Request.JobName = M.JobName;
  Request.Array = "0-" + std::to_string(M.Tasks.size() - 1);
  Request.LogPattern = SlurmLogPattern(M.Folder);
  Request.WorkFolder = M.Folder;
  Request.CpusPerTask = M.CpusPerTask;
  Request.Partition = M.Partition;
  Request.ExtraOptions = M.SlurmOptions;
  std::optional<std::string> JobId = Submit(Request, Error);
  if (!JobId) {
    PrintLine(Env.Err, std::string(ProgramName) + ": the batch was not submitted: " + Error);
    DiscardAll();
    RemoveJobFolder(M.Folder);
    return ExitFailed;
  }
  for (std::size_t I = 0; I < M.Tasks.size(); ++I)
    M.Tasks[I].JobId = *JobId + "_" + std::to_string(I);
  if (!SaveManifest(M, Error)) {
    std::string Ignored;
    Cancel({*JobId}, Ignored);
    PrintLine(Env.Err, std::string(ProgramName) + ": " + Error);
    DiscardAll();
    RemoveJobFolder(M.Folder);
    return ExitFailed;
  }
  // The tasks own the work folders now; whoever follows the batch removes them.
  for (segments::WorkFolder& Folder : Folders) Folder.Release();
  const std::string Tasks = M.Tasks.size() == M.Files.size()
                                ? std::string()
                                : " in " + std::to_string(M.Tasks.size()) + " tasks";
  PrintLine(Env.Err, std::string(ProgramName) + ": submitted job " + *JobId + " (" +
                         std::to_string(M.Files.size()) +
                         (M.Files.size() == 1 ? " file" : " files") + Tasks + "; job folder " +
                         M.Folder + "). Assumed: every node sees the sources, " + JobParent +
                         " and " + M.Program + " at these paths.");
  if (Line.Detach) {
    PrintLine(Env.Out, *JobId);
    PrintLine(Env.Out, M.Folder);
    PrintLine(Env.Err, std::string(ProgramName) + ": follow it with: " + ProgramName +
                           " --cluster-status " + ShellQuoted(M.Folder) + " --wait");
    return Status;
  }
  const int Outcome = MonitorBatch(M, Env, true, true);
  return Outcome != ExitOk ? Outcome : Status;
}

int RunClusterStatus(const CommandLine& Line, const ConvertEnvironment& Env) {
  std::string Error;
  std::optional<Manifest> M = LoadManifest(Absolute(Line.ClusterStatus), Error);
  if (!M) {
    PrintLine(Env.Err, std::string(ProgramName) + ": " + Error);
    return ExitFailed;
  }
  // Ctrl-C while following a detached batch only stops following it.
  return MonitorBatch(*M, Env, Line.Wait, false);
}

}  // namespace vexav::cli::cluster
