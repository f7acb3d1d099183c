#include "cli/ComponentRun.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "cli/OutputFiles.h"
#include "cli/ProbeCommand.h"
#include "cli/TimingsLine.h"
#include "component/OutputNaming.h"
#include "component/Presets.h"
#include "component/VexAVConverter.h"

namespace vexav::cli {
namespace {

constexpr const char* ProgramName = "vexav-convert";
// Progress reports during a run: every 200 ms, often enough for a bar.
constexpr int ProgressIntervalMs = 200;

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
  std::string Output;  // what the task writes: Plan.WriteTo
  OutputPlan Plan;
  std::unique_ptr<ProgressDisplay> Display;
  bool Progressed = false;
  bool Converted = false;  // the task finished without an error
};

}  // namespace

int RunDefaultOnComponent(const CommandLine& Line, const ConvertEnvironment& Env) {
  if (!Line.OutputDir.empty()) {
    std::error_code Error;
    std::filesystem::create_directories(Line.OutputDir, Error);
    if (Error || !std::filesystem::is_directory(Line.OutputDir)) {
      PrintLine(Env.Err, FileMessage(Line.OutputDir,
                                     "cannot make the output folder: " +
                                         (Error ? Error.message() : std::string("not a folder"))));
      return ExitFailed;
    }
  }
  const output::TFormatPreset& Preset = output::kFormats[output::kDefaultFormatIndex];
  const std::string Ext = output::FormatExtension(Preset.ItemText);
  const std::string Label = output::FormatLabel(Preset.ItemText);
  const int Jobs = std::max(Line.Jobs, 1);
  // One line redrawn in place cannot show several files at once.
  const bool Terminal = Env.Terminal && Jobs == 1;

  std::mutex Screen;  // around every output to the terminal
  int Status = ExitOk;
  std::vector<FileTask> Tasks;  // by the component's index
  auto Fail = [&](const std::string& Source, const std::string& Reason) {
    std::lock_guard<std::mutex> Guard(Screen);
    PrintLine(Env.Err, FileMessage(Source, Reason));
    if (Env.Report) Env.Report->Ended(Source, FileOutcome::Failed, FileMessage(Source, Reason), "");
    Status = ExitFailed;
  };

  TVexAVConverter Converter;
  TLogLevel Level = LevelFromName(Line.LogLevel);
  if (Env.Verbose && Level == TLogLevel::llQuiet) Level = TLogLevel::llInfo;
  Converter.SetLogLevel(Level);
  // Already bound: this installs the log capture.
  if (!Converter.LoadLibraries(Env.LibFolder)) {
    PrintLine(Env.Err, std::string(ProgramName) + ": " + Converter.LastError());
    return ExitFailed;
  }
  Converter.SetProgressInterval(ProgressIntervalMs);
  // Checked when the command line was read.
  Converter.SetCodecThreads(Line.EffectiveCodecThreads());
  ComponentStopper Stopper(Converter);
  if (Env.Stop) Env.Stop->Register(&Stopper);

  for (const std::string& Source : Line.Files) {
    if (Env.Stop && Env.Stop->StopRequested()) break;
    const int Index = Converter.AddInputFile(Source);
    if (Index < 0) {
      Fail(Source, Converter.LastError());
      continue;
    }
    TFFmpeg* Task = Converter.Task(Index);
    Task->SetCollectTimings(Line.Timings);
    SourceFacts Facts;
    Facts.VideoStreams = Task->Probe().VideoStreamCount();
    Facts.AudioStreams = Task->Probe().AudioStreamCount();
    if (Facts.VideoStreams > 0) Task->Probe().GetDefaultVideoInfo(Facts.Video);
    if (Facts.AudioStreams > 0) Task->Probe().GetDefaultAudioInfo(Facts.Audio);
    const bool AudioOnly = output::IsAudioOnly(Ext, Source) || Facts.VideoStreams == 0;
    if (AudioOnly && Facts.AudioStreams == 0) {
      Converter.RemoveTask(Index);
      Fail(Source, "no audio or video stream to convert");
      continue;
    }
    const output::TOutputSettings Settings =
        output::MakeOutputSettings(&Preset, AudioOnly, Facts.Audio, Facts.Video);
    // The preset's options as free option lines; the two that the record
    // always applies go into its fields, so that they are not overridden.
    TOutputOptions Options;
    ResetOutputOptions(Options);
    try {
      for (const output::TEngineOption& Option : output::EngineOptions(Settings)) {
        if (Option.Name == "async")
          Options.AudioSync = std::stoi(Option.Value);
        else if (Option.Name == "vsync")
          Options.VideoSync = std::stoi(Option.Value);
        else
          Options.ExtOptions += Option.Name + "=" + Option.Value + "\n";
      }
    } catch (const std::exception& E) {
      Converter.RemoveTask(Index);
      Fail(Source, E.what());
      continue;
    }
    const std::string Name =
        Line.SameFolder ? Source : output::PathInFolder(Line.OutputDir, Source);
    OutputPlan Plan;
    std::string Error;
    if (Env.Planned)
      Plan = *Env.Planned;
    else if (!PlanDefaultOutput(Name, Ext, Label, Line.Overwrite, Plan, Error)) {
      Converter.RemoveTask(Index);
      Fail(Source, Error);
      continue;
    }
    const std::string Reserved = Plan.WriteTo;
    if (!Converter.SetOutputFile(Index, Reserved, &Options)) {
      const std::string Message = Converter.LastError();
      Converter.RemoveTask(Index);
      DiscardOutput(Plan);
      Fail(Source, Message);
      continue;
    }
    FileTask File;
    File.Source = Source;
    File.Output = Reserved;
    File.Plan = Plan;
    File.Display =
        std::make_unique<ProgressDisplay>(Env.Err, Terminal, DisplayName(Source), Env.Columns);
    Tasks.push_back(std::move(File));
  }

  std::mutex DoneLock;
  std::condition_variable DoneSignal;
  bool Done = false;
  int NotConverted = 0;

  Converter.OnProgress = [&](int AIndex, int AFrameNumber, int AFPS, int ACurrentDuration,
                             float AQuality, float ABitRate, int64_t ACurrentSize,
                             int ATotalOutputDuration) {
    if (AIndex < 0 || AIndex >= static_cast<int>(Tasks.size())) return;
    ProgressInfo Info;
    Info.FrameNumber = AFrameNumber;
    Info.Fps = AFPS;
    Info.CurrentDurationMs = ACurrentDuration;
    Info.Quality = AQuality;
    Info.BitRate = ABitRate;
    Info.CurrentSize = ACurrentSize;
    Info.TotalOutputDurationMs = ATotalOutputDuration;
    std::lock_guard<std::mutex> Guard(Screen);
    Tasks[AIndex].Progressed = true;
    Tasks[AIndex].Display->Update(Info);
    if (Env.Report) Env.Report->Progress(Tasks[AIndex].Source, Info);
  };
  Converter.OnLog = [&](int AIndex, TLogLevel, const std::string& AMsg) {
    std::string Text = AMsg;
    while (!Text.empty() && (Text.back() == '\n' || Text.back() == '\r')) Text.pop_back();
    const std::string Tag = AIndex >= 0 && AIndex < static_cast<int>(Tasks.size())
                                ? DisplayName(Tasks[AIndex].Source)
                                : std::string(ProgramName);
    std::lock_guard<std::mutex> Guard(Screen);
    PrintLine(Env.Err, "[" + Tag + "] " + Text);
  };
  Converter.OnTerminate = [&](int AIndex, bool AFinished, bool AException,
                              const std::string& AMessage) {
    if (AIndex < 0) {
      std::lock_guard<std::mutex> Guard(DoneLock);
      Done = true;
      DoneSignal.notify_all();
      return;
    }
    if (AIndex >= static_cast<int>(Tasks.size())) return;
    FileTask& File = Tasks[AIndex];
    std::lock_guard<std::mutex> Guard(Screen);
    const bool Succeeded = AFinished && !AException;
    File.Display->Finish(Succeeded);
    // The task's run is over: its timings are complete. (A task stopped
    // before it ran has none.)
    if (Line.Timings)
      if (const TFFmpeg* Task = Converter.Task(AIndex); Task && Task->RunTimings().Collected)
        PrintLine(Env.Err, TimingsLine(DisplayName(File.Source), Task->RunTimings()));
    if (Succeeded) {
      // The output is complete only once the task has closed it; its size
      // is checked after the run.
      File.Converted = true;
      return;
    }
    if (AException) {
      RemoveOwnOutput(File.Output);
      PrintLine(Env.Err, FileMessage(File.Source, AMessage));
      if (Env.Report)
        Env.Report->Ended(File.Source, FileOutcome::Failed, FileMessage(File.Source, AMessage), "");
      Status = ExitFailed;
      return;
    }
    if (!File.Progressed) {
      // Stopped before it ran.
      RemoveOwnOutput(File.Output);
      File.Output.clear();
      ++NotConverted;
      if (Env.Report) Env.Report->Ended(File.Source, FileOutcome::Stopped, "not converted", "");
      return;
    }
    if (File.Plan.Replaces) {
      // A stopped conversion does not take the old file's place.
      RemoveOwnOutput(File.Output);
      const std::string Message = "stopped; " + File.Plan.Final + " was left as it was";
      PrintLine(Env.Err, FileMessage(File.Source, Message));
      if (Env.Report) Env.Report->Ended(File.Source, FileOutcome::Stopped, Message, "");
    } else {
      const std::string Message = "stopped; the part converted so far is in " + File.Output;
      PrintLine(Env.Err, FileMessage(File.Source, Message));
      if (Env.Report) Env.Report->Ended(File.Source, FileOutcome::Stopped, Message, File.Output);
    }
    File.Output.clear();
    if (!(Env.Stop && Env.Stop->StopRequested())) Status = ExitFailed;
  };

  if (!Tasks.empty()) {
    if (!Converter.Start(Jobs)) {
      std::lock_guard<std::mutex> Guard(Screen);
      PrintLine(Env.Err, std::string(ProgramName) + ": " + Converter.LastError());
      if (Env.Stop) Env.Stop->Unregister();
      for (FileTask& File : Tasks) RemoveOwnOutput(File.Output);
      return ExitFailed;
    }
    Stopper.Started();
    std::unique_lock<std::mutex> Guard(DoneLock);
    DoneSignal.wait(Guard, [&] { return Done; });
  }
  Stopper.Ended();
  if (Env.Stop) Env.Stop->Unregister();
  // Every task closes its files when it is freed.
  Converter.ClearTasks();

  // The outputs, in the files' order.
  for (FileTask& File : Tasks) {
    if (!File.Converted) continue;
    if (!IsNonEmptyFile(File.Output)) {
      RemoveOwnOutput(File.Output);
      PrintLine(Env.Err, FileMessage(File.Source, "nothing was written"));
      if (Env.Report)
        Env.Report->Ended(File.Source, FileOutcome::Failed,
                          FileMessage(File.Source, "nothing was written"), "");
      Status = ExitFailed;
      continue;
    }
    std::string CommitError;
    if (!CommitOutput(File.Plan, CommitError)) {
      PrintLine(Env.Err, FileMessage(File.Source, CommitError));
      if (Env.Report)
        Env.Report->Ended(File.Source, FileOutcome::Failed, FileMessage(File.Source, CommitError),
                          "");
      Status = ExitFailed;
      continue;
    }
    PrintLine(Env.Out, File.Plan.Final);
    if (Env.Report) Env.Report->Ended(File.Source, FileOutcome::Done, "", File.Plan.Final);
  }
  if (Env.Stop && Env.Stop->StopRequested()) {
    if (NotConverted > 0)
      PrintLine(Env.Err, std::string(ProgramName) + ": stopped; " + std::to_string(NotConverted) +
                             (NotConverted == 1 ? " file was" : " files were") + " not converted");
    return ExitInterrupted;
  }
  return Status;
}

}  // namespace vexav::cli
