#include "batch/DefaultRun.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <stdexcept>

#include "batch/segments/SegmentedFile.h"
#include "batch/segments/SettleFile.h"
#include "batch/segments/SourcePlan.h"
#include "batch/segments/StreamJoin.h"
#include "component/OutputNaming.h"
#include "component/Presets.h"
#include "component/TaskList.h"

namespace vexav::batch {
namespace {

using Clock = std::chrono::steady_clock;

// The stop control's view of the component: a stop request asks the
// component to Stop, once. Only Stop is ever called.
class ComponentStopper : public ConversionJob {
 public:
  explicit ComponentStopper(TVexAVConverter& Converter) : Converter(Converter) {}
  void SetOption(const std::string&, const std::string&) override {}
  bool OpenInputFile(const std::string&) override { return false; }
  bool OpenOutputFile(const std::string&) override { return false; }
  std::string LastError() const override { return std::string(); }
  SourceFacts InputFacts() override { return SourceFacts(); }
  RunOutcome Run(const ProgressHandler&) override { return RunOutcome(); }
  void Stop() override {
    std::lock_guard<std::mutex> Guard(Lock);
    if (Running && !Stopped) {
      Stopped = true;
      Converter.Stop();
    }
    Wanted = true;
  }
  // Called once the run has started; a stop asked for before reaches it.
  void Started() {
    std::lock_guard<std::mutex> Guard(Lock);
    Running = true;
    if (Wanted && !Stopped) {
      Stopped = true;
      Converter.Stop();
    }
  }
  void Ended() {
    std::lock_guard<std::mutex> Guard(Lock);
    Running = false;
  }

 private:
  TVexAVConverter& Converter;
  std::mutex Lock;
  bool Running = false;
  bool Stopped = false;
  bool Wanted = false;
};

// The wall time of one file's conversion.
struct FileClock {
  std::optional<Clock::time_point> Began;
  std::optional<double> Seconds() const {
    if (!Began) return std::nullopt;
    return std::chrono::duration<double>(Clock::now() - *Began).count();
  }
};

struct FileTask {
  std::string Source;
  OutputPlan Plan;  // Plan.WriteTo is what the task writes
  std::optional<ProgressInfo> LastProgress;
  FileClock Clock;
  // A file converted in segments: its pieces' state (nullptr: one task
  // converts the whole file).
  std::unique_ptr<segments::SegmentedFile> Segments;
  // Its join, open from the first segment's end on (the run's own thread
  // alone uses it), why it broke off, and whether the file has ended.
  std::unique_ptr<segments::StreamJoin> Join;
  std::string JoinError;
  bool Settled = false;
};

// A task of the converter: the file it works for, and which of the file's
// pieces it converts (-1: the whole file).
struct TaskRef {
  int File = 0;
  int Piece = -1;
};

// A task's output record with the given options: the two that the record
// always applies go into its fields, so that they are not overridden; the
// others become free option lines.
bool FillOutputOptions(const std::vector<output::TEngineOption>& List, TOutputOptions& Options,
                       std::string& Error) {
  ResetOutputOptions(Options);
  try {
    for (const output::TEngineOption& Option : List) {
      if (Option.Name == "async")
        Options.AudioSync = std::stoi(Option.Value);
      else if (Option.Name == "vsync")
        Options.VideoSync = std::stoi(Option.Value);
      else
        Options.ExtOptions += Option.Name + "=" + Option.Value + "\n";
    }
  } catch (const std::exception& E) {
    Error = E.what();
    return false;
  }
  return true;
}

FileResult FailedWith(const std::string& Reason) {
  FileResult Result;
  Result.Outcome = FileOutcome::Failed;
  Result.Message = Reason;
  return Result;
}

}  // namespace

class DefaultRunner::Impl {
 public:
  Impl(const DefaultRunRequest& Request, DefaultRunObserver& Observer)
      : Request(Request), Observer(Observer), Stopper(Converter) {}
  DefaultRunSummary Run();
  ConversionJob& StopHandle() { return Stopper; }

 private:
  bool SetUpConverter();
  void AddTask(const SourceItem& Source);
  std::string OutputFolder(const SourceItem& Source, std::string& Error);
  bool MakeFolder(const std::string& Folder, std::string& Error);
  int SegmentCount(const std::string& Source, const segments::SourcePlan& Planned);
  void AddSegmentedTasks(const std::string& Source, const OutputPlan& Plan,
                         const segments::SourcePlan& Planned, int Count);
  void AddFile(FileTask File);
  void PieceEnded(FileTask& File, int Piece, bool Finished, bool Exception,
                  const std::string& Message);
  void SettleSegmented(FileTask& File);
  void AdvanceJoin(FileTask& File);
  void JoinOrSettle(FileTask& File);
  std::string PieceTag(const FileTask& File, int Piece) const;
  std::string TaskTag(int Index) const;
  void InstallEvents();
  void Progress(int Index, const ProgressInfo& Info);
  void TaskEnded(int Index, bool Finished, bool Exception, const std::string& Message);
  // File ended as Result says (under Screen).
  void End(FileTask& File, const FileResult& Result);
  // A source that never became a file failed.
  void Fail(const std::string& Source, const std::string& Reason);
  void RunTasks();
  bool StopRequested() const { return Request.StopRequested && Request.StopRequested(); }
  int IndexOf(const FileTask& File) const { return static_cast<int>(&File - Files.data()); }

  const DefaultRunRequest& Request;
  DefaultRunObserver& Observer;
  const output::TFormatPreset& Preset = Request.Preset.Preset();
  const std::string Ext = output::FormatExtension(Preset.ItemText);
  const std::string Label = output::FormatLabel(Preset.ItemText);
  // The output folders this run made: those left empty go at its end,
  // after the converter below has closed its files.
  MadeFolders MadeOutputFolders;

  std::mutex Screen;            // around every call of the observer, and the fields below
  std::vector<FileTask> Files;  // in the order of the sources
  std::vector<TaskRef> Tasks;   // by the component's index
  DefaultRunSummary Summary;
  Clock::time_point RunStart;
  std::vector<Clock::time_point> TaskEnds;  // each ended task frees a job for the next

  std::mutex DoneLock;
  std::condition_variable DoneSignal;
  bool Done = false;
  // Segmented files whose pieces ended, to be joined as far as they can be,
  // or settled once all have ended, on the run's own thread.
  std::deque<int> ToSettle;

  // Last, so that the converter goes first, before what its events use.
  TVexAVConverter Converter;
  ComponentStopper Stopper;
};

bool DefaultRunner::Impl::SetUpConverter() {
  Converter.SetLogLevel(Request.LogLevel);
  // Already bound: this installs the log capture.
  if (!Converter.LoadLibraries(Request.LibFolder)) {
    Observer.RunError(std::string(), Converter.LastError());
    return false;
  }
  Converter.SetProgressInterval(Request.ProgressIntervalMs);
  Converter.SetCodecThreads(Request.CodecThreads);
  return true;
}

bool DefaultRunner::Impl::MakeFolder(const std::string& Folder, std::string& Error) {
  std::string Reason;
  if (MadeOutputFolders.Make(Folder, Reason)) return true;
  Error = Folder + ": cannot make the output folder: " + Reason;
  return false;
}

void DefaultRunner::Impl::End(FileTask& File, const FileResult& Result) {
  if (Result.Outcome == FileOutcome::Failed) ++Summary.Failed;
  if (Result.Outcome == FileOutcome::Canceled) ++Summary.Canceled;
  // A run that ended early without anyone asking is a failure.
  if (Result.Outcome == FileOutcome::Stopped && !StopRequested()) ++Summary.StoppedUnasked;
  Observer.Ended(IndexOf(File), File.Source, Result, File.LastProgress, File.Clock.Seconds());
}

void DefaultRunner::Impl::Fail(const std::string& Source, const std::string& Reason) {
  std::lock_guard<std::mutex> Guard(Screen);
  ++Summary.Failed;
  Observer.Ended(-1, Source, FailedWith(Reason), std::nullopt, std::nullopt);
}

std::string DefaultRunner::Impl::OutputFolder(const SourceItem& Source, std::string& Error) {
  if (Request.SameFolder) return std::string();
  std::string Folder = Request.OutputDir;
  if (Source.RelativeFolder.empty()) return Folder;
  // The source's place in the folder given is kept under the output folder.
  Folder = Folder.empty() ? Source.RelativeFolder : Folder + "/" + Source.RelativeFolder;
  return MakeFolder(Folder, Error) ? Folder : std::string();
}

int DefaultRunner::Impl::SegmentCount(const std::string& Source,
                                      const segments::SourcePlan& Planned) {
  const int Count = segments::SegmentCountFor(Request.Segments, Planned, Request.Jobs);
  if (Request.Segments != 0 && Planned.Facts.VideoStreams > 0 && Planned.DurationUs <= 0) {
    std::lock_guard<std::mutex> Guard(Screen);
    Observer.FileNote(Source, "its duration is not known; it is converted in one piece");
  }
  return Count;
}

void DefaultRunner::Impl::AddFile(FileTask File) {
  const int Index = static_cast<int>(Files.size());
  Observer.FileAdded(Index, File.Source, File.Plan.Final);
  Files.push_back(std::move(File));
}

void DefaultRunner::Impl::AddTask(const SourceItem& Item) {
  const std::string& Source = Item.Path;
  const int Index = Converter.AddInputFile(Source);
  if (Index < 0) return Fail(Source, Converter.LastError());
  Converter.Task(Index)->SetCollectTimings(Request.Timings);
  TOutputOptions Options;
  segments::SourcePlan Planned;
  std::string Error;
  // The output's folder is made only for a source that can be converted.
  std::string Folder;
  bool Ready = segments::PlanSource(Converter.Task(Index)->Probe(), Source, Request.Preset,
                                     Planned, Error) &&
               FillOutputOptions(Planned.Options, Options, Error);
  if (Ready) {
    Folder = OutputFolder(Item, Error);
    Ready = Error.empty();
  }
  if (!Ready) {
    Converter.RemoveTask(Index);
    return Fail(Source, Error);
  }
  // A picture the preset changes (an odd size): the log says how.
  if (!Planned.Note.empty()) {
    std::lock_guard<std::mutex> Guard(Screen);
    Observer.Log(DisplayName(Source), Planned.Note);
  }
  const std::string Name = Request.SameFolder ? Source : output::PathInFolder(Folder, Source);
  OutputPlan Plan;
  if (Request.Planned)
    Plan = *Request.Planned;
  else if (!PlanDefaultOutput(Name, Ext, Label, Request.Overwrite, Plan, Error)) {
    Converter.RemoveTask(Index);
    return Fail(Source, Error);
  }
  if (const int Count = SegmentCount(Source, Planned); Count >= 2) {
    // Each piece is a task of its own; this one only looked at the source.
    Converter.RemoveTask(Index);
    return AddSegmentedTasks(Source, Plan, Planned, Count);
  }
  if (!Converter.SetOutputFile(Index, Plan.WriteTo, &Options)) {
    const std::string Message = Converter.LastError();
    Converter.RemoveTask(Index);
    DiscardOutput(Plan);
    return Fail(Source, Message);
  }
  FileTask File;
  File.Source = Source;
  File.Plan = Plan;
  Tasks.push_back(TaskRef{static_cast<int>(Files.size()), -1});
  AddFile(std::move(File));
}

void DefaultRunner::Impl::AddSegmentedTasks(const std::string& Source, const OutputPlan& Plan,
                                            const segments::SourcePlan& Planned, int Count) {
  std::string Error;
  segments::SegmentPlan Pieces = segments::PlanSegments(Source, Planned, Count, Error);
  segments::WorkFolder Folder;
  if (Pieces.Pieces.empty() || !Folder.Make(Plan.Final, Error)) {
    DiscardOutput(Plan);
    return Fail(Source, Error);
  }
  FileTask File;
  File.Source = Source;
  File.Plan = Plan;
  File.Segments = std::make_unique<segments::SegmentedFile>(std::move(Pieces), std::move(Folder),
                                                            Planned.DurationUs);
  const segments::SegmentPlan& Made = File.Segments->Plan();
  const int FileIndex = static_cast<int>(Files.size());
  // The sound first: its pieces are short runs that then fill the jobs
  // while the last segments end, rather than being the last pieces to end.
  std::vector<int> Order;
  for (int S = 0; S < Made.SoundPieces(); ++S) Order.push_back(Made.FirstSoundPiece() + S);
  for (int K = 0; K < Made.Segments(); ++K) Order.push_back(K);
  const size_t FirstTask = Tasks.size();
  // The pieces' tasks take their thread count when their input opens.
  Converter.SetCodecThreads(Request.SegmentCodecThreads);
  struct TRestore {
    TVexAVConverter& C;
    int Threads;
    ~TRestore() { C.SetCodecThreads(Threads); }
  } Restore{Converter, Request.CodecThreads};
  for (int Piece : Order) {
    const segments::Piece& P = Made.Pieces[Piece];
    TInputOptions In;
    ResetInputOptions(In);
    for (const output::TEngineOption& Option : P.InputOptions)
      In.ExtOptions += Option.Name + "=" + Option.Value + "\n";
    TOutputOptions Out;
    int Index = -1;
    if (FillOutputOptions(P.OutputOptions, Out, Error)) {
      Index = Converter.AddInputFile(Source, &In);
      if (Index < 0)
        Error = Converter.LastError();
      else if (!Converter.SetOutputFile(Index, File.Segments->PieceOutput(Piece), &Out))
        Error = Converter.LastError();
      else
        Converter.Task(Index)->SetCollectTimings(Request.Timings);
    }
    if (!Error.empty()) {
      // Nothing of the file runs: its tasks so far go again, newest first.
      if (Index >= 0) Converter.RemoveTask(Index);
      for (size_t T = Tasks.size(); T > FirstTask; --T)
        Converter.RemoveTask(static_cast<int>(T) - 1);
      Tasks.resize(FirstTask);
      DiscardOutput(Plan);
      return Fail(Source, Error);
    }
    Tasks.push_back(TaskRef{FileIndex, Piece});
  }
  AddFile(std::move(File));
}

void DefaultRunner::Impl::Progress(int Index, const ProgressInfo& Info) {
  std::lock_guard<std::mutex> Guard(Screen);
  FileTask& File = Files[Tasks[Index].File];
  if (!File.Clock.Began) {
    // The first Jobs tasks start with the run; each later one when a task
    // before it has ended and freed its job.
    const int Slot = Index - Request.Jobs;
    File.Clock.Began = Slot < 0 || Slot >= static_cast<int>(TaskEnds.size()) ? RunStart
                                                                             : TaskEnds[Slot];
  }
  const ProgressInfo Shown =
      File.Segments ? File.Segments->Progress(Tasks[Index].Piece, Info) : Info;
  File.LastProgress = Shown;
  Observer.Progress(IndexOf(File), File.Source, Shown, *File.Clock.Seconds());
}

void DefaultRunner::Impl::TaskEnded(int Index, bool Finished, bool Exception,
                                    const std::string& Message) {
  std::lock_guard<std::mutex> Guard(Screen);
  TaskEnds.push_back(Clock::now());
  FileTask& File = Files[Tasks[Index].File];
  // The task's run is over: its timings are complete. (A task stopped
  // before it ran has none.)
  if (Request.Timings)
    if (const TFFmpeg* Task = Converter.Task(Index); Task && Task->RunTimings().Collected)
      Observer.Timings(TaskTag(Index), Task->RunTimings());
  if (File.Segments) return PieceEnded(File, Tasks[Index].Piece, Finished, Exception, Message);
  // The engine has released its files before it reports its end.
  if (Finished && !Exception) {
    if (!IsNonEmptyFile(File.Plan.WriteTo)) {
      DiscardOutput(File.Plan);
      return End(File, FailedWith("nothing was written"));
    }
    std::string Error;
    if (!CommitOutput(File.Plan, Error)) return End(File, FailedWith(Error));
    FileResult Result;
    Result.Output = File.Plan.Final;
    return End(File, Result);
  }
  if (Exception) {
    DiscardOutput(File.Plan);
    return End(File, FailedWith(Message));
  }
  FileResult Result;
  if (!File.LastProgress) {
    // Stopped before it ran.
    DiscardOutput(File.Plan);
    Result.Outcome = FileOutcome::Canceled;
    return End(File, Result);
  }
  // What was converted is a playable file, but not the whole source: it is
  // kept under a name that says so, never in the place of a complete one.
  const StoppedOutput Kept = KeepStoppedOutput(File.Plan);
  Result.Outcome = FileOutcome::Stopped;
  Result.Message = "stopped";
  if (const int Percent = PercentDone(*File.LastProgress); Percent >= 0)
    Result.Message += " at " + std::to_string(Percent) + "%";
  Result.Message += Kept.Note;
  Result.Output = Kept.Path;
  if (!Kept.Renamed) Result.Error = Kept.Error;
  End(File, Result);
}

void DefaultRunner::Impl::PieceEnded(FileTask& File, int Piece, bool Finished, bool Exception,
                                     const std::string& Message) {
  using segments::PieceEnd;
  const PieceEnd How = Exception ? PieceEnd::Failed : Finished ? PieceEnd::Done : PieceEnd::Stopped;
  File.Segments->Ended(Piece, How, Message);
  // A finished piece may let the join go on; the last one ends the file.
  // The run's own thread does both.
  if (How != PieceEnd::Done && !File.Segments->AllEnded()) return;
  std::lock_guard<std::mutex> Guard(DoneLock);
  ToSettle.push_back(IndexOf(File));
  DoneSignal.notify_all();
}

// Appends every segment that can be: the next one in order, once it and the
// sound pieces that go with it have finished, while no piece has failed.
void DefaultRunner::Impl::AdvanceJoin(FileTask& File) {
  const segments::SegmentPlan& Plan = File.Segments->Plan();
  if (!File.JoinError.empty()) return;
  for (;;) {
    const int K = File.Join ? File.Join->Appended() : 0;
    if (K >= Plan.Segments()) return;
    {
      std::lock_guard<std::mutex> Guard(Screen);
      if (!segments::CanAppend(*File.Segments, K)) return;
    }
    if (!File.Join)
      File.Join = std::make_unique<segments::StreamJoin>(Plan, File.Segments->Folder().Path(),
                                                         File.Plan.WriteTo);
    File.JoinError = File.Join->Append();
    if (!File.JoinError.empty()) return;
  }
}

void DefaultRunner::Impl::JoinOrSettle(FileTask& File) {
  if (File.Settled) return;
  AdvanceJoin(File);
  bool AllEnded = false;
  {
    std::lock_guard<std::mutex> Guard(Screen);
    AllEnded = File.Segments->AllEnded();
  }
  if (!AllEnded) return;
  File.Settled = true;
  SettleSegmented(File);
}

void DefaultRunner::Impl::SettleSegmented(FileTask& File) {
  segments::SettleRequest Settle;
  {
    std::lock_guard<std::mutex> Guard(Screen);
    Settle.End = File.Segments->Settle();
  }
  // What the join has appended is closed into the output: the whole, or
  // after a stop the leading part.
  segments::EndJoin(std::move(File.Join), File.JoinError, Settle);
  Settle.Plan = &File.Segments->Plan();
  Settle.WorkFolder = File.Segments->Folder().Path();
  Settle.Output = File.Plan;
  Settle.MakeJob = Request.MakeJob;
  Settle.Verbose = Request.Verbose;
  {
    std::lock_guard<std::mutex> Guard(Screen);
    Settle.Last = File.LastProgress;
  }
  const FileResult Result = segments::SettleSegmentedFile(Settle);
  // The routine removed the pieces with their folder.
  File.Segments->RemoveFolder();
  std::lock_guard<std::mutex> Guard(Screen);
  if (Result.Outcome == FileOutcome::Done && File.LastProgress)
    File.LastProgress->CurrentDurationMs = File.LastProgress->TotalOutputDurationMs;
  End(File, Result);
}

std::string DefaultRunner::Impl::PieceTag(const FileTask& File, int Piece) const {
  if (!File.Segments || Piece < 0) return std::string();
  return " (" + segments::PieceName(File.Segments->Plan(), Piece) + ")";
}

std::string DefaultRunner::Impl::TaskTag(int Index) const {
  if (Index < 0 || Index >= static_cast<int>(Tasks.size())) return std::string();
  const FileTask& File = Files[Tasks[Index].File];
  return DisplayName(File.Source) + PieceTag(File, Tasks[Index].Piece);
}

void DefaultRunner::Impl::InstallEvents() {
  Converter.OnTaskProgress = [this](int AIndex, const TRunProgress& AProgress) {
    if (AIndex < 0 || AIndex >= static_cast<int>(Tasks.size())) return;
    Progress(AIndex, AProgress);
  };
  Converter.OnLog = [this](int AIndex, TLogLevel Level, const std::string& AMsg) {
    // The message of an error that ended a run: the file's failure says it
    // already.
    if (Level == TLogLevel::llQuiet) return;
    std::string Text = AMsg;
    while (!Text.empty() && (Text.back() == '\n' || Text.back() == '\r')) Text.pop_back();
    const std::string Tag = TaskTag(AIndex);
    std::lock_guard<std::mutex> Guard(Screen);
    Observer.Log(Tag, Text);
  };
  Converter.OnTerminate = [this](int AIndex, bool AFinished, bool AException,
                                 const std::string& AMessage) {
    if (AIndex < 0) {
      std::lock_guard<std::mutex> Guard(DoneLock);
      Done = true;
      DoneSignal.notify_all();
      return;
    }
    if (AIndex < static_cast<int>(Tasks.size())) TaskEnded(AIndex, AFinished, AException, AMessage);
  };
}

void DefaultRunner::Impl::RunTasks() {
  if (Tasks.empty()) return;
  RunStart = Clock::now();
  if (!Converter.Start(Request.Jobs)) {
    std::lock_guard<std::mutex> Guard(Screen);
    Observer.RunError(std::string(), Converter.LastError());
    for (FileTask& File : Files) DiscardOutput(File.Plan);
    Summary.Started = false;
    Summary.Failed += static_cast<int>(Files.size());
    return;
  }
  Stopper.Started();
  std::unique_lock<std::mutex> Guard(DoneLock);
  for (;;) {
    DoneSignal.wait(Guard, [&] { return Done || !ToSettle.empty(); });
    if (ToSettle.empty()) break;
    const int Settled = ToSettle.front();
    ToSettle.pop_front();
    Guard.unlock();
    JoinOrSettle(Files[Settled]);
    Guard.lock();
  }
}

DefaultRunSummary DefaultRunner::Impl::Run() {
  if (!SetUpConverter()) return Summary;
  // A preset whose encoders the libraries lack is refused before anything
  // is made or written.
  if (const std::string Why = output::PresetUnavailable(Preset); !Why.empty()) {
    Observer.RunError(std::string(), "preset '" + Label + "' " + Why);
    return Summary;
  }
  if (!Request.SameFolder && !Request.OutputDir.empty()) {
    std::string Reason;
    if (!MadeOutputFolders.Make(Request.OutputDir, Reason)) {
      Observer.RunError(Request.OutputDir, "cannot make the output folder: " + Reason);
      return Summary;
    }
  }
  Summary.Started = true;
  // Files refer to one another's slots by index: no reallocation while the
  // run's events come.
  Files.reserve(Request.Sources.size());
  for (const SourceItem& Source : Request.Sources) {
    if (StopRequested()) break;
    AddTask(Source);
  }
  InstallEvents();
  RunTasks();
  Stopper.Ended();
  // Every task closes its files when it is freed.
  Converter.ClearTasks();
  // The folders made for outputs that never came go now.
  MadeOutputFolders.RemoveEmpty();
  return Summary;
}

DefaultRunner::DefaultRunner(const DefaultRunRequest& Request, DefaultRunObserver& Observer)
    : Self(std::make_unique<Impl>(Request, Observer)) {}

DefaultRunner::~DefaultRunner() = default;

DefaultRunSummary DefaultRunner::Run() { return Self->Run(); }

ConversionJob& DefaultRunner::StopHandle() { return Self->StopHandle(); }

}  // namespace vexav::batch
