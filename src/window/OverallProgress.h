// The progress of a whole run, as the status bar, the window's title and the
// desktop's dock show it: how many files have ended, the share of the run's
// source time converted, and the time left at the rate so far. Plain values
// and functions, so that they need no widgets.
#pragma once

#include <QString>
#include <QtGlobal>
#include <optional>
#include <vector>

namespace vexav {

// The estimate of a run from the source time converted so far.
struct TOverallEstimate {
  // The share done, 0 to 100 (rounded down, so 100 only when all is done);
  // nothing while the run's length is unknown.
  std::optional<int> Percent;
  // The same as a fraction, 0 to 1 (0 while unknown), for the dock.
  double Fraction = 0;
  // The time left at the rate so far; nothing while that would be a guess.
  std::optional<qint64> LeftMs;
};

// doneMs of totalMs of source time converted in elapsedMs of converting:
// the share done and the time left (TimeLeft's rule: after 2 s or 1 %).
// A total of 0 or less is unknown; done is held to 0..total.
TOverallEstimate EstimateOverall(qint64 doneMs, qint64 totalMs, qint64 elapsedMs);

// What a run has done so far, file by file: each task's source length (from
// its probe, then from its progress reports) and the part converted. A file
// that ended (in any way) counts as wholly done: nothing of it is left to
// convert.
class TRunTally {
 public:
  // A run of these tasks, each with its source length in milliseconds (0 or
  // less: not known yet), and endedBefore files that ended before they could
  // start (they count among the ended files).
  void Begin(const std::vector<qint64>& taskLengthsMs, int endedBefore = 0);
  // A progress report of a task: current of total milliseconds of output.
  void Progress(int task, qint64 currentMs, qint64 totalMs);
  // A task ended; failed: with an error.
  void Ended(int task, bool failed);
  // The run's files: its tasks and those that ended before starting.
  int Files() const { return static_cast<int>(FTasks.size()) + FEndedBefore; }
  // The files that ended, of which failed with an error (those that could
  // not start among them).
  int EndedFiles() const { return FEnded + FEndedBefore; }
  int FailedFiles() const { return FFailed + FEndedBefore; }
  // The tasks that ended.
  int EndedTasks() const { return FEnded; }
  qint64 DoneMs() const;
  qint64 TotalMs() const;

 private:
  struct TTask {
    qint64 LengthMs = 0;
    qint64 DoneMs = 0;
    bool Ended = false;
  };
  std::vector<TTask> FTasks;
  int FEndedBefore = 0;
  int FEnded = 0;
  int FFailed = 0;
};

// The status bar while converting: "7 of 23 done, 31%, about 4:12 left";
// ", 2 failed" after the count when files failed; the share and the time
// left only once known.
QString OverallRunText(int ended, int files, int failed, const TOverallEstimate& estimate);

// The status bar of a held run: "Pausing after the running files: 7 of 23
// done, 31%" while files still run, "Paused: 7 of 23 done, 31%" once none
// does.
QString OverallPausedText(int ended, int files, int failed, const TOverallEstimate& estimate,
                          bool stillRunning);

// The window's title while converting: "31% - " in front of it once the
// share is known, nothing before.
QString OverallTitlePrefix(const TOverallEstimate& estimate);

// The status bar of an idle window without a finished run: "3 files listed",
// "1 file listed", "No files listed".
QString ListedFilesText(int files);

}  // namespace vexav
