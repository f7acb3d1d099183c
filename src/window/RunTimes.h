// The times and counts the window shows about a run: a row's elapsed time
// and time left, the time a file took, and the one summary at the end of a
// run. Plain functions of numbers, so that they need no widgets.
#pragma once

#include <QString>
#include <QtGlobal>
#include <optional>

namespace vexav {

// A duration as a clock: "m:ss" below an hour, "h:mm:ss" from there on.
// Negative durations count as 0.
QString ClockText(qint64 milliseconds);

// A duration in words for the run summary: "13 s", "2 min 13 s", "1 h 4 min".
// Negative durations count as 0.
QString DurationWords(qint64 milliseconds);

// The time left for a conversion that has done the fraction done (0..1) of
// its work in elapsed milliseconds, assuming it goes on at the same rate.
// Nothing while the estimate would be a guess: before 2 seconds and 1 % have
// passed (either is enough), or when no work is done yet.
std::optional<qint64> TimeLeft(qint64 elapsedMs, double done);

// A row's Time cell while it converts: "0:12" alone, or "0:12, 0:34 left"
// once a time left is known.
QString ConvertingTimeText(qint64 elapsedMs, std::optional<qint64> leftMs);

// How a run ended, counted by file.
struct TRunCounts {
  int Converted = 0;
  int Failed = 0;
  // Stopped part way, what was converted kept under a "(partial)" name.
  int Stopped = 0;
  // Never started, or stopped before anything was written.
  int Canceled = 0;
};

// "3 converted, 1 failed, 1 stopped (part kept), 1 canceled in 2 min 13 s";
// the failed, stopped and canceled parts only when there are any.
QString RunSummaryText(const TRunCounts& counts, qint64 elapsedMs);

}  // namespace vexav
