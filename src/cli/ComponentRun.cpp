#include "cli/ComponentRun.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "cli/JsonProgress.h"
#include "cli/OutputFiles.h"
#include "cli/ProbeCommand.h"
#include "cli/SourceList.h"
#include "cli/TimingsLine.h"
#include "cli/segments/SegmentedFile.h"
#include "cli/segments/SourcePlan.h"
#include "component/OutputNaming.h"
#include "component/Presets.h"
#include "component/TaskList.h"
#include "component/VexAVConverter.h"

namespace vexav::cli {
namespace {

constexpr const char* ProgramName = "vexav-convert";
// Progress reports during a run: every 200 ms, often enough for a bar.
constexpr int ProgressIntervalMs = 200;

using Clock = std::chrono::steady_clock;

void PrintLine(std::FILE* File, const std::string& Text) {
  std::fputs((Text + "\n").c_str(), File);
  std::fflush(File);
}

TLogLevel LevelFromName(const std::string& Name) {
  if (Name == "error") return TLogLevel::llError;
  if (Name == "info") return TLogLevel::llInfo;
  if (Name == "debug") return TLogLevel::llDebug;
  if (Name == "all") return TLogLevel::llAll;
  return TLogLevel::llQuiet;
}

// Makes Folder with its parents when missing (noted in Made, which removes
// them again at the end when nothing went into them); false with Error when
// it cannot be made or is not a folder.
bool MakeFolder(MadeFolders& Made, const std::string& Folder, std::string& Error) {
  std::string Reason;
  if (Made.Make(Folder, Reason)) return true;
  Error = FileMessage(Folder, "cannot make the output folder: " + Reason);
  return false;
}

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

struct FileTask {
  std::string Source;
  OutputPlan Plan;  // Plan.WriteTo is what the task writes
  std::unique_ptr<ProgressDisplay> Display;
  std::optional<ProgressInfo> LastProgress;
  FileClock Clock;
  // What came of it, once its run has ended: the path printed (the output,
  // or the part kept of a stopped one), "" when there is none.
  std::string Printed;
  // A file converted in segments: its pieces' state (nullptr: one task
  // converts the whole file).
  std::unique_ptr<segments::SegmentedFile> Segments;
};

// A task of the converter: the file it works for, and which of the file's
// pieces it converts (-1: the whole file).
struct TaskRef {
  int File = 0;
  int Piece = -1;
};

// One run of the default mode: the sources become tasks of one converter,
// which runs them --jobs at a time; each task's end is reported as it comes
// (progress display or JSON lines), the output paths in the files' order
// at the end.
class DefaultRun {
 public:
  DefaultRun(const CommandLine& Line, const ConvertEnvironment& Env)
      : Line(Line), Env(Env), Json(Line.Json ? Env.Json : nullptr), Stopper(Converter) {}
  int Run();

 private:
  bool CollectSources(std::vector<SourceItem>& Sources);
  bool SetUpConverter();
  void AddTask(const SourceItem& Source);
  std::string OutputFolder(const SourceItem& Source, std::string& Error) const;
  int SegmentCount(const std::string& Source, const segments::SourcePlan& Planned);
  void AddSegmentedTasks(const std::string& Source, const OutputPlan& Plan,
                         const segments::SourcePlan& Planned, int Count);
  void PieceEnded(FileTask& File, int Piece, bool Finished, bool Exception,
                  const std::string& Message);
  void SettleSegmented(FileTask& File);
  std::string PieceTag(const FileTask& File, int Piece) const;
  // A source's entry in the file list, with its progress display.
  FileTask NewFile(const std::string& Source, const OutputPlan& Plan) const;
  // One line redrawn in place cannot show several files at once.
  bool OneLineAtATime() const { return Jobs == 1 || SourceCount == 1; }
  void InstallEvents();
  void Progress(int Index, const ProgressInfo& Info);
  void TaskEnded(int Index, bool Finished, bool Exception, const std::string& Message);
  void Converted(FileTask& File);
  void Stopped(FileTask& File);
  void RunTasks();
  // A file that failed: its line on standard error (and its JSON result).
  void Fail(const std::string& Source, const std::string& Reason, const FileTask* File = nullptr);
  void Result(const FileTask& File, const char* Status, const std::string& Output,
              const std::string& Error = std::string());
  bool StopRequested() const { return Env.Stop && Env.Stop->StopRequested(); }

  const CommandLine& Line;
  const ConvertEnvironment& Env;
  const output::TFormatPreset& Preset = output::kFormats[output::kDefaultFormatIndex];
  const std::string Ext = output::FormatExtension(Preset.ItemText);
  const std::string Label = output::FormatLabel(Preset.ItemText);
  const int Jobs = Line.EffectiveJobs();
  JsonReporter* const Json;
  // The output folders this run made: those left empty go at its end,
  // after the converter below has closed its files.
  mutable MadeFolders MadeOutputFolders;

  std::mutex Screen;            // around every output, and the fields below
  std::vector<FileTask> Files;  // in the order of the sources
  std::vector<TaskRef> Tasks;   // by the component's index
  int Status = ExitOk;
  int NotConverted = 0;
  size_t SourceCount = 0;
  Clock::time_point RunStart;
  std::vector<Clock::time_point> TaskEnds;  // each ended task frees a job for the next

  std::mutex DoneLock;
  std::condition_variable DoneSignal;
  bool Done = false;
  // Segmented files whose pieces have all ended, to be joined or settled
  // on the main thread (a join is a run of its own).
  std::deque<int> ToSettle;

  // Last, so that the converter goes first, before what its events use.
  TVexAVConverter Converter;
  ComponentStopper Stopper;
};

bool DefaultRun::CollectSources(std::vector<SourceItem>& Sources) {
  std::vector<std::string> Arguments = Line.Files;
  if (!Line.FromList.empty()) {
    std::string Error;
    if (!ReadSourceList(Line.FromList, Env.In, Arguments, Error)) {
      PrintLine(Env.Err, std::string(ProgramName) + ": " + Error);
      return false;
    }
  }
  std::vector<std::string> Errors;
  Sources = ExpandSources(Arguments, Errors);
  for (const std::string& Error : Errors) {
    PrintLine(Env.Err, Error);
    Status = ExitFailed;
  }
  return true;
}

bool DefaultRun::SetUpConverter() {
  TLogLevel Level = LevelFromName(Line.LogLevel);
  if (Env.Verbose && Level == TLogLevel::llQuiet) Level = TLogLevel::llInfo;
  Converter.SetLogLevel(Level);
  // Already bound: this installs the log capture.
  if (!Converter.LoadLibraries(Env.LibFolder)) {
    PrintLine(Env.Err, std::string(ProgramName) + ": " + Converter.LastError());
    return false;
  }
  Converter.SetProgressInterval(ProgressIntervalMs);
  // Checked when the command line was read.
  Converter.SetCodecThreads(Line.EffectiveCodecThreads());
  return true;
}

void DefaultRun::Result(const FileTask& File, const char* Status, const std::string& Output,
                        const std::string& Error) {
  if (!Json) return;
  JsonRecord Record;
  Record.File = File.Source;
  Record.Status = Status;
  Record.Progress = File.LastProgress;
  if (File.Clock.Started()) Record.ElapsedSeconds = File.Clock.Seconds();
  Record.Output = Output;
  Record.Error = Error;
  Json->Write(Record);
}

void DefaultRun::Fail(const std::string& Source, const std::string& Reason, const FileTask* File) {
  PrintLine(Env.Err, FileMessage(Source, Reason));
  if (Env.Report) Env.Report->Ended(Source, FileOutcome::Failed, FileMessage(Source, Reason), "");
  Status = ExitFailed;
  FileTask Unstarted;
  Unstarted.Source = Source;
  // The JSON line has the file apart: its error is the reason alone.
  const std::string Prefix = Source + ": ";
  const std::string Alone = Reason.rfind(Prefix, 0) == 0 ? Reason.substr(Prefix.size()) : Reason;
  Result(File ? *File : Unstarted, "failed", std::string(), OneLine(Alone));
}

std::string DefaultRun::OutputFolder(const SourceItem& Source, std::string& Error) const {
  if (Line.SameFolder) return std::string();
  std::string Folder = Line.OutputDir;
  if (Source.RelativeFolder.empty()) return Folder;
  // The source's place in the folder given is kept under the output folder.
  Folder = Folder.empty() ? Source.RelativeFolder : Folder + "/" + Source.RelativeFolder;
  return MakeFolder(MadeOutputFolders, Folder, Error) ? Folder : std::string();
}

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

int DefaultRun::SegmentCount(const std::string& Source, const segments::SourcePlan& Planned) {
  const int Count = segments::SegmentCountFor(Line.Segments, Planned, Jobs);
  if (Line.Segments != 0 && Planned.Facts.VideoStreams > 0 && Planned.DurationUs <= 0) {
    std::lock_guard<std::mutex> Guard(Screen);
    PrintLine(Env.Err,
              FileMessage(Source, "its duration is not known; it is converted in one piece"));
  }
  return Count;
}

void DefaultRun::AddTask(const SourceItem& Item) {
  const std::string& Source = Item.Path;
  const int Index = Converter.AddInputFile(Source);
  if (Index < 0) return Fail(Source, Converter.LastError());
  Converter.Task(Index)->SetCollectTimings(Line.Timings);
  TOutputOptions Options;
  segments::SourcePlan Planned;
  std::string Error;
  // The output's folder is made only for a source that can be converted.
  std::string Folder;
  bool Ready = segments::PlanSource(Converter.Task(Index)->Probe(), Source, Planned, Error) &&
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
  if (Planned.Facts.VideoStreams > 0) {
    const TVideoStreamInfo& Video = Planned.Facts.Video;
    const std::string Note = output::FitPicture(&Preset, Video.Width, Video.Height).Note;
    if (!Note.empty()) PrintLine(Env.Err, SourceLogLine(Source, Note));
  }
  const std::string Name = Line.SameFolder ? Source : output::PathInFolder(Folder, Source);
  OutputPlan Plan;
  if (Env.Planned)
    Plan = *Env.Planned;
  else if (!PlanDefaultOutput(Name, Ext, Label, Line.Overwrite, Plan, Error)) {
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
  FileTask File = NewFile(Source, Plan);
  Tasks.push_back(TaskRef{static_cast<int>(Files.size()), -1});
  Files.push_back(std::move(File));
}

FileTask DefaultRun::NewFile(const std::string& Source, const OutputPlan& Plan) const {
  FileTask File;
  File.Source = Source;
  File.Plan = Plan;
  File.Display = std::make_unique<ProgressDisplay>(Env.Err, Env.Terminal && OneLineAtATime(),
                                                   DisplayName(Source), Env.Columns);
  return File;
}

void DefaultRun::AddSegmentedTasks(const std::string& Source, const OutputPlan& Plan,
                                   const segments::SourcePlan& Planned, int Count) {
  std::string Error;
  segments::SegmentPlan Pieces = segments::PlanSegments(Source, Planned, Count, Error);
  segments::WorkFolder Folder;
  if (Pieces.Pieces.empty() || !Folder.Make(Plan.Final, Error)) {
    DiscardOutput(Plan);
    return Fail(Source, Error);
  }
  // The pieces' progress makes one line, so a terminal's bar still works
  // with one file.
  FileTask File = NewFile(Source, Plan);
  File.Segments = std::make_unique<segments::SegmentedFile>(std::move(Pieces), std::move(Folder),
                                                            Planned.DurationUs);
  const segments::SegmentPlan& Made = File.Segments->Plan();
  const int FileIndex = static_cast<int>(Files.size());
  // The sound first: it is one run over the whole source, so it starts
  // early rather than being the last piece to end.
  std::vector<int> Order;
  if (Made.HasSound()) Order.push_back(static_cast<int>(Made.Pieces.size()) - 1);
  for (int K = 0; K < Made.Segments(); ++K) Order.push_back(K);
  const size_t FirstTask = Tasks.size();
  // The pieces' tasks take their thread count when their input opens.
  Converter.SetCodecThreads(CommandLine::SegmentCodecThreads);
  struct TRestore {
    TVexAVConverter& C;
    int Threads;
    ~TRestore() { C.SetCodecThreads(Threads); }
  } Restore{Converter, Line.EffectiveCodecThreads()};
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
        Converter.Task(Index)->SetCollectTimings(Line.Timings);
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
  Files.push_back(std::move(File));
}

void DefaultRun::Progress(int Index, const ProgressInfo& Info) {
  std::lock_guard<std::mutex> Guard(Screen);
  FileTask& File = Files[Tasks[Index].File];
  if (!File.Clock.Started()) {
    // The first Jobs tasks start with the run; each later one when a task
    // before it has ended and freed its job.
    const int Slot = Index - Jobs;
    File.Clock.StartAt(Slot < 0 || Slot >= static_cast<int>(TaskEnds.size()) ? RunStart
                                                                             : TaskEnds[Slot]);
  }
  const ProgressInfo Shown =
      File.Segments ? File.Segments->Progress(Tasks[Index].Piece, Info) : Info;
  File.LastProgress = Shown;
  if (Env.Report) Env.Report->Progress(File.Source, Shown);
  if (!Json) return File.Display->Update(Shown);
  JsonRecord Record;
  Record.File = File.Source;
  Record.Status = "converting";
  Record.Progress = Shown;
  Record.ElapsedSeconds = File.Clock.Seconds();
  Record.Output = File.Plan.Final;
  Json->Write(Record);
}

void DefaultRun::Converted(FileTask& File) {
  if (!IsNonEmptyFile(File.Plan.WriteTo)) {
    DiscardOutput(File.Plan);
    return Fail(File.Source, "nothing was written", &File);
  }
  std::string Error;
  if (!CommitOutput(File.Plan, Error)) return Fail(File.Source, Error, &File);
  File.Printed = File.Plan.Final;
  if (Env.Report) Env.Report->Ended(File.Source, FileOutcome::Done, "", File.Printed);
  Result(File, "done", File.Printed);
}

void DefaultRun::Stopped(FileTask& File) {
  // What was converted is a playable file, but not the whole source: it is
  // kept under a name that says so, never in the place of a complete one.
  const StoppedOutput Kept = KeepStoppedOutput(File.Plan);
  std::string Text = "stopped";
  const int Percent = File.LastProgress ? ProgressDisplay::Percent(*File.LastProgress) : -1;
  if (Percent >= 0) Text += " at " + std::to_string(Percent) + "%";
  PrintLine(Env.Err, FileMessage(File.Source, Text + Kept.Note));
  if (Env.Report) Env.Report->Ended(File.Source, FileOutcome::Stopped, Text + Kept.Note, Kept.Path);
  File.Printed = Kept.Path;
  Result(File, "stopped", Kept.Path, Kept.Renamed ? std::string() : OneLine(Kept.Error));
  // A run that ended early without anyone asking is a failure.
  if (!StopRequested()) Status = ExitFailed;
}

void DefaultRun::TaskEnded(int Index, bool Finished, bool Exception, const std::string& Message) {
  std::lock_guard<std::mutex> Guard(Screen);
  TaskEnds.push_back(Clock::now());
  FileTask& File = Files[Tasks[Index].File];
  const bool Succeeded = Finished && !Exception;
  // The task's run is over: its timings are complete. (A task stopped
  // before it ran has none.)
  if (Line.Timings)
    if (const TFFmpeg* Task = Converter.Task(Index); Task && Task->RunTimings().Collected)
      PrintLine(Env.Err, TimingsLine(DisplayName(File.Source) + PieceTag(File, Tasks[Index].Piece),
                                     Task->RunTimings()));
  if (File.Segments) return PieceEnded(File, Tasks[Index].Piece, Finished, Exception, Message);
  if (!Json) File.Display->Finish(Succeeded);
  // The engine has released its files before it reports its end.
  if (Succeeded) return Converted(File);
  if (Exception) {
    DiscardOutput(File.Plan);
    return Fail(File.Source, Message, &File);
  }
  if (!File.LastProgress) {
    // Stopped before it ran.
    DiscardOutput(File.Plan);
    ++NotConverted;
    if (Env.Report) Env.Report->Ended(File.Source, FileOutcome::Stopped, "not converted", "");
    return Result(File, "canceled", std::string());
  }
  Stopped(File);
}

void DefaultRun::PieceEnded(FileTask& File, int Piece, bool Finished, bool Exception,
                            const std::string& Message) {
  using segments::PieceEnd;
  const PieceEnd How = Exception ? PieceEnd::Failed : Finished ? PieceEnd::Done : PieceEnd::Stopped;
  File.Segments->Ended(Piece, How, Message);
  if (!File.Segments->AllEnded()) return;
  // The join is a run of its own: the main thread does it.
  std::lock_guard<std::mutex> Guard(DoneLock);
  ToSettle.push_back(static_cast<int>(&File - Files.data()));
  DoneSignal.notify_all();
}

void DefaultRun::SettleSegmented(FileTask& File) {
  using segments::FileEnd;
  const FileEnd End = File.Segments->Settle();
  std::string JoinError;
  if (End.Type != FileEnd::Kind::Failed && End.KeptSegments > 0) {
    segments::JoinRequest Request;
    Request.Plan = &File.Segments->Plan();
    Request.Folder = File.Segments->Folder().Path();
    Request.Segments = End.KeptSegments;
    Request.WithSound = End.WithSound;
    Request.Output = File.Plan.WriteTo;
    JoinError = segments::JoinPieces(Request, Env.MakeJob, Env.Verbose);
  }
  // The pieces are not needed any more, whatever came of them.
  File.Segments->RemoveFolder();
  std::lock_guard<std::mutex> Guard(Screen);
  const bool Joined = End.Type == FileEnd::Kind::Join && JoinError.empty();
  if (Joined && File.LastProgress)
    File.LastProgress->CurrentDurationMs = File.LastProgress->TotalOutputDurationMs;
  if (!Json) File.Display->Finish(Joined);
  if (Joined) return Converted(File);
  if (End.Type == FileEnd::Kind::Failed ||
      (End.Type == FileEnd::Kind::Join && !JoinError.empty())) {
    DiscardOutput(File.Plan);
    return Fail(File.Source, End.Type == FileEnd::Kind::Failed ? End.Message : JoinError, &File);
  }
  if (!File.LastProgress) {
    // Stopped before any piece ran.
    DiscardOutput(File.Plan);
    ++NotConverted;
    if (Env.Report) Env.Report->Ended(File.Source, FileOutcome::Stopped, "not converted", "");
    return Result(File, "canceled", std::string());
  }
  if (End.KeptSegments == 0 || !JoinError.empty()) {
    // Stopped before a segment was complete: there is no part to keep.
    DiscardOutput(File.Plan);
    const std::string Text =
        End.KeptSegments == 0 ? "stopped before its first segment was converted; nothing is kept"
                              : "stopped; the segments converted could not be joined: " + JoinError;
    PrintLine(Env.Err, FileMessage(File.Source, Text));
    if (Env.Report) Env.Report->Ended(File.Source, FileOutcome::Stopped, Text, "");
    Result(File, "stopped", std::string());
    if (!StopRequested()) Status = ExitFailed;
    return;
  }
  Stopped(File);
}

std::string DefaultRun::PieceTag(const FileTask& File, int Piece) const {
  if (!File.Segments || Piece < 0) return std::string();
  const segments::Piece& P = File.Segments->Plan().Pieces[Piece];
  if (P.Type == segments::Piece::Kind::Sound) return " (sound)";
  return " (segment " + std::to_string(P.Number + 1) + " of " +
         std::to_string(File.Segments->Plan().Segments()) + ")";
}

void DefaultRun::InstallEvents() {
  Converter.OnTaskProgress = [this](int AIndex, const TRunProgress& AProgress) {
    if (AIndex < 0 || AIndex >= static_cast<int>(Tasks.size())) return;
    Progress(AIndex, AProgress);
  };
  Converter.OnLog = [this](int AIndex, TLogLevel Level, const std::string& AMsg) {
    // The message of an error that ended a run: the file's failure line
    // says it already.
    if (Level == TLogLevel::llQuiet) return;
    std::string Text = AMsg;
    while (!Text.empty() && (Text.back() == '\n' || Text.back() == '\r')) Text.pop_back();
    std::string Tag = ProgramName;
    if (AIndex >= 0 && AIndex < static_cast<int>(Tasks.size())) {
      const FileTask& File = Files[Tasks[AIndex].File];
      Tag = DisplayName(File.Source) + PieceTag(File, Tasks[AIndex].Piece);
    }
    std::lock_guard<std::mutex> Guard(Screen);
    PrintLine(Env.Err, "[" + Tag + "] " + Text);
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

void DefaultRun::RunTasks() {
  if (Tasks.empty()) return;
  RunStart = Clock::now();
  if (!Converter.Start(Jobs)) {
    std::lock_guard<std::mutex> Guard(Screen);
    PrintLine(Env.Err, std::string(ProgramName) + ": " + Converter.LastError());
    for (FileTask& File : Files) DiscardOutput(File.Plan);
    Status = ExitFailed;
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
    SettleSegmented(Files[Settled]);
    Guard.lock();
  }
}

int DefaultRun::Run() {
  if (!Line.OutputDir.empty()) {
    std::string Error;
    if (!MakeFolder(MadeOutputFolders, Line.OutputDir, Error)) {
      PrintLine(Env.Err, Error);
      return ExitFailed;
    }
  }
  std::vector<SourceItem> Sources;
  if (!CollectSources(Sources)) return ExitFailed;
  if (!SetUpConverter()) return ExitFailed;
  if (Env.Stop) Env.Stop->Register(&Stopper);
  SourceCount = Sources.size();
  for (const SourceItem& Source : Sources) {
    if (StopRequested()) break;
    AddTask(Source);
  }
  InstallEvents();
  RunTasks();
  Stopper.Ended();
  if (Env.Stop) Env.Stop->Unregister();
  // Every task closes its files when it is freed.
  Converter.ClearTasks();

  // The outputs (and the parts kept of stopped ones), in the files' order.
  if (!Json)
    for (const FileTask& File : Files)
      if (!File.Printed.empty()) PrintLine(Env.Out, File.Printed);
  if (StopRequested()) {
    if (NotConverted > 0)
      PrintLine(Env.Err, std::string(ProgramName) + ": stopped; " + std::to_string(NotConverted) +
                             (NotConverted == 1 ? " file was" : " files were") + " not converted");
    return ExitInterrupted;
  }
  return Status;
}

}  // namespace

int RunDefaultOnComponent(const CommandLine& Line, const ConvertEnvironment& Env) {
  DefaultRun Run(Line, Env);
  return Run.Run();
}

}  // namespace vexav::cli
