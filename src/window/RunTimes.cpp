#include "window/RunTimes.h"

namespace vexav {

namespace {

constexpr qint64 kSecond = 1000;
constexpr qint64 kMinute = 60 * kSecond;
constexpr qint64 kHour = 60 * kMinute;
// An estimate is shown once this much time, or this share of the work, has
// passed: earlier, one slow start would make it swing wildly.
constexpr qint64 kEstimateAfterMs = 2 * kSecond;
constexpr double kEstimateAfterDone = 0.01;

QString TwoDigits(qint64 value) {
  return QStringLiteral("%1").arg(value, 2, 10, QLatin1Char('0'));
}

}  // namespace

QString ClockText(qint64 milliseconds) {
  const qint64 seconds = qMax<qint64>(milliseconds, 0) / kSecond;
  const qint64 hours = seconds / 3600;
  const qint64 minutes = seconds / 60 % 60;
  const QString tail = TwoDigits(seconds % 60);
  if (hours > 0) return QStringLiteral("%1:%2:%3").arg(hours).arg(TwoDigits(minutes), tail);
  return QStringLiteral("%1:%2").arg(minutes).arg(tail);
}

QString DurationWords(qint64 milliseconds) {
  const qint64 ms = qMax<qint64>(milliseconds, 0);
  if (ms >= kHour) return QStringLiteral("%1 h %2 min").arg(ms / kHour).arg(ms % kHour / kMinute);
  if (ms >= kMinute)
    return QStringLiteral("%1 min %2 s").arg(ms / kMinute).arg(ms % kMinute / kSecond);
  return QStringLiteral("%1 s").arg(ms / kSecond);
}

std::optional<qint64> TimeLeft(qint64 elapsedMs, double done) {
  if (elapsedMs < 0 || !(done > 0)) return std::nullopt;
  if (elapsedMs < kEstimateAfterMs && done < kEstimateAfterDone) return std::nullopt;
  if (done >= 1) return 0;
  return static_cast<qint64>(static_cast<double>(elapsedMs) * (1 - done) / done + 0.5);
}

QString ConvertingTimeText(qint64 elapsedMs, std::optional<qint64> leftMs) {
  if (!leftMs) return ClockText(elapsedMs);
  return QStringLiteral("%1, %2 left").arg(ClockText(elapsedMs), ClockText(*leftMs));
}

QString RunSummaryText(const TRunCounts& counts, qint64 elapsedMs) {
  QString text = QStringLiteral("%1 converted").arg(counts.Converted);
  if (counts.Failed > 0) text += QStringLiteral(", %1 failed").arg(counts.Failed);
  if (counts.Stopped > 0) text += QStringLiteral(", %1 stopped (part kept)").arg(counts.Stopped);
  if (counts.Canceled > 0) text += QStringLiteral(", %1 canceled").arg(counts.Canceled);
  return text + QStringLiteral(" in ") + DurationWords(elapsedMs);
}

}  // namespace vexav
