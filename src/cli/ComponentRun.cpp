#include "cli/ComponentRun.h"

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "batch/DefaultRun.h"
#include "batch/SourceList.h"
#include "cli/JsonProgress.h"
#include "cli/ProbeCommand.h"
#include "cli/TimingsLine.h"

namespace vexav::cli {

using batch::DefaultRunner;
using batch::DefaultRunObserver;
using batch::DefaultRunRequest;
using batch::DefaultRunSummary;
using batch::DisplayName;
using batch::ExpandSources;
using batch::FileOutcome;
using batch::FileResult;
using batch::ProgressInfo;
using batch::ReadSourceList;
using batch::StopControl;
namespace {

constexpr const char* ProgramName = "vexav-convert";
// Progress reports during a run: every 200 ms, often enough for a bar.
constexpr int ProgressIntervalMs = 200;

void PrintLine(std::FILE* File, const std::string& Text) {
  std::fputs((Text + "\n").c_str(), File);
  std::fflush(File);
}

const char* JsonStatus(FileOutcome Outcome) {
  switch (Outcome) {
    case FileOutcome::Done:
      return "done";
    case FileOutcome::Failed:
      return "failed";
    case FileOutcome::Stopped:
      return "stopped";
    case FileOutcome::Canceled:
      break;
  }
  return "canceled";
}

// What the default run reports, shown: a progress display a file (or JSON
// lines with --json), a line on standard error for each file that did not
// convert, the observer of a cluster task told, and the outputs printed in
// the files' order once the run is over.
class DefaultRunPrinter : public DefaultRunObserver {
 public:
  DefaultRunPrinter(const CommandLine& Line, const ConvertEnvironment& Env, size_t SourceCount)
      : Env(Env),
        Json(Line.Json ? Env.Json : nullptr),
        OneLineAtATime(Line.EffectiveJobs() == 1 || SourceCount == 1) {}

  void FileAdded(int File, const std::string& Source, const std::string& Output) override {
    PlannedOutputs[File] = Output;
    Displays[File] = std::make_unique<ProgressDisplay>(Env.Err, Env.Terminal && OneLineAtATime,
                                                       DisplayName(Source), Env.Columns);
  }

  void Progress(int File, const std::string& Source, const ProgressInfo& Info,
                double ElapsedSeconds) override {
    if (Env.Report) Env.Report->Progress(Source, Info);
    if (!Json) return Displays[File]->Update(Info);
    JsonRecord Record;
    Record.File = Source;
    Record.Status = "converting";
    Record.Progress = Info;
    Record.ElapsedSeconds = ElapsedSeconds;
    Record.Output = Planned(File);
    Json->Write(Record);
  }

  void Ended(int File, const std::string& Source, const FileResult& Result,
             const std::optional<ProgressInfo>& Last,
             const std::optional<double>& ElapsedSeconds) override {
    if (File >= 0 && !Json) Displays[File]->Finish(Result.Outcome == FileOutcome::Done);
    JsonRecord Record;
    Record.File = Source;
    Record.Status = JsonStatus(Result.Outcome);
    Record.Progress = Last;
    Record.ElapsedSeconds = ElapsedSeconds;
    switch (Result.Outcome) {
      case FileOutcome::Done:
        Printed[File] = Result.Output;
        Record.Output = Result.Output;
        if (Env.Report) Env.Report->Ended(Source, FileOutcome::Done, "", Result.Output);
        break;
      case FileOutcome::Failed: {
        const std::string Message = FileMessage(Source, Result.Message);
        PrintLine(Env.Err, Message);
        if (Env.Report) Env.Report->Ended(Source, FileOutcome::Failed, Message, "");
        // The JSON line has the file apart: its error is the reason alone.
        const std::string Prefix = Source + ": ";
        const std::string& Reason = Result.Message;
        Record.Error =
            OneLine(Reason.rfind(Prefix, 0) == 0 ? Reason.substr(Prefix.size()) : Reason);
        break;
      }
      case FileOutcome::Stopped:
        PrintLine(Env.Err, FileMessage(Source, Result.Message));
        if (Env.Report)
          Env.Report->Ended(Source, FileOutcome::Stopped, Result.Message, Result.Output);
        if (!Result.Output.empty()) Printed[File] = Result.Output;
        Record.Output = Result.Output;
        Record.Error = OneLine(Result.Error);
        break;
      case FileOutcome::Canceled:
        if (Env.Report) Env.Report->Ended(Source, FileOutcome::Canceled, "not converted", "");
        break;
    }
    if (Json) Json->Write(Record);
  }

  void FileNote(const std::string& Source, const std::string& Text) override {
    PrintLine(Env.Err, FileMessage(Source, Text));
  }

  void Log(const std::string& Tag, const std::string& Text) override {
    PrintLine(Env.Err, "[" + (Tag.empty() ? std::string(ProgramName) : Tag) + "] " + Text);
  }

  void Timings(const std::string& Tag, const TRunTimings& Timings) override {
    PrintLine(Env.Err, TimingsLine(Tag, Timings));
  }

  void RunError(const std::string& Subject, const std::string& Text) override {
    PrintLine(Env.Err, Subject.empty() ? std::string(ProgramName) + ": " + Text
                                       : FileMessage(Subject, Text));
  }

  // The outputs (and the parts kept of stopped ones), in the files' order.
  void PrintOutputs() const {
    if (Json) return;
    for (const auto& [File, Path] : Printed) PrintLine(Env.Out, Path);
  }

 private:
  std::string Planned(int File) const {
    const auto Found = PlannedOutputs.find(File);
    return Found == PlannedOutputs.end() ? std::string() : Found->second;
  }

  const ConvertEnvironment& Env;
  JsonReporter* const Json;
  const bool OneLineAtATime;  // a line redrawn in place cannot show several files at once
  std::map<int, std::unique_ptr<ProgressDisplay>> Displays;
  std::map<int, std::string> Printed;
  std::map<int, std::string> PlannedOutputs;
};

}  // namespace

TLogLevel LogLevelFromName(const std::string& Name) {
  if (Name == "error") return TLogLevel::llError;
  if (Name == "info") return TLogLevel::llInfo;
  if (Name == "debug") return TLogLevel::llDebug;
  if (Name == "all") return TLogLevel::llAll;
  return TLogLevel::llQuiet;
}

int RunDefaultOnComponent(const CommandLine& Line, const ConvertEnvironment& Env) {
  int Status = ExitOk;
  std::vector<std::string> Arguments = Line.Files;
  if (!Line.FromList.empty()) {
    std::string Error;
    if (!ReadSourceList(Line.FromList, Env.In, Arguments, Error)) {
      PrintLine(Env.Err, std::string(ProgramName) + ": " + Error);
      return ExitFailed;
    }
  }
  DefaultRunRequest Request;
  std::vector<std::string> Errors;
  Request.Sources = ExpandSources(Arguments, Errors);
  for (const std::string& Error : Errors) {
    PrintLine(Env.Err, Error);
    Status = ExitFailed;
  }
  Request.OutputDir = Line.OutputDir;
  Request.SameFolder = Line.SameFolder;
  Request.Overwrite = Line.Overwrite;
  Request.Jobs = Line.EffectiveJobs();
  // Checked when the command line was read.
  Request.CodecThreads = Line.EffectiveCodecThreads();
  Request.SegmentCodecThreads = CommandLine::SegmentCodecThreads;
  Request.Segments = Line.Segments;
  Request.Preset = Line.PresetChoice();
  Request.Timings = Line.Timings;
  Request.LogLevel = LogLevelFromName(Line.LogLevel);
  if (Env.Verbose && Request.LogLevel == TLogLevel::llQuiet) Request.LogLevel = TLogLevel::llInfo;
  Request.LibFolder = Env.LibFolder;
  Request.ProgressIntervalMs = ProgressIntervalMs;
  Request.Planned = Env.Planned;
  Request.MakeJob = Env.MakeJob;
  Request.Verbose = Env.Verbose;
  StopControl* const Stop = Env.Stop;
  Request.StopRequested = [Stop] { return Stop && Stop->StopRequested(); };

  DefaultRunPrinter Printer(Line, Env, Request.Sources.size());
  DefaultRunSummary Summary;
  {
    DefaultRunner Runner(Request, Printer);
    if (Stop) Stop->Register(&Runner.StopHandle());
    Summary = Runner.Run();
    if (Stop) Stop->Unregister();
  }
  if (!Summary.Started) return ExitFailed;
  Printer.PrintOutputs();
  if (Stop && Stop->StopRequested()) {
    if (const int NotConverted = Summary.Canceled; NotConverted > 0)
      PrintLine(Env.Err, std::string(ProgramName) + ": stopped; " + std::to_string(NotConverted) +
                             (NotConverted == 1 ? " file was" : " files were") + " not converted");
    return ExitInterrupted;
  }
  if (Summary.Failed > 0 || Summary.StoppedUnasked > 0) Status = ExitFailed;
  return Status;
}

}  // namespace vexav::cli
