#include "cli/ConvertCommand.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "batch/OutputFiles.h"
#include "cli/ProbeCommand.h"
#include "cli/TimingsLine.h"

namespace vexav::cli {

using batch::CommitOutput;
using batch::ConversionJob;
using batch::DiscardOutput;
using batch::DisplayName;
using batch::ExistsText;
using batch::KeepStoppedOutput;
using batch::OutputPlan;
using batch::PercentDone;
using batch::PlanExplicitOutput;
using batch::ProgressInfo;
using batch::RunOutcome;
using batch::StopControl;
using batch::StoppedOutput;
namespace {

constexpr const char* ProgramName = "vexav-convert";
constexpr int BarWidth = 30;
constexpr int MinBarWidth = 10;

void PrintLine(std::FILE* File, const std::string& Text) {
  std::fputs((Text + "\n").c_str(), File);
  std::fflush(File);
}

// Name shortened to at most Width characters, ending in "..." when cut. Cuts
// only between UTF-8 characters.
std::string Shorten(const std::string& Name, std::size_t Width) {
  if (Name.size() <= Width) return Name;
  if (Width <= 3) return std::string(Width, '.');
  std::size_t Keep = Width - 3;
  while (Keep > 0 && (static_cast<unsigned char>(Name[Keep]) & 0xC0) == 0x80) --Keep;
  return Name.substr(0, Keep) + "...";
}

// Runs the job with its progress shown; Record (when given) keeps the last
// progress and the time taken. With Env.Json and a Record, the progress goes
// out as JSON lines of Record instead of the display.
RunOutcome RunWithProgress(ConversionJob& Job, const std::string& Source,
                           const ConvertEnvironment& Env, JsonRecord* Record = nullptr) {
  if (!Env.Json || !Record) {
    ProgressDisplay Display(Env.Err, Env.Terminal, DisplayName(Source), Env.Columns);
    RunOutcome Outcome = Job.Run([&](const ProgressInfo& Info) {
      if (Record) Record->Progress = Info;
      Display.Update(Info);
    });
    Display.Finish(Outcome.Succeeded());
    return Outcome;
  }
  FileClock Clock;
  Clock.Start();
  Record->Status = "converting";
  RunOutcome Outcome = Job.Run([&](const ProgressInfo& Info) {
    Record->Progress = Info;
    Record->ElapsedSeconds = Clock.Seconds();
    Env.Json->Write(*Record);
  });
  Record->ElapsedSeconds = Clock.Seconds();
  return Outcome;
}

// Registers a job with the stop control until it is released or goes out of
// scope; it must be released before the job is destroyed.
class StopRegistration {
 public:
  StopRegistration(StopControl* Control, ConversionJob& Job) : Control(Control) {
    if (Control) Control->Register(&Job);
  }
  ~StopRegistration() { Release(); }
  void Release() {
    if (Control) Control->Unregister();
    Control = nullptr;
  }
  StopRegistration(const StopRegistration&) = delete;
  StopRegistration& operator=(const StopRegistration&) = delete;

 private:
  StopControl* Control;
};

bool Stopping(const ConvertEnvironment& Env) {
  return Env.Stop && Env.Stop->StopRequested();
}

}  // namespace

// ---------------------------------------------------------------------------
// ProgressDisplay

ProgressDisplay::ProgressDisplay(std::FILE* Err, bool Terminal, std::string Name, int Columns)
    : Err(Err), Terminal(Terminal), Name(std::move(Name)), Columns(Columns) {}

int ProgressDisplay::Percent(const ProgressInfo& Info) { return PercentDone(Info); }

std::string ProgressDisplay::BarLine(const std::string& Name, int Percent, int64_t Ms,
                                     int Columns) {
  const std::size_t Room = static_cast<std::size_t>(std::max(Columns - 1, 20));
  if (Percent < 0) {
    char Tail[48];
    std::snprintf(Tail, sizeof Tail, "  %lld.%lld s", static_cast<long long>(Ms / 1000),
                  static_cast<long long>(Ms % 1000 / 100));
    const std::string TailText = Tail;
    return Shorten(Name, Room - std::min(Room, TailText.size())) + TailText;
  }
  char PercentText[16];
  std::snprintf(PercentText, sizeof PercentText, "%3d%%", Percent);
  // name + " [" + bar + "] " + "100%"
  int Width = BarWidth;
  const std::size_t Fixed = 4 + std::strlen(PercentText);
  if (Name.size() + Fixed + BarWidth > Room)
    Width = std::max<int>(MinBarWidth, static_cast<int>(Room) - static_cast<int>(Fixed) -
                                           static_cast<int>(Name.size()));
  const std::size_t NameRoom = Room > Fixed + Width ? Room - Fixed - Width : 0;
  const int Done = Percent * Width / 100;
  return Shorten(Name, NameRoom) + " [" + std::string(Done, '#') + std::string(Width - Done, '.') +
         "] " + PercentText;
}

void ProgressDisplay::Draw(const std::string& Line) {
  if (Line == LastLine && Drawn) return;
  // Back to the line's start, the new text, and the rest of the old line
  // cleared.
  std::fputs(("\r" + Line + "\033[K").c_str(), Err);
  std::fflush(Err);
  LastLine = Line;
  Drawn = true;
}

void ProgressDisplay::Update(const ProgressInfo& Info) {
  const int P = Percent(Info);
  if (P >= 0) KnownLength = true;
  if (Terminal) {
    Draw(BarLine(Name, P, Info.CurrentDurationMs, Columns));
    return;
  }
  if (P < 0) return;
  const int Tenth = P / 10;
  if (Tenth > LastTenth) {
    LastTenth = Tenth;
    PrintLine(Err, Name + ": " + std::to_string(Tenth * 10) + "%");
  }
}

void ProgressDisplay::Finish(bool Succeeded) {
  if (Terminal) {
    if (Succeeded && KnownLength) Draw(BarLine(Name, 100, 0, Columns));
    if (Drawn) {
      std::fputs("\n", Err);
      std::fflush(Err);
    }
    Drawn = false;
    return;
  }
  if (Succeeded && KnownLength && LastTenth < 10) {
    LastTenth = 10;
    PrintLine(Err, Name + ": 100%");
  }
}

// ---------------------------------------------------------------------------
// The modes

namespace {

// The explicit mode's conversion. Every message goes to standard error and
// into Record (its status and error), which the caller writes as the JSON
// result.
class ExplicitRun {
 public:
  ExplicitRun(const CommandLine& Line, const ConvertEnvironment& Env, JsonRecord& Record)
      : Line(Line), Env(Env), Source(Line.Files.at(0)), Record(Record) {}
  int Run();

 private:
  int Failed(const std::string& Message) {
    PrintLine(Env.Err, Message);
    Record.Status = "failed";
    Record.Error = OneLine(Message);
    return ExitFailed;
  }
  int OptionError(const char* Kind, const EngineOptionArg& Option, const char* What) {
    std::string Spelled = Option.Name;
    if (!Option.Value.empty()) Spelled += "=" + Option.Value;
    return Failed(std::string(ProgramName) + ": " + Kind + " " + Spelled + ": " + OneLine(What));
  }
  int SetUp(ConversionJob& Job);
  int Finish(ConversionJob& Job, const RunOutcome& Outcome);
  int Stopped(const RunOutcome& Outcome);

  const CommandLine& Line;
  const ConvertEnvironment& Env;
  const std::string& Source;
  JsonRecord& Record;
  OutputPlan Plan;
};

// Applies the options, opens FILE and OUT; ExitOk when the run may begin.
int ExplicitRun::SetUp(ConversionJob& Job) {
  Job.SetCodecThreads(Line.EffectiveCodecThreads());
  Job.SetCollectTimings(Line.Timings);
  for (const EngineOptionArg& Option : Line.InputOptions) {
    try {
      Job.SetOption(Option.Name, Option.Value);
    } catch (const std::exception& E) {
      return OptionError("--input-option", Option, E.what());
    }
  }
  if (!Job.OpenInputFile(Source)) return Failed(FileMessage(Source, Job.LastError()));
  for (const EngineOptionArg& Option : Line.OutputOptions) {
    try {
      Job.SetOption(Option.Name, Option.Value);
    } catch (const std::exception& E) {
      return OptionError("--option", Option, E.what());
    }
  }
  // OUT is created here, or a temporary file beside it that replaces it
  // once the conversion has succeeded.
  std::string PlanError;
  if (!PlanExplicitOutput(Line.Output, Line.Overwrite, Plan, PlanError)) return Failed(PlanError);
  if (!Job.OpenOutputFile(Plan.WriteTo)) {
    DiscardOutput(Plan);
    return Failed(FileMessage(Line.Output, Job.LastError()));
  }
  return ExitOk;
}

// A stopped conversion keeps what it converted under the partial name,
// never in the place of OUT or of the file it was to replace.
int ExplicitRun::Stopped(const RunOutcome& Outcome) {
  std::string Text = Outcome.Started ? "stopped before the end" : "stopped before converting";
  // How much of the source the part kept covers, when that is known.
  const int Percent = Record.Progress ? ProgressDisplay::Percent(*Record.Progress) : -1;
  if (Outcome.Started && Percent >= 0) Text += ", at " + std::to_string(Percent) + "%";
  StoppedOutput Kept;
  if (Outcome.Started) {
    Kept = KeepStoppedOutput(Plan);
  } else {
    DiscardOutput(Plan);
    if (Plan.Replaces) Kept.Note = "; " + Plan.Final + " was left as it was";
  }
  if (!Kept.Path.empty() && !Env.Json) PrintLine(Env.Out, Kept.Path);
  PrintLine(Env.Err, FileMessage(Source, Text + Kept.Note));
  Record.Status = Outcome.Started ? "stopped" : "canceled";
  Record.Output = Kept.Path;
  if (!Kept.Renamed) Record.Error = OneLine(Kept.Error);
  return Stopping(Env) ? ExitInterrupted : ExitFailed;
}

int ExplicitRun::Finish(ConversionJob& Job, const RunOutcome& Outcome) {
  if (Line.Timings && Outcome.Started)
    PrintLine(Env.Err, TimingsLine(DisplayName(Source), Job.Timings()));
  if (Outcome.Succeeded()) {
    std::string Error;
    if (!CommitOutput(Plan, Error)) return Failed(Error);
    Record.Status = "done";
    Record.Output = Plan.Final;
    return ExitOk;
  }
  if (Outcome.ExceptionRaised) {
    DiscardOutput(Plan);
    return Failed(FileMessage(Source, Outcome.ErrorMessage));
  }
  return Stopped(Outcome);
}

int ExplicitRun::Run() {
  // An existing OUT is never replaced without --overwrite: said before
  // anything is opened.
  struct stat OutInfo;
  if (!Line.Overwrite && ::stat(Line.Output.c_str(), &OutInfo) == 0 && S_ISREG(OutInfo.st_mode))
    return Failed(ExistsText(Line.Output));
  try {
    std::unique_ptr<ConversionJob> Job = Env.MakeJob(Env.Verbose);
    StopRegistration Registration(Env.Stop, *Job);
    if (const int Status = SetUp(*Job); Status != ExitOk) return Status;
    Record.Output = Plan.Final;
    const RunOutcome Outcome = RunWithProgress(*Job, Source, Env, &Record);
    return Finish(*Job, Outcome);
  } catch (const std::exception& E) {
    DiscardOutput(Plan);
    return Failed(FileMessage(Source, E.what()));
  }
}

}  // namespace

int RunExplicit(const CommandLine& Line, const ConvertEnvironment& Env) {
  JsonRecord Record;
  Record.File = Line.Files.at(0);
  ExplicitRun Run(Line, Env, Record);
  const int Status = Run.Run();
  if (Env.Json) Env.Json->Write(Record);
  return Status;
}

}  // namespace vexav::cli
