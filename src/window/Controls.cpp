#include "window/Controls.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QUrl>

namespace vexav {

TBannerImage::TBannerImage(TPaint paint, QWidget* parent)
    : QWidget(parent), Paint(std::move(paint)) {
  setCursor(Qt::PointingHandCursor);
}

void TBannerImage::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  if (Paint) Paint(painter, rect());
}

void TBannerImage::mousePressEvent(QMouseEvent* event) {
  Pressed = event->button() == Qt::LeftButton;
  event->accept();
}

void TBannerImage::mouseReleaseEvent(QMouseEvent* event) {
  // A click is a press and a release of the left button over the picture.
  const bool click =
      Pressed && event->button() == Qt::LeftButton && rect().contains(event->position().toPoint());
  Pressed = false;
  event->accept();
  if (click) emit clicked();
}

QStringList DroppedFiles(const QMimeData* mime) {
  QStringList files;
  if (!mime || !mime->hasUrls()) return files;
  for (const QUrl& url : mime->urls())
    if (url.isLocalFile() && !url.toLocalFile().isEmpty()) files.append(url.toLocalFile());
  return files;
}

TFileList::TFileList(QWidget* parent) : QTableWidget(parent) {
  setAcceptDrops(true);
  viewport()->setAcceptDrops(true);
  setDragDropMode(QAbstractItemView::DropOnly);
  setDropIndicatorShown(false);
}

void TFileList::dragEnterEvent(QDragEnterEvent* event) {
  if (DroppedFiles(event->mimeData()).isEmpty()) {
    event->ignore();
    return;
  }
  event->setDropAction(Qt::CopyAction);
  event->accept();
}

void TFileList::dragMoveEvent(QDragMoveEvent* event) {
  if (DroppedFiles(event->mimeData()).isEmpty()) {
    event->ignore();
    return;
  }
  event->setDropAction(Qt::CopyAction);
  event->accept();
}

void TFileList::dropEvent(QDropEvent* event) {
  const QStringList files = DroppedFiles(event->mimeData());
  if (files.isEmpty()) {
    event->ignore();
    return;
  }
  event->setDropAction(Qt::CopyAction);
  event->accept();
  emit filesDropped(files);
}

void TOutputEdit::mouseDoubleClickEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) {
    event->accept();
    emit doubleClicked();
    return;
  }
  QLineEdit::mouseDoubleClickEvent(event);
}

}  // namespace vexav
