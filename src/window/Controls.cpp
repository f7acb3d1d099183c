#include "window/Controls.h"

#include <QDrag>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QUrl>
#include <algorithm>

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

QList<int> DraggedRows(const QMimeData* mime, const QObject* list) {
  QList<int> rows;
  const QString format = QString::fromLatin1(kListRowsMime);
  if (!mime || !mime->hasFormat(format)) return rows;
  const QStringList parts = QString::fromLatin1(mime->data(format)).split(u' ', Qt::SkipEmptyParts);
  // Rows of another list (another window) are not this list's to move.
  bool ok = false;
  if (parts.isEmpty() || parts.front().toULongLong(&ok) != reinterpret_cast<quintptr>(list) || !ok)
    return rows;
  for (qsizetype i = 1; i < parts.size(); ++i) {
    const int row = parts[i].toInt(&ok);
    if (ok) rows.append(row);
  }
  return rows;
}

TFileList::TFileList(QWidget* parent) : QTableWidget(parent) {
  setAcceptDrops(true);
  viewport()->setAcceptDrops(true);
  // Rows are dragged to move them; the drop is handled here, never by the
  // view's own moving of items.
  setDragEnabled(true);
  setDragDropMode(QAbstractItemView::DragDrop);
  setDropIndicatorShown(false);
}

int TFileList::DropRow(const QPoint& pos) const {
  const int row = rowAt(pos.y());
  if (row < 0) return pos.y() < 0 ? 0 : rowCount();
  // The lower half of a row puts the rows after it.
  const int middle = rowViewportPosition(row) + rowHeight(row) / 2;
  return pos.y() < middle ? row : row + 1;
}

QMimeData* TFileList::RowsMimeData() const {
  QList<int> rows;
  for (const QModelIndex& index : selectionModel()->selectedRows()) rows.append(index.row());
  std::sort(rows.begin(), rows.end());
  QString text = QString::number(reinterpret_cast<quintptr>(this));
  for (const int row : rows) text += u' ' + QString::number(row);
  auto* mime = new QMimeData;
  mime->setData(QString::fromLatin1(kListRowsMime), text.toLatin1());
  return mime;
}

void TFileList::startDrag(Qt::DropActions) {
  if (selectionModel()->selectedRows().isEmpty()) return;
  auto* drag = new QDrag(this);
  drag->setMimeData(RowsMimeData());
  // The drop moves the rows (dropEvent); whatever the drag reports, the
  // view itself removes nothing.
  drag->exec(Qt::MoveAction, Qt::MoveAction);
}

void TFileList::dragEnterEvent(QDragEnterEvent* event) {
  if (!DraggedRows(event->mimeData(), this).isEmpty()) {
    event->setDropAction(Qt::MoveAction);
    event->accept();
    return;
  }
  if (DroppedFiles(event->mimeData()).isEmpty()) {
    event->ignore();
    return;
  }
  event->setDropAction(Qt::CopyAction);
  event->accept();
}

void TFileList::dragMoveEvent(QDragMoveEvent* event) {
  if (!DraggedRows(event->mimeData(), this).isEmpty()) {
    event->setDropAction(Qt::MoveAction);
    event->accept();
    return;
  }
  if (DroppedFiles(event->mimeData()).isEmpty()) {
    event->ignore();
    return;
  }
  event->setDropAction(Qt::CopyAction);
  event->accept();
}

void TFileList::dropEvent(QDropEvent* event) {
  if (const QList<int> rows = DraggedRows(event->mimeData(), this); !rows.isEmpty()) {
    event->setDropAction(Qt::MoveAction);
    event->accept();
    emit rowsDropped(rows, DropRow(event->position().toPoint()));
    return;
  }
  const QStringList files = DroppedFiles(event->mimeData());
  if (files.isEmpty()) {
    event->ignore();
    return;
  }
  event->setDropAction(Qt::CopyAction);
  event->accept();
  emit filesDropped(files);
}

void TFileList::paintEvent(QPaintEvent* event) {
  QTableWidget::paintEvent(event);
  if (rowCount() > 0) return;
  // An empty grid tells nothing; the hint says how files get in.
  QPainter painter(viewport());
  painter.setPen(palette().color(QPalette::PlaceholderText));
  painter.drawText(viewport()->rect().adjusted(8, 8, -8, -8), Qt::AlignCenter | Qt::TextWordWrap,
                   QString::fromUtf8(kEmptyListHint));
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
