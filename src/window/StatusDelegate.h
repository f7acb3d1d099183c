// The item delegate of the job list's Status column: progress cells ("{|37")
// and converting cells ("{|") are drawn by the progress cell painter over the
// view's own item background (so a selected row stays visibly selected at
// the cell's edge); plain texts ("Ready", "Done", ...) are drawn as usual.
#pragma once

#include <QStyledItemDelegate>

namespace vexav {

class TStatusDelegate : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;

  void paint(QPainter* painter, const QStyleOptionViewItem& option,
             const QModelIndex& index) const override;
};

}  // namespace vexav
