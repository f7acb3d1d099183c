#include "batch/cluster/TaskRun.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "batch/DefaultRun.h"
#include "batch/FileReport.h"
#include "batch/OutputFiles.h"
#include "batch/SourceList.h"
#include "batch/StopControl.h"
#include "batch/cluster/Command.h"
#include "batch/cluster/JobFolder.h"
#include "batch/cluster/Scheduler.h"

namespace vexav::batch::cluster {

namespace {

std::atomic<int> Terminations{0};
static_assert(std::atomic<int>::is_always_lock_free);
extern "C" void OnTerminateSignal(int) {
  Terminations.fetch_add(1, std::memory_order_relaxed);
}

// Turns SIGTERM into a stop request while it lives.
class TerminationWatcher {
 public:
  explicit TerminationWatcher(StopControl& Target) : Control(Target) {
    CatchSignal(SIGTERM, OnTerminateSignal, &Previous);
    Watcher = std::thread([this] {
      while (!Quit.load()) {
        if (Terminations.load() > 0 && !Control.StopRequested()) Control.RequestStop();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    });
  }
  ~TerminationWatcher() {
    Quit.store(true);
    Watcher.join();
    ::sigaction(SIGTERM, &Previous, nullptr);
  }

 private:
  StopControl& Control;
  struct sigaction Previous;
  std::atomic<bool> Quit{false};
  std::thread Watcher;
};

// Appends whole lines to the task's report file, each with one write, so
// that a reader sees a line either whole or not at all (on a local file
// system; a network one may show it later, never in pieces the reader
// would take for whole lines).
class ReportFile : public FileReport {
 public:
  explicit ReportFile(const std::string& Path) {
    Fd = ::open(Path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
    if (Fd < 0) Error = Path + ": " + std::strerror(errno);
  }
  ~ReportFile() override {
    if (Fd >= 0) ::close(Fd);
  }
  bool Ok() const { return Fd >= 0; }
  const std::string& OpenError() const { return Error; }

  bool Write(const ReportRecord& Record) {
    std::lock_guard<std::mutex> Guard(Lock);
    const std::string Line = ReportLine(Record) + "\n";
    if (Fd < 0) return false;
    return ::write(Fd, Line.data(), Line.size()) == static_cast<ssize_t>(Line.size());
  }

  void Progress(const std::string&, const ProgressInfo& Info) override {
    if (!Looked && GivenUp) {
      // By its first progress the engine has opened its output: an attempt
      // given up before that moment finds out now, and its file goes (one
      // given up later has had its file removed by the front end).
      Looked = true;
      if (GivenUp()) {
        RemoveOwnOutput(Written);
        if (OnGivenUp) OnGivenUp();
      }
    }
    // A line per further percent is plenty for the front end's display.
    const int Percent = PercentDone(Info);
    const auto Now = std::chrono::steady_clock::now();
    if (Percent >= 0 ? Percent == LastPercent : Now - LastWrite < std::chrono::seconds(1)) return;
    LastPercent = Percent;
    LastWrite = Now;
    ReportRecord R;
    R.Type = ReportRecord::Kind::Progress;
    R.Ms = Info.CurrentDurationMs;
    R.TotalMs = Info.TotalOutputDurationMs > 0 ? Info.TotalOutputDurationMs : -1;
    R.Frame = Info.FrameNumber;
    R.Fps = Info.Fps;
    Write(R);
  }

  void Ended(const std::string&, FileOutcome Outcome, const std::string& Message,
             const std::string& Output) override {
    Result.Type = ReportRecord::Kind::Result;
    Result.Status = Outcome == FileOutcome::Done     ? "done"
                    : Outcome == FileOutcome::Failed ? "failed"
                                                     : "stopped";
    Result.Message = Message;
    Result.Output = Output;
    HasResult = true;
  }

  ReportRecord Result;
  bool HasResult = false;
  // Asked at the first progress: whether the front end has given this
  // attempt up; then Written (this attempt's own file) is removed and
  // OnGivenUp called.
  std::function<bool()> GivenUp;
  std::function<void()> OnGivenUp;
  std::string Written;

 private:
  bool Looked = false;
  int Fd = -1;
  std::string Error;
  std::mutex Lock;
  int LastPercent = -1;
  std::chrono::steady_clock::time_point LastWrite;
};

// One piece of a segmented file: an engine run with the piece's options
// into a file of this attempt's own in the work folder, renamed to the
// piece's name when it ends (done, or stopped with what it wrote), on one
// codec thread (so that its bytes do not depend on the node), with its
// progress and its end in the report.
void RunPiece(const PlannedFile& File, const segments::Piece& P, const std::string& Attempt,
              const TaskRunRequest& Request, StopControl& Stop, ReportFile& Report) {
  const std::string Target = File.WorkFolder + "/" + P.FileName;
  OutputPlan Own;
  auto Failed = [&](const std::string& Message) {
    DiscardOutput(Own);
    Report.Ended(File.Source, FileOutcome::Failed, Message, "");
  };
  std::string Error;
  if (!PlanAttemptOutput(Target, Attempt, true, Own, Error)) return Failed(Target + ": " + Error);
  Report.Written = Own.WriteTo;
  try {
    std::unique_ptr<ConversionJob> Job = Request.MakeJob(Request.Verbose);
    Stop.Register(Job.get());
    struct Unregister {
      StopControl& Stop;
      ~Unregister() { Stop.Unregister(); }
    } Registered{Stop};
    Job->SetCodecThreads(1);
    for (const segments::TEngineOption& Option : P.InputOptions)
      Job->SetOption(Option.Name, Option.Value);
    if (!Job->OpenInputFile(File.Source)) return Failed(Job->LastError());
    for (const segments::TEngineOption& Option : P.OutputOptions)
      Job->SetOption(Option.Name, Option.Value);
    if (!Job->OpenOutputFile(Own.WriteTo)) return Failed(Job->LastError());
    const RunOutcome Outcome =
        Job->Run([&](const ProgressInfo& Info) { Report.Progress(File.Source, Info); });
    if (Outcome.ExceptionRaised) return Failed(Outcome.ErrorMessage);
    if (Outcome.Succeeded() && !IsNonEmptyFile(Own.WriteTo)) return Failed("nothing was written");
    // Stopped: what it wrote has its trailer, and the front end may keep it.
    if (!Outcome.Succeeded() && (!Outcome.Started || !IsNonEmptyFile(Own.WriteTo))) {
      DiscardOutput(Own);
      return Report.Ended(File.Source, FileOutcome::Stopped, "not converted", "");
    }
    // (The rename fails when the front end has given this attempt up and
    // removed its file: nothing of it reaches the piece's name then.)
    if (!CommitOutput(Own, Error)) {
      if (Outcome.Succeeded()) return Failed(Error);
      return Report.Ended(File.Source, FileOutcome::Stopped, "not converted", "");
    }
    if (Outcome.Succeeded()) return Report.Ended(File.Source, FileOutcome::Done, "", Target);
    Report.Ended(File.Source, FileOutcome::Stopped, "stopped", Target);
  } catch (const std::exception& E) {
    Failed(E.what());
  }
}

void PrintLine(std::FILE* File, const std::string& Text) {
  std::fputs((Text + "\n").c_str(), File);
  std::fflush(File);
}

// "<source>: <text>", as the task's messages name their file (unless the
// text does already).
std::string SourceMessage(const std::string& Source, const std::string& Text) {
  std::string Message = Text.empty() ? std::string("unknown error") : Text;
  if (Message.compare(0, Source.size() + 2, Source + ": ") != 0) Message = Source + ": " + Message;
  return Message;
}

// What the default run of the task's file tells: its progress and its end
// into the report, and every line to the task's log.
class TaskObserver : public DefaultRunObserver {
 public:
  TaskObserver(ReportFile& Report, const TaskRunRequest& Request)
      : Report(Report), Request(Request) {}

  void FileAdded(int, const std::string&, const std::string&) override {}
  void Progress(int, const std::string& Source, const ProgressInfo& Info, double) override {
    Report.Progress(Source, Info);
  }
  void Ended(int, const std::string& Source, const FileResult& Result,
             const std::optional<ProgressInfo>&, const std::optional<double>&) override {
    switch (Result.Outcome) {
      case FileOutcome::Done:
        return Report.Ended(Source, FileOutcome::Done, "", Result.Output);
      case FileOutcome::Failed: {
        const std::string Message = SourceMessage(Source, Result.Message);
        PrintLine(Request.Log, Message);
        return Report.Ended(Source, FileOutcome::Failed, Message, "");
      }
      case FileOutcome::Stopped:
        PrintLine(Request.Log, SourceMessage(Source, Result.Message));
        return Report.Ended(Source, FileOutcome::Stopped, Result.Message, Result.Output);
      case FileOutcome::Canceled:
        return Report.Ended(Source, FileOutcome::Canceled, "not converted", "");
    }
  }
  void FileNote(const std::string& Source, const std::string& Text) override {
    PrintLine(Request.Log, SourceMessage(Source, Text));
  }
  void Log(const std::string& Tag, const std::string& Text) override {
    PrintLine(Request.Log, "[" + (Tag.empty() ? Request.ProgramName : Tag) + "] " + Text);
  }
  void Timings(const std::string&, const TRunTimings&) override {}
  void RunError(const std::string& Subject, const std::string& Text) override {
    PrintLine(Request.Log,
              Subject.empty() ? Request.ProgramName + ": " + Text : SourceMessage(Subject, Text));
  }

 private:
  ReportFile& Report;
  const TaskRunRequest& Request;
};

// The whole file through the default run, into Own (this attempt's file
// beside the output reserved for it, which takes the output's place when
// it is done), with a codec thread for each CPU the scheduler gave the task
// (TaskCpus; 0: not told, then --cpus-per-task's).
void RunWholeFile(const TaskRunRequest& Request, const Manifest& M, int TaskCpus,
                  const PlannedFile& File, const OutputPlan& Own, StopControl& Stop,
                  ReportFile& Report) {
  DefaultRunRequest Run;
  std::vector<std::string> Errors;
  Run.Sources = ExpandSources({File.Source}, Errors);
  for (const std::string& Error : Errors) PrintLine(Request.Log, Error);
  Run.Overwrite = File.Plan.Replaces;
  Run.Preset = M.Preset;
  Run.Jobs = 1;
  // The codecs use the CPUs the scheduler gave the task.
  int Cpus = M.CpusPerTask;
  if (TaskCpus > 0) Cpus = TaskCpus;
  Run.CodecThreads = std::max(1, std::min(Cpus, 64));
  Run.LogLevel = Request.LogLevel;
  Run.LibFolder = Request.LibFolder;
  Run.Planned = &Own;
  Run.MakeJob = Request.MakeJob;
  Run.Verbose = Request.Verbose;
  Run.StopRequested = [&Stop] { return Stop.StopRequested(); };
  TaskObserver Observer(Report, Request);
  DefaultRunner Runner(Run, Observer);
  Stop.Register(&Runner.StopHandle());
  Runner.Run();
  Stop.Unregister();
}

}  // namespace

TaskRunEnd RunTask(const TaskRunRequest& Request) {
  auto Ending = [](TaskRunEnd::Kind How, const std::string& Message) {
    TaskRunEnd End;
    End.How = How;
    End.Message = Message;
    return End;
  };
  using Kind = TaskRunEnd::Kind;
  std::string Error;
  std::optional<Manifest> M = LoadManifest(Request.JobFolder, Error);
  const std::unique_ptr<Scheduler> Sched = M ? MakeScheduler(M->Scheduler) : nullptr;
  if (!M || !Sched) {
    if (M) Error = "the batch's scheduler '" + M->Scheduler + "' is not known to this program";
    return Ending(Kind::Failed, Error);
  }
  const std::optional<std::size_t> Given = Sched->TaskIndexHere();
  if (!Given) return Ending(Kind::NotInATask, "runs inside a task of a cluster batch only");
  const std::size_t Index = *Given;
  if (Index >= M->Tasks.size())
    return Ending(Kind::Failed, "no task " + std::to_string(Index) + " in the batch");
  const PlannedTask& Task = M->Tasks[Index];
  const PlannedFile& File = M->Files[Task.File];
  // Each submission of the task writes under a name of its own, known by
  // its id; one that the front end has given up on (submitted again after
  // its node was taken for dead) touches nothing, not even its report.
  const std::string Attempt = Sched->TaskIdHere();
  if (Attempt.empty())
    return Ending(Kind::Failed, Sched->DisplayName() + " does not tell this task's id");
  if (IsGivenUp(M->Folder, Attempt))
    return Ending(
        Kind::GivenUp,
        "task " + Attempt + " was given up by the batch's front end; nothing is converted");
  ReportFile Report(ReportPath(M->Folder, Index));
  if (!Report.Ok()) return Ending(Kind::Failed, Report.OpenError());
  ReportRecord Start;
  Start.Type = ReportRecord::Kind::Start;
  Start.Host = HostName();
  Start.StartedMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::system_clock::now().time_since_epoch())
                        .count();
  Report.Write(Start);

  StopControl Stop;
  Report.GivenUp = [&] { return IsGivenUp(M->Folder, Attempt); };
  Report.OnGivenUp = [&] { Stop.RequestStop(); };
  OutputPlan Own;
  std::string Problem;
  if (Task.Piece < 0 &&
      !PlanAttemptOutput(File.Plan.Final, Attempt, !File.Plan.Replaces, Own, Problem)) {
    Report.Ended(File.Source, FileOutcome::Failed,
                 "the output could not be written on node " + Start.Host + ": " + File.Plan.Final +
                     ": " + Problem,
                 "");
  } else {
    Report.Written = Own.WriteTo;
    TerminationWatcher Watcher(Stop);
    if (Task.Piece >= 0)
      RunPiece(File, File.Segments.Pieces[Task.Piece], Attempt, Request, Stop, Report);
    else
      RunWholeFile(Request, *M, Sched->TaskCpusHere(), File, Own, Stop, Report);
  }
  if (!Report.HasResult) {
    // Stopped before the file was even opened, or the run could not start.
    Report.Ended(File.Source, Stop.StopRequested() ? FileOutcome::Stopped : FileOutcome::Failed,
                 Stop.StopRequested() ? "not converted" : "the conversion could not start", "");
  }
  // Only this attempt's own file: the reserved output is the front end's to
  // remove, since another attempt may have put the conversion there.
  if (Task.Piece < 0 && Report.Result.Output.empty()) DiscardOutput(Own);
  Report.Result.ElapsedMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::system_clock::now().time_since_epoch())
                                .count() -
                            Start.StartedMs;
  if (Report.Result.ElapsedMs < 0) Report.Result.ElapsedMs = 0;
  if (!Report.Write(Report.Result)) return Ending(Kind::Failed, std::string());
  return Ending(Kind::Reported, std::string());
}

}  // namespace vexav::batch::cluster
