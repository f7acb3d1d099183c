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

// The job list: a read-only report list with whole-row selection and grid
// lines. Local files dragged onto it are offered with filesDropped().
class TFileList : public QTableWidget {
  Q_OBJECT
 public:
  explicit TFileList(QWidget* parent = nullptr);

 signals:
  void filesDropped(const QStringList& files);

 protected:
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dropEvent(QDropEvent* event) override;
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
