#include "window/Banner.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

#include "window/Product.h"

namespace vexav {

namespace {

const QColor kBandLeft(16, 36, 84);
const QColor kBandRight(22, 104, 140);
const QColor kMarkFill(245, 166, 35);
const QColor kTitleText(255, 255, 255);
const QColor kSubText(190, 222, 240);

void PaintBand(QPainter& painter, const QRect& rect) {
  QLinearGradient band(rect.topLeft(), rect.topRight());
  band.setColorAt(0.0, kBandLeft);
  band.setColorAt(1.0, kBandRight);
  painter.fillRect(rect, band);
  // A thin light line under the band separates it from what follows.
  painter.fillRect(QRect(rect.left(), rect.bottom(), rect.width(), 1), QColor(120, 190, 230));
}

// A square piece of film with perforated edges and a play triangle, side
// pixels wide, its top left at origin.
void PaintMark(QPainter& painter, const QPoint& origin, int side) {
  const QRectF frame(origin, QSizeF(side, side));
  painter.setPen(Qt::NoPen);
  painter.setBrush(kMarkFill);
  painter.drawRoundedRect(frame, side * 0.16, side * 0.16);

  // The perforations along the left and right edges.
  painter.setBrush(kBandLeft);
  const qreal hole = side * 0.09;
  for (int i = 0; i < 4; ++i) {
    const qreal y = frame.top() + side * (0.14 + i * 0.2);
    painter.drawRect(QRectF(frame.left() + side * 0.05, y, hole, hole * 1.2));
    painter.drawRect(QRectF(frame.right() - side * 0.05 - hole, y, hole, hole * 1.2));
  }

  QPainterPath play;
  play.moveTo(frame.left() + side * 0.36, frame.top() + side * 0.28);
  play.lineTo(frame.left() + side * 0.72, frame.center().y());
  play.lineTo(frame.left() + side * 0.36, frame.top() + side * 0.72);
  play.closeSubpath();
  painter.setBrush(kTitleText);
  painter.drawPath(play);
}

// Two lines of text to the right of the mark: a large bold one and a
// smaller one under it, vertically centred in rect.
void PaintLines(QPainter& painter, const QRect& rect, const QString& first, int firstPixels,
                const QString& second, int secondPixels) {
  QFont big = painter.font();
  big.setBold(true);
  // The title line shrinks to fit rather than lose its end.
  big.setPixelSize(FittingPixelSize(big, first, rect.width(), firstPixels));
  QFont small = painter.font();
  small.setPixelSize(secondPixels);
  small.setBold(false);

  const int gap = secondPixels / 3;
  const int total = QFontMetrics(big).height() + gap + QFontMetrics(small).height();
  const int top = rect.top() + (rect.height() - total) / 2;

  painter.setFont(big);
  painter.setPen(kTitleText);
  const QRect firstRect(rect.left(), top, rect.width(), QFontMetrics(big).height());
  painter.drawText(firstRect, Qt::AlignLeft | Qt::AlignVCenter,
                   QFontMetrics(big).elidedText(first, Qt::ElideRight, rect.width()));

  painter.setFont(small);
  painter.setPen(kSubText);
  const QRect secondRect(rect.left(), firstRect.bottom() + 1 + gap, rect.width(),
                         QFontMetrics(small).height());
  painter.drawText(secondRect, Qt::AlignLeft | Qt::AlignVCenter,
                   QFontMetrics(small).elidedText(second, Qt::ElideRight, rect.width()));
}

void PaintBanner(QPainter& painter, const QRect& rect, const QString& first, int firstPixels,
                 const QString& second, int secondPixels) {
  painter.save();
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setRenderHint(QPainter::TextAntialiasing);
  PaintBand(painter, rect);
  const int side = qMin(rect.height() - 24, 56);
  const int margin = (rect.height() - side) / 2;
  PaintMark(painter, QPoint(rect.left() + margin, rect.top() + margin), side);
  PaintLines(painter, BannerTextRect(rect), first, firstPixels, second, secondPixels);
  painter.restore();
}

}  // namespace

void PaintMainBanner(QPainter& painter, const QRect& rect) {
  PaintBanner(painter, rect, QString::fromLatin1(kProductTitle), 28,
              QString::fromLatin1(kProductTagline), 13);
}

QRect BannerTextRect(const QRect& rect) {
  const int side = qMin(rect.height() - 24, 56);
  const int margin = (rect.height() - side) / 2;
  const int textLeft = rect.left() + margin + side + margin;
  return QRect(textLeft, rect.top(), rect.right() - textLeft - margin, rect.height());
}

int FittingPixelSize(QFont font, const QString& text, int width, int pixels) {
  constexpr int kSmallest = 9;
  for (int size = pixels; size > kSmallest; --size) {
    font.setPixelSize(size);
    if (QFontMetrics(font).horizontalAdvance(text) <= width) return size;
  }
  return qMin(pixels, kSmallest);
}

QString ExitBannerTitle() {
  return QStringLiteral("Thank you for using %1").arg(QString::fromLatin1(kProductTitle));
}

void PaintExitBanner(QPainter& painter, const QRect& rect) {
  PaintBanner(painter, rect, ExitBannerTitle(), 20,
              QStringLiteral("News and help: %1").arg(QString::fromLatin1(kHomePage)), 12);
}

}  // namespace vexav
