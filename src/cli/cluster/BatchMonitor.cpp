#include "cli/cluster/BatchMonitor.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <optional>
#include <thread>

#include "cli/ProbeCommand.h"
#include "cli/cluster/Slurm.h"

namespace vexav::cli::cluster {
namespace {

constexpr const char* ProgramName = "vexav-convert";
// How often the queue and the reports are read: one squeue call for the
// whole batch and one read of each running task's report per round.
constexpr auto PollInterval = std::chrono::milliseconds(250);
// How long a task that Slurm completed successfully may take to show its
// result in the report file.
constexpr auto ResultGrace = std::chrono::seconds(60);
// squeue failing this many rounds in a row ends the following.
constexpr int QueueFailuresTolerated = 240;

void PrintLine(std::FILE* File, const std::string& Text) {
  std::fputs((Text + "\n").c_str(), File);
  std::fflush(File);
}

// The last non-empty line of a task's Slurm log: what the task said before
// it ended without a report (the program missing on the node, a crash).
std::string LastLogLine(const std::string& Path) {
  std::ifstream In(Path);
  std::string Line, Last;
  while (std::getline(In, Line))
    if (!Line.empty()) Last = Line;
  if (Last.size() > 300) Last = Last.substr(0, 300) + "...";
  return Last;
}

bool IsRetriable(const std::string& State) {
  return State == "NODE_FAIL" || State == "PREEMPTED";
}

struct FileState {
  std::unique_ptr<ReportReader> Reader;
  std::unique_ptr<ProgressDisplay> Display;
  bool Started = false;  // the task's first report line arrived
  bool HasResult = false;
  ReportRecord Result;
  bool Ended = false;
  int64_t Ms = 0, TotalMs = -1;
  bool CancelAsked = false;  // its report was unreadable: the task is cancelled
  // When Slurm was first seen to have completed the task without its result
  // having been read: a shared file system may show the last lines late.
  std::optional<std::chrono::steady_clock::time_point> CompletedUnseen;
};

class Monitor {
 public:
  Monitor(Manifest& M, const ConvertEnvironment& Env, bool Follow, bool CancelOnStop)
      : M(M), Env(Env), Follow(Follow), CancelOnStop(CancelOnStop), Files(M.Files.size()) {
    const bool Terminal = Env.Terminal && M.Files.size() == 1 && Follow;
    for (std::size_t I = 0; I < Files.size(); ++I) {
      Files[I].Reader = std::make_unique<ReportReader>(ReportPath(M.Folder, I));
      Files[I].Display = std::make_unique<ProgressDisplay>(
          Env.Err, Terminal, DisplayName(M.Files[I].Source), Env.Columns);
    }
  }

  int Run() {
    for (;;) {
      const bool StopNow = Env.Stop && Env.Stop->StopRequested();
      if (StopNow && !CancelOnStop) {
        PrintLine(Env.Err, std::string(ProgramName) + ": the batch goes on; " + ProgramName +
                               " --cluster-status " + M.Folder + " shows it");
        return ExitInterrupted;
      }
      if (StopNow && !Cancelled) CancelAll();
      if (::access(ManifestPath(M.Folder).c_str(), F_OK) != 0) {
        // Another vexav-convert followed the batch to its end and removed
        // the job folder: what is left to tell is no longer here.
        PrintLine(Env.Err, std::string(ProgramName) + ": the job folder " + M.Folder +
                               " is gone (another vexav-convert followed the batch to its end)");
        return ExitFailed;
      }
      Round();
      if (Remaining() == 0) break;
      if (QueueFailures >= QueueFailuresTolerated) {
        PrintLine(Env.Err, std::string(ProgramName) + ": giving up following job folder " +
                               M.Folder + ": " + QueueError);
        return ExitFailed;
      }
      if (!Follow) {
        ShowUnfinished();
        return Status;
      }
      std::this_thread::sleep_for(PollInterval);
    }
    RemoveJobFolder(M.Folder);
    if (Cancelled) {
      if (NotConverted > 0)
        PrintLine(Env.Err, std::string(ProgramName) + ": stopped; " + std::to_string(NotConverted) +
                               (NotConverted == 1 ? " file was" : " files were") +
                               " not converted");
      return ExitInterrupted;
    }
    return Status;
  }

 private:
  std::size_t Remaining() const {
    std::size_t N = 0;
    for (const FileState& F : Files) N += F.Ended ? 0 : 1;
    return N;
  }

  void CancelAll() {
    Cancelled = true;
    std::vector<std::string> Ids;
    for (std::size_t I = 0; I < Files.size(); ++I)
      if (!Files[I].Ended) Ids.push_back(M.Files[I].JobId);
    std::string Error;
    if (!Cancel(Ids, Error)) PrintLine(Env.Err, std::string(ProgramName) + ": " + Error);
  }

  // One look at the queue, then at the reports: a task that is gone from
  // the queue has written everything it will write before that look.
  void Round() {
    std::optional<std::map<std::string, std::string>> Queue = QueuedTasks(M.JobName, QueueError);
    QueueFailures = Queue ? 0 : QueueFailures + 1;
    if (!Queue && QueueFailures == 1)
      PrintLine(Env.Err, std::string(ProgramName) + ": " + QueueError + " (retrying)");
    for (std::size_t I = 0; I < Files.size(); ++I) {
      FileState& F = Files[I];
      if (F.Ended) continue;
      bool Queued = true;  // when squeue did not answer, every task may still run
      if (Queue) {
        const auto Listed = Queue->find(M.Files[I].JobId);
        Queued = Listed != Queue->end();
        // A task still pending has written nothing: its report is not read.
        if (Queued && Listed->second == "PENDING") continue;
      }
      Read(I);
      if (!F.Reader->Error().empty()) {
        if (Queued && !F.CancelAsked) {
          F.CancelAsked = true;
          std::string Ignored;
          Cancel({M.Files[I].JobId}, Ignored);
        }
        if (!Queued) Fail(I, F.Reader->Error());
        continue;
      }
      if (F.HasResult && F.Result.Status != "stopped") {
        Settle(I);
        continue;
      }
      if (Queued) continue;
      F.Reader->CheckComplete();
      if (!F.Reader->Error().empty()) {
        Fail(I, F.Reader->Error());
        continue;
      }
      if (F.HasResult && Cancelled) {
        Settle(I);  // stopped on our request: what it kept stays
        continue;
      }
      EndedBySlurm(I);
    }
  }

  void Read(std::size_t I) {
    FileState& F = Files[I];
    for (const ReportRecord& R : F.Reader->Poll()) {
      switch (R.Type) {
        case ReportRecord::Kind::Start:
          F.Started = true;
          break;
        case ReportRecord::Kind::Progress: {
          F.Ms = R.Ms;
          F.TotalMs = R.TotalMs;
          ProgressInfo Info;
          Info.CurrentDurationMs = R.Ms;
          Info.TotalOutputDurationMs = R.TotalMs;
          if (Follow) F.Display->Update(Info);
          break;
        }
        case ReportRecord::Kind::Result:
          F.HasResult = true;
          F.Result = R;
          break;
      }
    }
  }

  // The task is gone from the queue without a result of its own, or
  // stopped without our asking: Slurm ended it.
  void EndedBySlurm(std::size_t I) {
    FileState& F = Files[I];
    PlannedFile& File = M.Files[I];
    const TaskEnd End = EndOfTask(File.JobId);
    if (Cancelled && !F.Started) {
      // Cancelled by our stop before it ran.
      F.Ended = true;
      ++NotConverted;
      RemoveLeftovers(I);
      return;
    }
    if (End.Known && End.State == "COMPLETED" && End.ExitCode == "0:0" && !F.HasResult) {
      // The task exits 0 only after writing its result: the file system has
      // not shown it yet. Wait for it a while; the output is never removed
      // then, since it may well be complete.
      const auto Now = std::chrono::steady_clock::now();
      if (!F.CompletedUnseen) F.CompletedUnseen = Now;
      if (Now - *F.CompletedUnseen < ResultGrace) return;
      if (!IsNonEmptyFile(File.Plan.WriteTo)) {
        Fail(I, "the task completed without a result");
        return;
      }
      F.Ended = true;
      if (Follow) F.Display->Finish(false);
      PrintLine(Env.Err, FileMessage(DisplayName(File.Source),
                                     "the task completed, but its result did not arrive; " +
                                         File.Plan.Final + " was left as it is"));
      Status = ExitFailed;
      return;
    }
    if (IsRetriable(End.State) && File.Attempts <= M.Retries) {
      Resubmit(I, End);
      return;
    }
    std::string Reason;
    if (End.Known && (End.State == "COMPLETED" || End.State == "FAILED") && !F.HasResult) {
      Reason = "the task ended without a result (" + End.Text() + ", exit " + End.ExitCode + ")";
      const std::string Last = LastLogLine(SlurmLogPath(M.Folder, File.JobId));
      if (!Last.empty()) Reason += ": " + Last;
    } else if (End.Known) {
      Reason = "Slurm ended the task: " + End.Text();
    } else {
      Reason = "Slurm ended the task, and no longer knows why";
    }
    Fail(I, Reason);
  }

  void Resubmit(std::size_t I, const TaskEnd& End) {
    FileState& F = Files[I];
    PlannedFile& File = M.Files[I];
    // The task writes its report and its output anew.
    RemoveLeftovers(I);
    std::string Error;
    if (!File.Plan.Replaces) {
      // Our reservation of the name must stay while the task waits again.
      const int Fd =
          ::open(File.Plan.WriteTo.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
      if (Fd < 0) {
        Fail(I, "Slurm ended the task: " + End.Text() + "; " + File.Plan.WriteTo +
                    " was taken meanwhile, so it is not submitted again");
        return;
      }
      ::close(Fd);
    }
    ::unlink(ReportPath(M.Folder, I).c_str());
    F.Reader->Reset();
    F.Started = false;
    F.HasResult = false;
    SubmitRequest Request;
    Request.Script = ScriptPath(M.Folder);
    Request.JobName = M.JobName;
    Request.Array = std::to_string(I);
    Request.LogPattern = SlurmLogPattern(M.Folder);
    Request.WorkFolder = M.Folder;
    Request.CpusPerTask = M.CpusPerTask;
    Request.Partition = M.Partition;
    Request.ExtraOptions = M.SlurmOptions;
    std::optional<std::string> JobId = Submit(Request, Error);
    if (!JobId) {
      Fail(I, "Slurm ended the task: " + End.Text() + "; submitting it again failed: " + Error);
      return;
    }
    File.JobId = *JobId + "_" + std::to_string(I);
    ++File.Attempts;
    SaveManifest(M, Error);
    PrintLine(Env.Err, FileMessage(DisplayName(File.Source),
                                   "Slurm ended the task: " + End.Text() + "; submitted again as " +
                                       File.JobId + " (attempt " + std::to_string(File.Attempts) +
                                       " of " + std::to_string(M.Retries + 1) + ")"));
  }

  // A task's message names its source by the absolute path it was given;
  // shown under the source's name like every other line of the file.
  std::string TaskMessage(std::size_t I) const {
    const std::string& Source = M.Files[I].Source;
    std::string Message = Files[I].Result.Message;
    if (Message.compare(0, Source.size() + 2, Source + ": ") == 0)
      Message.erase(0, Source.size() + 2);
    return FileMessage(DisplayName(Source), Message);
  }

  // The task's result as it reported it.
  void Settle(std::size_t I) {
    FileState& F = Files[I];
    F.Ended = true;
    if (F.Result.Status == "done") {
      if (!IsNonEmptyFile(F.Result.Output)) {
        Fail(I, "the task reports " + F.Result.Output +
                    ", which is not to be seen from here (is its folder shared with the nodes?)");
        return;
      }
      if (Follow) F.Display->Finish(true);
      PrintLine(Env.Out, F.Result.Output);
      return;
    }
    if (Follow) F.Display->Finish(false);
    if (F.Result.Status == "failed") {
      RemoveLeftovers(I);
      PrintLine(Env.Err, TaskMessage(I));
      Status = ExitFailed;
      return;
    }
    // Stopped on our request.
    if (!F.Started || F.Result.Output.empty()) {
      if (F.Result.Message == "not converted")
        ++NotConverted;
      else
        PrintLine(Env.Err, TaskMessage(I));
      RemoveLeftovers(I);
      return;
    }
    PrintLine(Env.Err, TaskMessage(I));
  }

  void Fail(std::size_t I, const std::string& Reason) {
    FileState& F = Files[I];
    F.Ended = true;
    if (Follow) F.Display->Finish(false);
    RemoveLeftovers(I);
    PrintLine(Env.Err, FileMessage(DisplayName(M.Files[I].Source), Reason));
    Status = ExitFailed;
  }

  // What an unfinished task may have left: its output (the reserved name or
  // the temporary file that was to replace the old one) and a stopped
  // output it reported. A file replaced by --overwrite is never touched.
  void RemoveLeftovers(std::size_t I) {
    const FileState& F = Files[I];
    DiscardOutput(M.Files[I].Plan);
    if (F.HasResult && !F.Result.Output.empty() && F.Result.Status != "done" &&
        F.Result.Output != M.Files[I].Plan.Final)
      RemoveOwnOutput(F.Result.Output);
  }

  void ShowUnfinished() {
    std::size_t Pending = 0;
    for (std::size_t I = 0; I < Files.size(); ++I) {
      const FileState& F = Files[I];
      if (F.Ended) continue;
      const std::string Name = DisplayName(M.Files[I].Source);
      if (!F.Started) {
        ++Pending;
        PrintLine(Env.Err, Name + ": pending (" + M.Files[I].JobId + ")");
        continue;
      }
      ProgressInfo Info;
      Info.CurrentDurationMs = F.Ms;
      Info.TotalOutputDurationMs = F.TotalMs;
      const int Percent = ProgressDisplay::Percent(Info);
      std::string Text = Name;
      Text += ": running";
      if (Percent >= 0) Text += " " + std::to_string(Percent) + "%";
      Text += " (" + M.Files[I].JobId + ")";
      PrintLine(Env.Err, Text);
    }
    PrintLine(Env.Err, std::string(ProgramName) + ": " + std::to_string(Remaining()) + " of " +
                           std::to_string(Files.size()) + " files not finished (" +
                           std::to_string(Pending) + " pending)");
  }

  Manifest& M;
  const ConvertEnvironment& Env;
  bool Follow;
  bool CancelOnStop;
  std::vector<FileState> Files;
  bool Cancelled = false;
  int Status = ExitOk;
  int NotConverted = 0;
  int QueueFailures = 0;
  std::string QueueError;
};

}  // namespace

int MonitorBatch(Manifest& M, const ConvertEnvironment& Env, bool Follow, bool CancelOnStop) {
  return Monitor(M, Env, Follow, CancelOnStop).Run();
}

}  // namespace vexav::cli::cluster
