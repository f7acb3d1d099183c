#include "window/ExitBanner.h"

#include <QGuiApplication>
#include <QPainter>
#include <QPixmap>
#include <QScreen>
#include <QToolButton>

#include "window/Banner.h"
#include "window/Controls.h"
#include "window/Product.h"
#include "window/WindowDialogs.h"

namespace vexav {

namespace {

// The close button's picture: a light cross on a dark round spot.
QIcon CloseIcon() {
  QPixmap pixmap(16, 16);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(Qt::NoPen);
  painter.setBrush(QColor(0, 0, 0, 110));
  painter.drawEllipse(QRectF(0.5, 0.5, 15, 15));
  painter.setPen(QPen(QColor(255, 255, 255), 2, Qt::SolidLine, Qt::RoundCap));
  painter.drawLine(QPointF(5, 5), QPointF(11, 11));
  painter.drawLine(QPointF(11, 5), QPointF(5, 11));
  return QIcon(pixmap);
}

}  // namespace

TExitBanner::TExitBanner(TWindowDialogs& dialogs, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::FramelessWindowHint), Dialogs(dialogs) {
  setObjectName(QStringLiteral("frmExitBanner"));
  setWindowTitle(QString::fromLatin1(kProductTitle));
  setModal(true);
  setFixedSize(kExitBannerWidth, kExitBannerHeight);

  imgBanner = new TBannerImage(&PaintExitBanner, this);
  imgBanner->setObjectName(QStringLiteral("imgBanner"));
  imgBanner->setGeometry(rect());
  imgBanner->setToolTip(QString::fromLatin1(kHomePage));
  connect(imgBanner, &TBannerImage::clicked, this,
          [this] { Dialogs.OpenUrl(QUrl(QString::fromLatin1(kHomePage))); });

  btnClose = new QToolButton(this);
  btnClose->setObjectName(QStringLiteral("btnClose"));
  btnClose->setIcon(CloseIcon());
  btnClose->setIconSize(QSize(16, 16));
  btnClose->setAutoRaise(true);
  btnClose->setToolTip(QStringLiteral("Close"));
  btnClose->setCursor(Qt::ArrowCursor);
  btnClose->setGeometry(width() - 24, 4, 20, 20);
  connect(btnClose, &QToolButton::clicked, this, &QDialog::accept);
}

void TExitBanner::showEvent(QShowEvent* event) {
  // Centred on the desktop (the main window is hidden by now).
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    const QRect area = screen->availableGeometry();
    move(area.center() - rect().center());
  }
  QDialog::showEvent(event);
}

}  // namespace vexav
