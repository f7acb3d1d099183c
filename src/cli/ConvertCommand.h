// vexav-convert's explicit mode (--output OUT with engine options) over a
// ConversionJob, and what it shares with the default mode (ComponentRun.h):
// the progress shown on standard error, the stop asked for by Ctrl-C, the
// program's environment and exit statuses.
#pragma once

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>

#include "batch/ConversionJob.h"
#include "batch/FileReport.h"
#include "batch/OutputFiles.h"
#include "batch/StopControl.h"
#include "cli/CommandLine.h"
#include "cli/JsonProgress.h"

namespace vexav::cli {

// Exit statuses of the program.
constexpr int ExitOk = 0;
constexpr int ExitFailed = 1;         // a file could not be converted (or read)
constexpr int ExitUsage = 2;          // the command line is wrong
constexpr int ExitInterrupted = 130;  // stopped by Ctrl-C (128 + SIGINT)

// The progress of one file on standard error. On a terminal: one line
// redrawn in place, "name [#####.....] 42%". Otherwise a plain line
// "name: 42%" each time the percentage reaches a further tenth. The
// percentage is the output time converted so far over the expected output
// duration (integer division, at most 100); without a known duration a
// terminal shows the time converted and plain output shows nothing.
class ProgressDisplay {
 public:
  ProgressDisplay(std::FILE* Err, bool Terminal, std::string Name, int Columns = 80);
  // Called on the run's thread.
  void Update(const batch::ProgressInfo& Info);
  // Ends the display once the run is over. A terminal's line is redrawn at
  // 100% when the run succeeded with a known duration, and ended with a line
  // break; plain output gets a last "name: 100%" when it has not printed it.
  void Finish(bool Succeeded);

  // The percentage of Info, or -1 when the expected duration is not known.
  static int Percent(const batch::ProgressInfo& Info);
  // The terminal line for Percent (-1: unknown, then Ms is shown), at most
  // Columns - 1 characters wide (the name is shortened to fit).
  static std::string BarLine(const std::string& Name, int Percent, int64_t Ms, int Columns);

 private:
  void Draw(const std::string& Line);

  std::FILE* Err;
  bool Terminal;
  std::string Name;
  int Columns;
  bool KnownLength = false;
  std::string LastLine;  // terminal: the line on screen
  int LastTenth = 0;     // plain: the last tenth printed
  bool Drawn = false;
};

struct ConvertEnvironment {
  batch::JobFactory MakeJob;
  std::FILE* Out = stdout;  // each output's path
  std::FILE* Err = stderr;  // progress and messages
  std::FILE* In = stdin;    // --from-list -
  // --json: progress and results go to it (on Out) instead of the progress
  // display and the plain output paths.
  JsonReporter* Json = nullptr;
  bool Terminal = false;  // Err is a terminal
  int Columns = 80;       // its width
  bool Verbose = false;
  std::string LibFolder;               // where the media libraries were bound from
  batch::StopControl* Stop = nullptr;  // nullptr: nothing can ask for a stop
  // Default mode: told each file's progress and end.
  batch::FileReport* Report = nullptr;
  // Default mode with one file: the output reserved already (a cluster's
  // front end plans the names before submitting).
  const batch::OutputPlan* Planned = nullptr;
};

// --output OUT [--input-option N=V]... [--option N=V]... FILE: the input
// options in order, FILE opened, the options in order, OUT created, then
// the run. ExitOk only when the run finished without an error.
int RunExplicit(const CommandLine& Line, const ConvertEnvironment& Env);

}  // namespace vexav::cli
