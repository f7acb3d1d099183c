#include "window/OverallProgress.h"

#include <algorithm>

#include "window/RunTimes.h"

namespace vexav {

TOverallEstimate EstimateOverall(qint64 doneMs, qint64 totalMs, qint64 elapsedMs) {
  TOverallEstimate estimate;
  if (totalMs <= 0) return estimate;
  const qint64 done = std::clamp<qint64>(doneMs, 0, totalMs);
  estimate.Fraction = static_cast<double>(done) / static_cast<double>(totalMs);
  estimate.Percent = static_cast<int>(done * 100 / totalMs);
  if (done < totalMs) estimate.LeftMs = TimeLeft(elapsedMs, estimate.Fraction);
  return estimate;
}

void TRunTally::Begin(const std::vector<qint64>& taskLengthsMs, int endedBefore) {
  FTasks.assign(taskLengthsMs.size(), TTask());
  for (std::size_t i = 0; i < taskLengthsMs.size(); ++i)
    FTasks[i].LengthMs = std::max<qint64>(0, taskLengthsMs[i]);
  FEndedBefore = std::max(0, endedBefore);
  FEnded = 0;
  FFailed = 0;
}

void TRunTally::Progress(int task, qint64 currentMs, qint64 totalMs) {
  if (task < 0 || task >= static_cast<int>(FTasks.size())) return;
  TTask& entry = FTasks[static_cast<std::size_t>(task)];
  if (entry.Ended) return;
  // The engine's own length of the output, once it reports one, is what
  // its progress counts against.
  if (totalMs > 0) entry.LengthMs = totalMs;
  entry.DoneMs = std::max<qint64>(0, currentMs);
}

void TRunTally::Ended(int task, bool failed) {
  if (task < 0 || task >= static_cast<int>(FTasks.size())) return;
  TTask& entry = FTasks[static_cast<std::size_t>(task)];
  if (entry.Ended) return;
  entry.Ended = true;
  ++FEnded;
  if (failed) ++FFailed;
}

qint64 TRunTally::DoneMs() const {
  qint64 done = 0;
  for (const TTask& task : FTasks)
    done += task.Ended ? task.LengthMs : std::min(task.DoneMs, task.LengthMs);
  return done;
}

qint64 TRunTally::TotalMs() const {
  qint64 total = 0;
  for (const TTask& task : FTasks) total += task.LengthMs;
  return total;
}

namespace {

QString CountText(int ended, int files, int failed) {
  QString text = QStringLiteral("%1 of %2 done").arg(ended).arg(files);
  if (failed > 0) text += QStringLiteral(", %1 failed").arg(failed);
  return text;
}

}  // namespace

QString OverallRunText(int ended, int files, int failed, const TOverallEstimate& estimate) {
  QString text = CountText(ended, files, failed);
  if (estimate.Percent) text += QStringLiteral(", %1%").arg(*estimate.Percent);
  if (estimate.LeftMs)
    text += QStringLiteral(", about %1 left").arg(ClockText(*estimate.LeftMs));
  return text;
}

QString OverallPausedText(int ended, int files, int failed, const TOverallEstimate& estimate,
                          bool stillRunning) {
  QString text = stillRunning ? QStringLiteral("Pausing after the running files: ")
                              : QStringLiteral("Paused: ");
  text += CountText(ended, files, failed);
  if (estimate.Percent) text += QStringLiteral(", %1%").arg(*estimate.Percent);
  return text;
}

QString OverallTitlePrefix(const TOverallEstimate& estimate) {
  return estimate.Percent ? QStringLiteral("%1% - ").arg(*estimate.Percent) : QString();
}

QString ListedFilesText(int files) {
  if (files <= 0) return QStringLiteral("No files listed");
  return files == 1 ? QStringLiteral("1 file listed") : QStringLiteral("%1 files listed").arg(files);
}

}  // namespace vexav
