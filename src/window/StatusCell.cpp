#include "window/StatusCell.h"

#include <algorithm>

namespace vexav {

namespace {

constexpr char16_t kProgressMark[] = u"{|";

int HoldPercent(qint64 percent) {
  return static_cast<int>(std::clamp<qint64>(percent, 0, 100));
}

}  // namespace

QString ProgressCellText(int percent) {
  return QString::fromUtf16(kProgressMark) + QString::number(HoldPercent(percent));
}

QString ConvertingCellText() {
  return QString::fromUtf16(kProgressMark);
}

TStatusCell ParseStatusCell(const QString& cellText) {
  TStatusCell cell;
  const QStringView mark(kProgressMark);
  if (!cellText.startsWith(mark)) {
    cell.Text = cellText;
    return cell;
  }
  const QStringView number = QStringView(cellText).mid(mark.size());
  if (number.isEmpty()) {
    cell.Kind = TStatusCell::TKind::Converting;
    return cell;
  }
  const bool digitsOnly =
      std::all_of(number.begin(), number.end(), [](QChar c) { return c >= u'0' && c <= u'9'; });
  if (!digitsOnly) {
    cell.Text = cellText;
    return cell;
  }
  // Long digit strings overflow toInt; they are all above 100 anyway.
  bool ok = false;
  const qlonglong value = number.toLongLong(&ok);
  cell.Kind = TStatusCell::TKind::Progress;
  cell.Percent = ok ? HoldPercent(value) : 100;
  return cell;
}

std::optional<int> ProgressPercent(qint64 current, qint64 total) {
  if (total <= 0) return std::nullopt;
  if (current <= 0) return 0;
  if (current >= total) return 100;
  // In 128 bits, so that current × 100 cannot overflow.
  return HoldPercent(static_cast<qint64>(static_cast<__int128>(current) * 100 / total));
}

int DonePartWidth(int width, int percent) {
  if (width <= 0) return 0;
  const qint64 product = qint64(width) * HoldPercent(percent);
  qint64 whole = product / 100;
  const qint64 rest = product % 100;
  if (rest > 50 || (rest == 50 && whole % 2 == 1)) ++whole;
  return static_cast<int>(whole);
}

QString StoppedStatusText(std::optional<int> percent) {
  const QString prefix = QString::fromLatin1(kStatusStoppedPrefix);
  if (!percent) return prefix + QStringLiteral("part kept");
  return prefix + QStringLiteral("%1% kept").arg(qBound(0, *percent, 100));
}

}  // namespace vexav
