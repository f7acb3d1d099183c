#include "cli/cluster/FrontEnd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "batch/OutputFiles.h"
#include "batch/SourceList.h"
#include "batch/cluster/BatchMonitor.h"
#include "batch/cluster/JobFolder.h"
#include "batch/cluster/Scheduler.h"
#include "batch/cluster/TaskRun.h"
#include "batch/segments/SegmentJoin.h"
#include "batch/segments/SourcePlan.h"
#include "cli/ComponentRun.h"
#include "cli/Interrupt.h"
#include "cli/JsonProgress.h"
#include "cli/ProbeCommand.h"
#include "cli/cluster/BatchOutput.h"
#include "component/OutputNaming.h"
#include "component/Presets.h"

namespace vexav::cli::cluster {

using batch::DiscardOutput;
using batch::ExpandSources;
using batch::MadeFolders;
using batch::PlanDefaultOutput;
using batch::SourceItem;
using batch::SourceLogLine;
using batch::StopControl;
namespace segments = batch::segments;

using batch::cluster::BatchCanceller;
using batch::cluster::FollowEnd;
using batch::cluster::FollowRequest;
using batch::cluster::LoadManifest;
using batch::cluster::MakeScheduler;
using batch::cluster::Manifest;
using batch::cluster::ManifestPath;
using batch::cluster::PlannedFile;
using batch::cluster::RemoveJobFolder;
using batch::cluster::RequestOf;
using batch::cluster::SaveManifest;
using batch::cluster::Scheduler;
using batch::cluster::ScriptPath;
using batch::cluster::Submission;
using batch::cluster::TasksOfFiles;

namespace {

namespace fs = std::filesystem;
constexpr const char* ProgramName = "vexav-convert";
// --segments auto on a cluster whose CPUs the scheduler does not tell: the
// segments are as many as their usual minimum length allows (up to
// --segments' own limit).
constexpr int UnknownClusterWorkers = 1000;

// How --segments auto cuts a file on the cluster: for as many tasks as the
// queue's CPUs can run at once, none shorter than MinClusterSegmentUs; or,
// when the CPUs are not known, as in the local mode.
struct AutoSplit {
  int Workers = UnknownClusterWorkers;
  int64_t MinSegmentUs = segments::MinSegmentUs;
};

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

// --json: a file that fails before its batch is submitted gets its object
// as the local mode gives it.
void JsonFailure(const ConvertEnvironment& Env, const std::string& Given,
                 const std::string& Reason) {
  if (!Env.Json) return;
  JsonRecord Record;
  Record.File = Given;
  Record.Status = "failed";
  Record.Error = OneLine(Reason);
  Env.Json->Write(Record);
}

// The job folder's folder and those the outputs go into, without those
// inside another of them (the sub-folders of a mirrored tree): what every
// node must see.
std::vector<std::string> SharedFolders(const Manifest& M, const std::string& JobParent) {
  std::vector<std::string> Folders = {JobParent};
  for (const PlannedFile& File : M.Files) {
    const std::string Folder = fs::path(File.Plan.Final).parent_path().string();
    if (std::find(Folders.begin(), Folders.end(), Folder) == Folders.end())
      Folders.push_back(Folder);
  }
  std::vector<std::string> Outer;
  for (const std::string& Folder : Folders) {
    const bool Inside = std::any_of(Folders.begin(), Folders.end(), [&](const std::string& Other) {
      return Other != Folder && Folder.compare(0, Other.size() + 1, Other + "/") == 0;
    });
    if (!Inside) Outer.push_back(Folder);
  }
  return Outer;
}

std::string Listed(const std::vector<std::string>& Items) {
  std::string Text;
  for (std::size_t I = 0; I < Items.size(); ++I)
    Text += (I == 0 ? "" : I + 1 == Items.size() ? " and " : ", ") + Items[I];
  return Text;
}

// With --segments: looks at the source as the local default mode does and,
// when it is to be converted in segments, plans its pieces into a work
// folder beside its output (kept in Folders until the batch is submitted).
// False with Error when the file cannot be converted at all.
bool PlanSegments(const CommandLine& Line, const ConvertEnvironment& Env, const AutoSplit& Split,
                  PlannedFile& File, const std::string& Given,
                  std::vector<segments::WorkFolder>& Folders, std::string& Error) {
  TAVProbe Probe;
  if (!Probe.Open(File.Source)) {
    Error = Probe.LastError();
    return false;
  }
  segments::SourcePlan Source;
  if (!segments::PlanSource(Probe, File.Source, Line.PresetChoice(), Source, Error)) return false;
  // A picture the preset changes (an odd size): the log says how, once for
  // all its pieces.
  if (!Source.Note.empty()) PrintLine(Env.Err, SourceLogLine(File.Source, Source.Note));
  if (Source.Facts.VideoStreams > 0 && Source.DurationUs <= 0)
    PrintLine(Env.Err,
              FileMessage(Given, "its duration is not known; it is converted in one piece"));
  const int Count =
      segments::SegmentCountFor(Line.Segments, Source, Split.Workers, Split.MinSegmentUs);
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

// Makes the output folder, expands each FOLDER argument into the media
// files inside it (their outputs in the same sub-folders of the output
// folder, as the local mode mirrors the tree), checks each source and
// reserves its output name as the default mode does (and with --segments
// plans its pieces); the folders made are noted in Made. A file that cannot
// be planned is reported and left out (Status becomes ExitFailed). False
// when nothing can be planned at all; OutputFolder is the top output folder.
bool PlanFiles(const CommandLine& Line, const ConvertEnvironment& Env, const AutoSplit& Split,
               Manifest& M, MadeFolders& Made, std::vector<segments::WorkFolder>& Folders,
               std::string& OutputFolder, int& Status) {
  auto Fail = [&](const std::string& Given, const std::string& Reason) {
    PrintLine(Env.Err, FileMessage(Given, Reason));
    JsonFailure(Env, Given, Reason);
    Status = ExitFailed;
  };
  OutputFolder = Line.OutputDir.empty() ? std::string(".") : Line.OutputDir;
  std::string Error;
  if (!Line.OutputDir.empty() && !Made.Make(Line.OutputDir, Error)) {
    PrintLine(Env.Err, FileMessage(Line.OutputDir, "cannot make the output folder: " + Error));
    Status = ExitFailed;
    return false;
  }
  OutputFolder = Absolute(OutputFolder);

  std::vector<std::string> Errors;
  const std::vector<SourceItem> Sources = ExpandSources(Line.Files, Errors);
  for (const std::string& Problem : Errors) {
    PrintLine(Env.Err, Problem);
    Status = ExitFailed;
  }
  const output::TFormatPreset& Preset = Line.PresetChoice().Preset();
  const std::string Ext = output::FormatExtension(Preset.ItemText);
  const std::string Label = output::FormatLabel(Preset.ItemText);
  for (const SourceItem& Item : Sources) {
    const std::string& Given = Item.Path;
    const std::string Source = Absolute(Given);
    if (const std::string Problem = SourceProblem(Source); !Problem.empty()) {
      Fail(Given, Problem);
      continue;
    }
    std::string Folder = OutputFolder;
    if (!Line.SameFolder && !Item.RelativeFolder.empty()) {
      // The source's place in the folder given is kept under the output
      // folder.
      Folder += "/" + Item.RelativeFolder;
      if (!Made.Make(Folder, Error)) {
        Fail(Given, FileMessage(Folder, "cannot make the output folder: " + Error));
        continue;
      }
    }
    const std::string Name = Line.SameFolder ? Source : output::PathInFolder(Folder, Source);
    PlannedFile File;
    File.Source = Source;
    File.Given = Given;
    if (!PlanDefaultOutput(Name, Ext, Label, Line.Overwrite, File.Plan, Error)) {
      Fail(Given, Error);
      continue;
    }
    if (Line.Segments != 0 && !PlanSegments(Line, Env, Split, File, Given, Folders, Error)) {
      DiscardOutput(File.Plan);
      Fail(Given, Error);
      continue;
    }
    M.Files.push_back(std::move(File));
  }
  return true;
}

// Makes the job folder beside the planned outputs (JobParent), writes the
// task script and job.json into it and submits the batch's tasks: the jobs
// and tasks the scheduler made of them, or nullopt with the status to exit
// with once the reason was told and what was made for the batch (the job
// folder, the reserved outputs) removed.
std::optional<Submission> SubmitBatch(Scheduler& Sched, const ConvertEnvironment& Env, Manifest& M,
                                      const std::string& JobParent, int& Status) {
  auto GiveUp = [&](const std::string& Why, int Code) {
    PrintLine(Env.Err, std::string(ProgramName) + ": " + Why);
    for (const PlannedFile& File : M.Files) DiscardOutput(File.Plan);
    if (!M.Folder.empty()) RemoveJobFolder(M.Folder);
    Status = Code;
    return std::nullopt;
  };
  std::string Template = JobParent + "/.vexav-job-XXXXXX";
  if (!::mkdtemp(Template.data()))
    return GiveUp(FileMessage(JobParent, std::string("cannot make the job folder: ") +
                                             std::strerror(errno) + "; nothing was submitted"),
                  ExitFailed);
  M.Folder = Template;
  ::chmod(M.Folder.c_str(), 0755);
  M.JobName = "vexav-" + M.Folder.substr(M.Folder.size() - 6);
  std::string Error;
  if (!Sched.WriteTaskScript(ScriptPath(M.Folder), {M.Program, "--cluster-task", M.Folder},
                             Error) ||
      !SaveManifest(M, Error))
    return GiveUp("cannot write the job folder: " + Error + "; nothing was submitted", ExitFailed);
  if (Env.Stop && Env.Stop->StopRequested())
    return GiveUp("stopped; nothing was submitted", ExitInterrupted);
  std::optional<Submission> Made = Sched.Submit(RequestOf(M), 0, M.Tasks.size(), Error);
  if (!Made || Made->TaskIds.size() != M.Tasks.size()) {
    if (Made) {
      std::string Ignored;
      Sched.Cancel(Made->Jobs, Ignored);
      Error = "the scheduler answered with " + std::to_string(Made->TaskIds.size()) +
              " tasks for " + std::to_string(M.Tasks.size());
    }
    return GiveUp("the batch was not submitted: " + Error, ExitFailed);
  }
  for (std::size_t I = 0; I < M.Tasks.size(); ++I) M.Tasks[I].JobId = Made->TaskIds[I];
  if (!SaveManifest(M, Error)) {
    std::string Ignored;
    Sched.Cancel(Made->Jobs, Ignored);
    return GiveUp("cannot write the job folder: " + Error + "; the batch was cancelled",
                  ExitFailed);
  }
  return Made;
}

// "job 12", or "jobs 12, 13 and 14" for a batch submitted as several.
std::string JobsText(const std::vector<std::string>& Jobs) {
  return (Jobs.size() == 1 ? "job " : "jobs ") + Listed(Jobs);
}

// The scheduler the job folder names; nullptr once the reason was told.
std::unique_ptr<Scheduler> SchedulerOf(const Manifest& M, const ConvertEnvironment& Env) {
  std::unique_ptr<Scheduler> Sched = MakeScheduler(M.Scheduler);
  if (!Sched)
    PrintLine(Env.Err, std::string(ProgramName) + ": " + ManifestPath(M.Folder) +
                           ": the batch was submitted to '" + M.Scheduler +
                           "', which this vexav-convert does not know");
  return Sched;
}

// Follows the batch (to its end, or one look) and tells what it finds as
// the local mode would; returns the exit status. Canceller: a stop request
// on Env.Stop cancels the batch through it (nullptr: a stop only ends the
// following).
int FollowBatch(Manifest& M, Scheduler& Sched, const ConvertEnvironment& Env, bool Follow,
                BatchCanceller* Canceller) {
  BatchOutput Output(Env, M, Follow);
  FollowRequest Request;
  Request.Follow = Follow;
  Request.Canceller = Canceller;
  StopControl* const Stop = Env.Stop;
  Request.StopRequested = [Stop] { return Stop && Stop->StopRequested(); };
  Request.MakeJob = Env.MakeJob;
  Request.Verbose = Env.Verbose;
  Request.ProgramName = ProgramName;
  const FollowEnd End = batch::cluster::FollowBatch(M, Sched, Request, Output);
  const std::string Program = ProgramName;
  switch (End.How) {
    case FollowEnd::Kind::LeftRunning:
      PrintLine(Env.Err, Program + ": the batch goes on; " + Program + " --cluster-status " +
                             M.Folder + " shows it");
      return ExitInterrupted;
    case FollowEnd::Kind::FolderGone:
      PrintLine(Env.Err, Program + ": the job folder " + M.Folder + " is gone (another " + Program +
                             " followed the batch to its end)");
      return ExitFailed;
    case FollowEnd::Kind::GaveUp:
      PrintLine(Env.Err,
                Program + ": giving up following job folder " + M.Folder + ": " + End.Error);
      return ExitFailed;
    case FollowEnd::Kind::Looked:
      PrintLine(Env.Err, Program + ": " + std::to_string(End.Remaining) + " of " +
                             std::to_string(M.Files.size()) + " files not finished (" +
                             std::to_string(End.Pending) + " pending)");
      return End.Failed ? ExitFailed : ExitOk;
    case FollowEnd::Kind::Ended:
      break;
  }
  if (End.Cancelled) {
    if (End.NotConverted > 0)
      PrintLine(Env.Err, Program + ": stopped; " + std::to_string(End.NotConverted) +
                             (End.NotConverted == 1 ? " file was" : " files were") +
                             " not converted");
    return ExitInterrupted;
  }
  return End.Failed ? ExitFailed : ExitOk;
}

}  // namespace

int RunOnCluster(const CommandLine& Line, const ConvertEnvironment& Env) {
  std::unique_ptr<Scheduler> Sched = MakeScheduler(Line.Cluster);
  std::string Unusable = "no scheduler named '" + Line.Cluster + "'";
  if (!Sched || !Sched->Usable(Unusable)) {
    PrintLine(Env.Err, std::string(ProgramName) + ": " + Unusable);
    return ExitFailed;
  }
  // A preset the libraries cannot convert with is refused before any
  // output is reserved or anything submitted.
  const output::TFormatPreset& Chosen = Line.PresetChoice().Preset();
  if (const std::string Why = output::PresetUnavailable(Chosen); !Why.empty()) {
    PrintLine(Env.Err, std::string(ProgramName) + ": preset '" +
                           output::FormatLabel(Chosen.ItemText) + "' " + Why);
    return ExitFailed;
  }
  std::string Program;
  if (!CheckProgram(Line, Program, Env)) return ExitFailed;

  int Status = ExitOk;
  Manifest M;
  M.Program = Program;
  M.CpusPerTask = Line.CpusPerTask;
  M.Retries = Line.Retries;
  M.Scheduler = Sched->Name();
  M.Queue = Line.Partition;
  M.Preset = Line.PresetChoice();
  M.SchedulerOptions = Line.SlurmOptions;
  // What the submission makes goes again unless the batch is submitted: the
  // output folders it made (when still empty, so last), the segmented
  // files' work folders, and (SubmitBatch) the reserved outputs and the job
  // folder.
  MadeFolders Made;
  std::vector<segments::WorkFolder> Folders;
  std::string OutputFolder;
  AutoSplit Split;
  if (Line.Segments < 0) {
    if (const int Cpus = Sched->CpusOffered(Line.Partition); Cpus > 0) {
      Split.Workers = std::max(1, Cpus / std::max(1, Line.CpusPerTask));
      Split.MinSegmentUs = segments::MinClusterSegmentUs;
    } else {
      PrintLine(Env.Err, std::string(ProgramName) + ": " + Sched->DisplayName() +
                             " does not tell the CPUs of " +
                             (Line.Partition.empty() ? std::string("its default partition")
                                                     : "partition '" + Line.Partition + "'") +
                             "; --segments auto makes segments of at least " +
                             std::to_string(segments::MinSegmentUs / 1000000) + " s");
    }
  }
  if (!PlanFiles(Line, Env, Split, M, Made, Folders, OutputFolder, Status)) return Status;
  if (M.Files.empty()) return Status;
  M.Tasks = TasksOfFiles(M.Files);
  M.MadeFolders = Made.List();
  // The job folder lies in the output folder (with --same-folder, beside
  // the first output), on the file system the nodes share.
  const std::string JobParent =
      Line.SameFolder ? fs::path(M.Files.front().Plan.Final).parent_path().string() : OutputFolder;
  const std::optional<Submission> Jobs = SubmitBatch(*Sched, Env, M, JobParent, Status);
  if (!Jobs) return Status;
  // The batch owns the work folders and the folders made now; whoever
  // follows it to its end removes them.
  for (segments::WorkFolder& Folder : Folders) Folder.Release();
  Made.Release();
  const std::string Tasks = M.Tasks.size() == M.Files.size()
                                ? std::string()
                                : " in " + std::to_string(M.Tasks.size()) + " tasks";
  std::vector<std::string> Shared = SharedFolders(M, JobParent);
  Shared.push_back(M.Program);
  PrintLine(Env.Err, std::string(ProgramName) + ": submitted " + JobsText(Jobs->Jobs) + " (" +
                         std::to_string(M.Files.size()) +
                         (M.Files.size() == 1 ? " file" : " files") + Tasks + "; job folder " +
                         M.Folder + "). Assumed: every node sees the sources, " + Listed(Shared) +
                         " at these paths.");
  const std::string Follow =
      std::string(ProgramName) + " --cluster-status " + ShellQuoted(M.Folder) + " --wait";
  if (Line.Detach) {
    // The jobs on one line, the job folder on the next.
    std::string Ids;
    for (const std::string& Job : Jobs->Jobs) Ids += (Ids.empty() ? "" : " ") + Job;
    PrintLine(Env.Out, Ids);
    PrintLine(Env.Out, M.Folder);
    PrintLine(Env.Err, std::string(ProgramName) + ": follow it with: " + Follow);
    return Status;
  }
  // Ctrl-C (or SIGTERM) cancels the batch at once; a second one, which
  // ends this program before the tasks have ended, says how to follow it.
  BatchCanceller Canceller(M.Folder, *Sched);
  for (const std::string& Job : Jobs->Jobs) Canceller.Track(Job);
  SetInterruptFarewell(
      "the batch was cancelled; its job folder stays until it is followed "
      "to its end: " +
      Follow);
  if (Env.Stop) Env.Stop->Register(&Canceller);
  const int Outcome = FollowBatch(M, *Sched, Env, true, &Canceller);
  if (Env.Stop) Env.Stop->Unregister();
  SetInterruptFarewell(std::string());
  return Outcome != ExitOk ? Outcome : Status;
}

int RunClusterStatus(const CommandLine& Line, const ConvertEnvironment& Env) {
  std::string Error;
  std::optional<Manifest> M = LoadManifest(Absolute(Line.ClusterStatus), Error);
  if (!M) {
    PrintLine(Env.Err, std::string(ProgramName) + ": " + Error);
    return ExitFailed;
  }
  std::unique_ptr<Scheduler> Sched = SchedulerOf(*M, Env);
  if (!Sched) return ExitFailed;
  // Ctrl-C while following a detached batch only stops following it.
  return FollowBatch(*M, *Sched, Env, Line.Wait, nullptr);
}

int RunClusterTask(const CommandLine& Line, const ConvertEnvironment& Env) {
  batch::cluster::TaskRunRequest Request;
  Request.JobFolder = Line.ClusterTask;
  Request.LogLevel = LogLevelFromName(Line.LogLevel);
  if (Env.Verbose && Request.LogLevel == TLogLevel::llQuiet) Request.LogLevel = TLogLevel::llInfo;
  Request.LibFolder = Env.LibFolder;
  Request.MakeJob = Env.MakeJob;
  Request.Verbose = Env.Verbose;
  Request.Log = Env.Err;
  Request.ProgramName = ProgramName;
  const batch::cluster::TaskRunEnd End = batch::cluster::RunTask(Request);
  using Kind = batch::cluster::TaskRunEnd::Kind;
  if (End.How == Kind::NotInATask) {
    PrintLine(Env.Err, std::string(ProgramName) + ": --cluster-task " + End.Message);
    return ExitUsage;
  }
  if (!End.Message.empty()) PrintLine(Env.Err, std::string(ProgramName) + ": " + End.Message);
  return End.How == Kind::Failed ? ExitFailed : ExitOk;
}

}  // namespace vexav::cli::cluster
