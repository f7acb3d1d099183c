#include "window/StatusDelegate.h"

#include <QApplication>
#include <QPainter>

#include "window/ProgressCellPainter.h"
#include "window/StatusCell.h"

namespace vexav {

void TStatusDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                            const QModelIndex& index) const {
  const TStatusCell cell = ParseStatusCell(index.data(Qt::DisplayRole).toString());
  if (cell.Kind == TStatusCell::TKind::Text) {
    QStyledItemDelegate::paint(painter, option, index);
    return;
  }

  // The item's background, selection and focus, without its "{|" text.
  QStyleOptionViewItem background = option;
  initStyleOption(&background, index);
  background.text.clear();
  const QWidget* widget = option.widget;
  QStyle* style = widget ? widget->style() : QApplication::style();
  style->drawControl(QStyle::CE_ItemViewItem, &background, painter, widget);

  painter->save();
  painter->setFont(background.font);
  if (cell.Kind == TStatusCell::TKind::Progress)
    PaintProgressCell(*painter, option.rect, cell.Percent);
  else
    PaintConvertingCell(*painter, option.rect);
  painter->restore();
}

}  // namespace vexav
