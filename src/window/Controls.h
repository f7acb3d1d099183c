// The window's own small controls: the clickable banner picture, the job
// list that takes dropped files, and the output folder box that answers a
// double-click.
#pragma once

#include <QLineEdit>
#include <QStringList>
#include <QTableWidget>
#include <QWidget>
#include <functional>

class QMimeData;

namespace vexav {

// A picture drawn by a paint function over the whole widget, with a pointing
// hand cursor; a left click on it emits clicked().
class TBannerImage : public QWidget {
  Q_OBJECT
 public:
  using TPaint = std::function<void(QPainter&, const QRect&)>;
  explicit TBannerImage(TPaint paint, QWidget* parent = nullptr);

 signals:
  void clicked();

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  TPaint Paint;
  bool Pressed = false;
};

// The local files a drop carries, in order; other URLs are left out.
QStringList DroppedFiles(const QMimeData* mime);

// What the empty job list says in its middle.
inline constexpr char kEmptyListHint[] = "Add files or drop them here";

// The MIME type of rows dragged within the job list: the list's address and
// the row numbers, as text ("<address> <row> <row> ...").
inline constexpr char kListRowsMime[] = "application/x-vexav-list-rows";

// The rows a drag from this list carries; empty for any other drag.
QList<int> DraggedRows(const QMimeData* mime, const QObject* list);

// The job list: a read-only report list with whole-row selection and grid
// lines. Local files dragged onto it are offered with filesDropped(); its
// own rows dragged within it are offered with rowsDropped(), for the window
// to move them (the list moves nothing itself). Empty, it says what to do.
class TFileList : public QTableWidget {
  Q_OBJECT
 public:
  explicit TFileList(QWidget* parent = nullptr);

  // Where rows dropped at pos (in the viewport) go: before this row
  // (rowCount(): at the end).
  int DropRow(const QPoint& pos) const;
  // The drag of the selected rows that startDrag() runs.
  QMimeData* RowsMimeData() const;

 signals:
  void filesDropped(const QStringList& files);
  void rowsDropped(const QList<int>& rows, int before);

 protected:
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dropEvent(QDropEvent* event) override;
  void startDrag(Qt::DropActions supportedActions) override;
  void paintEvent(QPaintEvent* event) override;
};

// A line edit that emits doubleClicked() on a left double-click, also when
// it is read-only.
class TOutputEdit : public QLineEdit {
  Q_OBJECT
 public:
  using QLineEdit::QLineEdit;

 signals:
  void doubleClicked();

 protected:
  void mouseDoubleClickEvent(QMouseEvent* event) override;
};

}  // namespace vexav
