// The main window's queue actions: converting the failed or the remaining
// rows again, clearing the done rows, and putting the rows in another order
// (moving the selected rows, dropping dragged rows, sorting by a column).
// The files convert in the list's order: Convert makes the tasks again when
// the rows no longer follow them.
#include <QAction>
#include <QHeaderView>
#include <QStyledItemDelegate>
#include <QItemSelection>
#include <QTableWidget>
#include <algorithm>

#include "window/Controls.h"
#include "window/MainWindow.h"
#include "window/RowOrder.h"
#include "window/StatusCell.h"

namespace vexav {

namespace {

// A reason reads from its start: the Note column elides its text at the end,
// where the list elides names and paths in the middle.
class TNoteDelegate : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;

 protected:
  void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override {
    QStyledItemDelegate::initStyleOption(option, index);
    option->textElideMode = Qt::ElideRight;
  }
};

bool IsStopped(const QString& status) {
  return status.startsWith(QString::fromUtf8(kStatusStoppedPrefix));
}

}  // namespace

void TfrmMain::BuildQueueActions() {
  lvFiles->setHorizontalHeaderItem(kColumnNote, new QTableWidgetItem(QStringLiteral("Note")));
  // Right after Status, which it explains. It shares the spare width with
  // Source: at a fixed width it left Source too narrow to read a name in a
  // window of the usual size.
  QHeaderView* header = lvFiles->horizontalHeader();
  header->setSectionResizeMode(kColumnNote, QHeaderView::Stretch);
  lvFiles->setItemDelegateForColumn(kColumnNote, new TNoteDelegate(lvFiles));
  header->moveSection(header->visualIndex(kColumnNote), header->visualIndex(kColumnStatus) + 1);
  lvFiles->setColumnHidden(kColumnNote, true);
  header->setSectionsClickable(true);
  connect(header, &QHeaderView::sectionClicked, this, &TfrmMain::SortByColumn);

  auto separator = [this] {
    auto* action = new QAction(lvFiles);
    action->setSeparator(true);
    lvFiles->addAction(action);
  };
  // Each action works from the keyboard: the moves while the list has the
  // focus (they act on its selection), the others anywhere in the window.
  auto makeAction = [this](const char* name, const char* text, const QKeySequence& keys,
                           Qt::ShortcutContext context) {
    auto* action = new QAction(QString::fromUtf8(text), lvFiles);
    action->setObjectName(QString::fromUtf8(name));
    action->setShortcut(keys);
    action->setShortcutContext(context);
    lvFiles->addAction(action);
    return action;
  };
  separator();
  mnuMoveUp = makeAction("mnuMoveUp", "Move &Up", QKeySequence(Qt::CTRL | Qt::Key_Up),
                         Qt::WidgetWithChildrenShortcut);
  connect(mnuMoveUp, &QAction::triggered, this, [this] { MoveSelected(-1); });
  mnuMoveDown = makeAction("mnuMoveDown", "Move &Down", QKeySequence(Qt::CTRL | Qt::Key_Down),
                           Qt::WidgetWithChildrenShortcut);
  connect(mnuMoveDown, &QAction::triggered, this, [this] { MoveSelected(1); });
  separator();
  mnuRetryFailed = makeAction("mnuRetryFailed", "&Retry Failed", QKeySequence(Qt::CTRL | Qt::Key_R),
                              Qt::WindowShortcut);
  connect(mnuRetryFailed, &QAction::triggered, this, &TfrmMain::RetryFailed);
  mnuConvertRemaining =
      makeAction("mnuConvertRemaining", "Convert Re&maining",
                 QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_R), Qt::WindowShortcut);
  connect(mnuConvertRemaining, &QAction::triggered, this, &TfrmMain::ConvertRemaining);
  mnuClearFinished =
      makeAction("mnuClearFinished", "Clear &Finished",
                 QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Delete), Qt::WindowShortcut);
  connect(mnuClearFinished, &QAction::triggered, this, &TfrmMain::ClearFinished);
  connect(lvFiles, &TFileList::rowsDropped, this, &TfrmMain::MoveRowsBefore);
  UpdateListActions();
}

std::vector<int> TfrmMain::FailedRows() const {
  std::vector<int> rows;
  for (int row = 0; row < lvFiles->rowCount(); ++row)
    if (StatusText(row) == QString::fromUtf8(kStatusFailed)) rows.push_back(row);
  return rows;
}

std::vector<int> TfrmMain::RemainingRows() const {
  std::vector<int> rows;
  for (int row = 0; row < lvFiles->rowCount(); ++row) {
    const QString status = StatusText(row);
    if (IsStopped(status) || status == QString::fromUtf8(kStatusCanceled)) rows.push_back(row);
  }
  return rows;
}

std::vector<int> TfrmMain::DoneRows() const {
  std::vector<int> rows;
  for (int row = 0; row < lvFiles->rowCount(); ++row)
    if (StatusText(row) == QString::fromUtf8(kStatusDone)) rows.push_back(row);
  return rows;
}

void TfrmMain::RetryFailed() {
  const std::vector<int> rows = FailedRows();
  if (FConverting || rows.empty()) return;
  ConvertRows(&rows);
}

void TfrmMain::ConvertRemaining() {
  const std::vector<int> rows = RemainingRows();
  if (FConverting || rows.empty()) return;
  ConvertRows(&rows);
}

void TfrmMain::ClearFinished() {
  if (FConverting) return;
  RemoveRows(DoneRows());
}

bool TfrmMain::TasksInRowOrder() const {
  return std::is_sorted(TaskRows.begin(), TaskRows.end());
}

void TfrmMain::MoveSelected(int step) {
  if (FConverting) return;
  std::vector<int> selected;
  for (const QModelIndex& index : lvFiles->selectionModel()->selectedRows())
    selected.push_back(index.row());
  ApplyRowOrder(vexav::MoveRowsBy(lvFiles->rowCount(), selected, step));
  ForgetSorting();
  if (const QModelIndex current = lvFiles->currentIndex(); current.isValid())
    lvFiles->scrollTo(current);
}

void TfrmMain::MoveRowsBefore(const QList<int>& rows, int before) {
  if (FConverting) return;
  ApplyRowOrder(vexav::MoveRowsBefore(lvFiles->rowCount(),
                                      std::vector<int>(rows.begin(), rows.end()), before));
  ForgetSorting();
}

void TfrmMain::ForgetSorting() {
  // Moved by hand, the list is no longer sorted by a column.
  FSortColumn = -1;
  lvFiles->horizontalHeader()->setSortIndicatorShown(false);
}

void TfrmMain::SortByColumn(int column) {
  if (FConverting || column < 0 || column >= kColumnCount) return;
  FSortOrder = column == FSortColumn && FSortOrder == Qt::AscendingOrder ? Qt::DescendingOrder
                                                                         : Qt::AscendingOrder;
  FSortColumn = column;
  QStringList keys;
  for (int row = 0; row < lvFiles->rowCount(); ++row) {
    const QTableWidgetItem* item = lvFiles->item(row, column);
    keys.append(item ? item->text() : QString());
  }
  ApplyRowOrder(SortedOrder(keys, FSortOrder));
  QHeaderView* header = lvFiles->horizontalHeader();
  header->setSortIndicator(column, FSortOrder);
  header->setSortIndicatorShown(true);
}

void TfrmMain::ApplyRowOrder(const std::vector<int>& order) {
  const int count = lvFiles->rowCount();
  if (static_cast<int>(order.size()) != count || IsSameOrder(order)) return;
  std::vector<bool> selected(static_cast<size_t>(count), false);
  for (const QModelIndex& index : lvFiles->selectionModel()->selectedRows())
    selected[static_cast<size_t>(index.row())] = true;
  const int current = lvFiles->currentRow();

  // Every cell is taken out and put back in its new row: the items keep
  // their data (output, times, notes) and tooltips.
  std::vector<std::vector<QTableWidgetItem*>> items(static_cast<size_t>(count));
  for (int row = 0; row < count; ++row)
    for (int column = 0; column < kColumnCount; ++column)
      items[static_cast<size_t>(row)].push_back(lvFiles->takeItem(row, column));
  for (int row = 0; row < count; ++row)
    for (int column = 0; column < kColumnCount; ++column)
      lvFiles->setItem(
          row, column,
          items[static_cast<size_t>(order[static_cast<size_t>(row)])][static_cast<size_t>(column)]);

  // Tasks and the run's rows go on naming the same files.
  const std::vector<int> places = NewPlaces(order);
  for (int& row : TaskRows)
    if (row >= 0 && row < count) row = places[static_cast<size_t>(row)];
  for (int& row : RunRows)
    if (row >= 0 && row < count) row = places[static_cast<size_t>(row)];

  // The selection follows the rows it held.
  QItemSelection selection;
  for (int row = 0; row < count; ++row) {
    if (!selected[static_cast<size_t>(row)]) continue;
    const int place = places[static_cast<size_t>(row)];
    selection.select(lvFiles->model()->index(place, 0),
                     lvFiles->model()->index(place, kColumnCount - 1));
  }
  if (current >= 0 && current < count)
    lvFiles->selectionModel()->setCurrentIndex(
        lvFiles->model()->index(places[static_cast<size_t>(current)], 0),
        QItemSelectionModel::NoUpdate);
  lvFiles->selectionModel()->select(selection, QItemSelectionModel::ClearAndSelect);
  UpdateListActions();
}

void TfrmMain::UpdateNoteColumn() {
  bool any = false;
  for (int row = 0; row < lvFiles->rowCount() && !any; ++row) {
    const QTableWidgetItem* note = lvFiles->item(row, kColumnNote);
    any = note && !note->text().isEmpty();
  }
  if (lvFiles->isColumnHidden(kColumnNote) == any) lvFiles->setColumnHidden(kColumnNote, !any);
}

}  // namespace vexav
