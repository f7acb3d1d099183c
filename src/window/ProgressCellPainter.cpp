#include "window/ProgressCellPainter.h"

#include <QColor>
#include <QFontMetrics>
#include <QPainter>
#include <algorithm>

#include "window/StatusCell.h"

namespace vexav {

namespace {

// A one-pixel frame drawn on the pixels of rect's outer ring, as four fills
// so that no pen geometry can move it by half a pixel.
void DrawFrame(QPainter& painter, const QRect& rect, QRgb colour) {
  if (rect.width() <= 0 || rect.height() <= 0) return;
  const QColor c = QColor::fromRgb(colour);
  painter.fillRect(QRect(rect.left(), rect.top(), rect.width(), 1), c);
  painter.fillRect(QRect(rect.left(), rect.bottom(), rect.width(), 1), c);
  painter.fillRect(QRect(rect.left(), rect.top(), 1, rect.height()), c);
  painter.fillRect(QRect(rect.right(), rect.top(), 1, rect.height()), c);
}

// Text centred in bar, shown only inside part.
void DrawTextPart(QPainter& painter, const QRect& bar, const QRect& part, QRgb colour,
                  const QString& text) {
  if (part.width() <= 0 || part.height() <= 0) return;
  painter.save();
  painter.setClipRect(part, Qt::IntersectClip);
  painter.setPen(QColor::fromRgb(colour));
  painter.drawText(bar, Qt::AlignCenter, text);
  painter.restore();
}

}  // namespace

QRect ProgressBarRect(const QRect& cell) {
  return cell.adjusted(2, 2, -2, -2);
}

void PaintProgressCell(QPainter& painter, const QRect& cell, int percent) {
  const QRect bar = ProgressBarRect(cell);
  painter.save();
  if (bar.width() > 0 && bar.height() > 0) {
    const int shown = std::clamp(percent, 0, 100);
    const int done = DonePartWidth(bar.width(), shown);
    const QRect donePart(bar.left(), bar.top(), done, bar.height());
    const QRect restPart(bar.left() + done, bar.top(), bar.width() - done, bar.height());
    painter.fillRect(donePart, QColor::fromRgb(kProgressDoneFill));
    painter.fillRect(restPart, QColor::fromRgb(kProgressRestFill));
    const QString text = QString::number(shown) + u'%';
    DrawTextPart(painter, bar, donePart, kProgressDoneText, text);
    DrawTextPart(painter, bar, restPart, kProgressRestText, text);
  }
  DrawFrame(painter, cell.adjusted(1, 1, -1, -1), kProgressFrame);
  painter.restore();
}

void PaintConvertingCell(QPainter& painter, const QRect& cell) {
  const QRect bar = ProgressBarRect(cell);
  painter.save();
  if (bar.width() > 0 && bar.height() > 0) {
    painter.fillRect(bar, QColor::fromRgb(kProgressRestFill));
    const QString text = painter.fontMetrics().elidedText(QLatin1String(kConvertingText),
                                                          Qt::ElideRight, bar.width());
    DrawTextPart(painter, bar, bar, kProgressRestText, text);
  }
  DrawFrame(painter, cell.adjusted(1, 1, -1, -1), kProgressFrame);
  painter.restore();
}

}  // namespace vexav
