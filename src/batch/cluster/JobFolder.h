// The hidden job folder of a batch on a cluster, beside its outputs, on the
// file system every node sees: the batch's plan (job.json, written by the
// front end), the batch script, and one report file per task
// (task-<index>.jsonl), each a list of JSON lines written by the task and
// read by the front end while the batch runs.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "batch/OutputFiles.h"
#include "batch/cluster/Scheduler.h"
#include "batch/segments/SegmentPlan.h"
#include "batch/segments/SourcePlan.h"

namespace vexav::batch::cluster {

// One file of the batch: its source and where its output goes.
struct PlannedFile {
  std::string Source;  // absolute
  std::string Given;   // the source as the command line named it (--json's "file")
  OutputPlan Plan;     // reserved before submission
  // Converted in segments: the work folder its pieces go into (empty: one
  // task converts the whole file), the source's duration and the pieces.
  std::string WorkFolder;
  int64_t DurationUs = 0;
  segments::SegmentPlan Segments;
  bool Segmented() const { return !WorkFolder.empty(); }
};

// One array task: the file it converts, whole or one of its pieces.
struct PlannedTask {
  int File = 0;
  int Piece = -1;     // index into the file's Segments.Pieces; -1: the whole file
  std::string JobId;  // the scheduler's id of the task now running it (opaque)
  int Attempts = 1;   // submissions so far
  // The ids of its earlier submissions, oldest first: each attempt writes
  // under a name of its own (AttemptName), which whoever settles the task
  // removes.
  std::vector<std::string> EarlierIds;
};

struct Manifest {
  std::string Folder;     // the job folder itself (not stored)
  std::string Scheduler;  // the batch system's name (MakeScheduler)
  std::string JobName;
  std::string Program;  // what each task runs
  int CpusPerTask = 1;
  int Retries = 0;
  std::string Queue;                          // where the tasks run ("": the default)
  std::vector<std::string> SchedulerOptions;  // passed to the batch system as they are
  // The preset and size limit every task converts with ("preset" by its
  // label and "max_height" in job.json; a job.json without them is of the
  // default preset at the source's size).
  segments::PresetChoice Preset;
  std::vector<PlannedFile> Files;
  std::vector<PlannedTask> Tasks;  // by array index
  // The output folders the submission made (parents first): whoever ends
  // the batch removes those that are still empty then.
  std::vector<std::string> MadeFolders;
};

// The batch's tasks for its files: one per whole file, one per piece of a
// segmented one, in the files' order.
std::vector<PlannedTask> TasksOfFiles(const std::vector<PlannedFile>& Files);

// Writes Folder/job.json through a temporary file and a rename, so that a
// reader never sees half of it. False with Error when it cannot be written.
bool SaveManifest(const Manifest& M, std::string& Error);
// Reads Folder/job.json; nullopt with Error when it is missing or not a
// manifest of this program.
std::optional<Manifest> LoadManifest(const std::string& Folder, std::string& Error);

std::string ReportPath(const std::string& Folder, std::size_t Index);
std::string ScriptPath(const std::string& Folder);
std::string ManifestPath(const std::string& Folder);
// There once the batch was cancelled (Ctrl-C of the front end that
// submitted it): a later look knows that its tasks stopped on request.
std::string CancelMarkerPath(const std::string& Folder);
bool MarkCancelled(const std::string& Folder);
bool WasCancelled(const std::string& Folder);

// An attempt of a task that the front end has given up on (submitted
// again after a node failure, or settled without it) is marked so in the
// job folder before its files are removed. Such an attempt may still run (on
// a node whose slurmd died, say): it must not put anything where the
// batch's outputs go. An attempt counts as given up also once the job folder
// is gone (the batch has ended).
bool MarkGivenUp(const std::string& Folder, const std::string& Attempt);
bool IsGivenUp(const std::string& Folder, const std::string& Attempt);

// What each submission of the batch's tasks asks the scheduler for: the
// first one and each task submitted again are built from the same record.
TaskRequest RequestOf(const Manifest& M);

// One line of a task's report.
struct ReportRecord {
  enum class Kind { Start, Progress, Result } Type = Kind::Start;
  // Progress: output time converted and expected (-1: not known), and the
  // frame number and frames a second of the run (-1: not known).
  int64_t Ms = 0;
  int64_t TotalMs = -1;
  int64_t Frame = -1;
  int64_t Fps = -1;
  // Result: "done", "failed" or "stopped", the message, and the output the
  // task left (empty: none).
  std::string Status;
  std::string Message;
  std::string Output;
  int64_t ElapsedMs = -1;  // Result: how long the task took on its node (-1: not known)
  std::string Host;        // Start: the node
  // Start: when the task began on its node (milliseconds since 1970; 0:
  // not known), from which the front end tells the time a file has taken.
  int64_t StartedMs = 0;
};

// Text of one report line (no line break) for Record.
std::string ReportLine(const ReportRecord& Record);

// Reads a task's report file as it grows. Only complete lines are read; a
// line that is not a report record makes an error that stays.
class ReportReader {
 public:
  explicit ReportReader(std::string Path) : Path(std::move(Path)) {}
  // Reads what was added since the last call. Returns the new records;
  // Error() is set (and nothing more is read) at the first bad line.
  std::vector<ReportRecord> Poll();
  // The task has ended: text left without a line break is an error (the
  // report was cut off).
  void CheckComplete();
  // Starts over (a task submitted again writes its report anew).
  void Reset();
  const std::string& Error() const { return Failure; }

 private:
  // Parses the complete lines of Pending into Records and keeps the rest;
  // sets the failure at a bad line or when the rest is longer than a line
  // may be.
  void TakeLines(std::vector<ReportRecord>& Records);

  std::string Path;
  uint64_t Offset = 0;
  std::string Pending;  // a line not complete yet
  int LineNumber = 0;
  std::string Failure;
};

// Parses one report line; nullopt with Error when it is not a well-formed
// record.
std::optional<ReportRecord> ParseReportLine(const std::string& Line, std::string& Error);

// Removes the job folder with everything in it.
void RemoveJobFolder(const std::string& Folder);

}  // namespace vexav::batch::cluster
