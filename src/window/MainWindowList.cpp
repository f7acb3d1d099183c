// The main window's list: adding files and folders, removing and clearing
// rows, and making the tasks again from the rows before a run.
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QHeaderView>
#include <QSet>
#include <QTableWidget>
#include <algorithm>

#include "component/SourceFolders.h"
#include "window/Controls.h"
#include "window/FileProblems.h"
#include "window/MainWindow.h"
#include "window/MainWindowRows.h"
#include "window/StatusCell.h"
#include "window/WindowDialogs.h"

namespace vexav {

namespace {

// The folder of a file with a trailing "/".
QString FolderWithSlash(const QFileInfo& file) {
  QString folder = file.absolutePath();
  if (!folder.endsWith(u'/')) folder += u'/';
  return folder;
}

QTableWidgetItem* NewItem(const QString& text, const QString& toolTip = QString()) {
  auto* item = new QTableWidgetItem(text);
  item->setToolTip(toolTip);
  return item;
}

}  // namespace

void TfrmMain::AddRow(const QString& path) {
  const QFileInfo file(path);
  const int row = lvFiles->rowCount();
  const QString full = file.absoluteFilePath();
  lvFiles->insertRow(row);
  // Every cell that names the file carries its full path as the tooltip:
  // long names are cut in the middle when the column is narrow.
  lvFiles->setItem(row, kColumnSource, NewItem(file.fileName(), full));
  lvFiles->setItem(row, kColumnStatus, NewItem(QString::fromUtf8(kStatusReady)));
  lvFiles->setItem(row, kColumnTime, NewItem(QString()));
  lvFiles->setItem(row, kColumnOutput, NewItem(QString()));
  lvFiles->setItem(row, kColumnPath, NewItem(FolderWithSlash(file), full));
  lvFiles->setItem(row, kColumnNote, NewItem(QString()));
}

QString TfrmMain::RowPath(int row) const {
  return lvFiles->item(row, kColumnPath)->text() + lvFiles->item(row, kColumnSource)->text();
}

bool TfrmMain::IsListed(const QString& path) const {
  for (int row = 0; row < lvFiles->rowCount(); ++row)
    if (lvFiles->item(row, kColumnPath) && RowPath(row) == path) return true;
  return false;
}

void TfrmMain::SetRowStatus(int row, const QString& text, const QString& toolTip) {
  QTableWidgetItem* item = lvFiles->item(row, kColumnStatus);
  if (!item) return;
  // A row canceled before anything was converted says so, as the others
  // say why.
  const QString reason = text == QString::fromUtf8(kStatusCanceled) && toolTip.isEmpty()
                             ? QString::fromUtf8(kNotStartedNote)
                             : toolTip;
  item->setToolTip(reason);
  item->setText(text);
  // The reason shows in the row itself, on one line; its tooltip keeps the
  // whole text.
  if (QTableWidgetItem* note = lvFiles->item(row, kColumnNote); note && note->toolTip() != reason) {
    note->setText(QString(reason).replace(u'\n', u' '));
    note->setToolTip(reason);
    UpdateNoteColumn();
  }
  emit statusChanged(row, text);
}

void TfrmMain::SetRowTime(int row, const QString& text) {
  if (QTableWidgetItem* item = lvFiles->item(row, kColumnTime)) item->setText(text);
}

void TfrmMain::SetRowOutput(int row, const QString& path) {
  QTableWidgetItem* item = lvFiles->item(row, kColumnOutput);
  if (!item) return;
  item->setText(path.isEmpty() ? QString() : QFileInfo(path).fileName());
  item->setToolTip(path);
  lvFiles->item(row, kColumnSource)->setData(rows::kOutputRole, path);
}

void TfrmMain::ClearAll() {
  VexAVC().ClearTasks();
  TaskRows.clear();
  lvFiles->setRowCount(0);
  ForgetSorting();
  UpdateNoteColumn();
  UpdateListActions();
}

void TfrmMain::UpdateListActions() {
  const bool idle = !FConverting;
  mnuRemove->setEnabled(idle && !lvFiles->selectionModel()->selectedRows().isEmpty());
  mnuClear->setEnabled(idle && lvFiles->rowCount() > 0);
  const bool anySelected = !lvFiles->selectionModel()->selectedRows().isEmpty();
  mnuMoveUp->setEnabled(idle && anySelected);
  mnuMoveDown->setEnabled(idle && anySelected);
  mnuRetryFailed->setEnabled(idle && !FailedRows().empty());
  mnuConvertRemaining->setEnabled(idle && !RemainingRows().empty());
  mnuClearFinished->setEnabled(idle && !DoneRows().empty());
  // Rows are dragged and sorted while idle only: a run's tasks keep the
  // order they started with.
  lvFiles->setDragEnabled(idle);
  lvFiles->horizontalHeader()->setSectionsClickable(idle);
}

void TfrmMain::btnOpenClick() {
  if (!LoadLibraries()) return;
  const QStringList files = Dialogs.ChooseFiles(this, OpenFilter());
  if (files.isEmpty()) return;
  AddFiles(files);
}

void TfrmMain::btnAddFolderClick() {
  if (FConverting || !LoadLibraries()) return;
  const QString folder =
      Dialogs.ChooseFolder(this, QStringLiteral("Add the Files of a Folder:"), QString());
  if (folder.isEmpty()) return;
  AddFiles({folder});
}

void TfrmMain::AddFiles(const QStringList& files) {
  // Dropped files are refused while a run goes on, as the Add button is.
  if (FConverting || files.isEmpty()) return;
  if (!LoadLibraries()) return;
  QStringList refused;
  const QStringList paths = ExpandFolders(files, refused);

  // After a finished or stopped run the list starts anew, but only once a
  // file that is not listed yet has been accepted: an Add that brings
  // nothing new (refused files, or files already listed) keeps the rows and
  // what they say.
  const bool startAnew = VexAVC().TaskCount() == 0 || FStopPressed;
  struct TChosen {
    QString Path;
    QString Refusal;  // empty: accepted
    bool Listed = false;
  };
  std::vector<TChosen> chosen;
  QSet<QString> seen;
  bool anyNew = false;
  for (const QString& file : paths) {
    TChosen entry{QFileInfo(file).absoluteFilePath(), QString(), false};
    entry.Listed = IsListed(entry.Path);
    if (seen.contains(entry.Path) || (!startAnew && entry.Listed)) {
      entry.Refusal = QStringLiteral("already in the list");
    } else if (!VexAVC().Probe().Open(entry.Path.toStdString())) {
      // The probe tests the file first.
      entry.Refusal = SourceProblem(entry.Path, VexAVC().Probe().LastError());
    } else {
      VexAVC().Probe().Close();
      seen.insert(entry.Path);
      anyNew = anyNew || !entry.Listed;
    }
    chosen.push_back(entry);
  }
  QStringList accepted;
  for (TChosen& entry : chosen) {
    // Files listed already start a new list only along with a new one.
    if (entry.Refusal.isEmpty() && entry.Listed && !anyNew)
      entry.Refusal = QStringLiteral("already in the list");
    if (entry.Refusal.isEmpty())
      accepted.append(entry.Path);
    else
      refused.append(entry.Path + QStringLiteral(": ") + entry.Refusal);
  }
  if (!accepted.isEmpty() && startAnew) {
    ClearAll();
    FStopPressed = false;
  }

  int position = 0;
  for (const QString& path : accepted) {
    ++position;
    SetCaption(QStringLiteral(" [Loading File %1...]").arg(position));
    TInputOptions input;
    ResetInputOptions(input);
    input.FileName = path.toStdString();
    const int index = VexAVC().AddInputFile(input.FileName, &input);
    if (index < 0) {
      refused.append(path + QStringLiteral(": ") + QString::fromStdString(VexAVC().LastError()));
      continue;
    }
    AddRow(path);
    TaskRows.resize(index + 1, -1);
    TaskRows[index] = lvFiles->rowCount() - 1;
  }
  if (!accepted.isEmpty() || lvFiles->rowCount() == 0)
    SetCaption(lvFiles->rowCount() > 0 ? QString::fromUtf8(kCaptionReady) : QString());
  UpdateListActions();
  if (!refused.isEmpty())
    Dialogs.Warning(this, QStringLiteral("These files were not added:\n\n") + refused.join(u'\n'));
  selFormat->setFocus();
}

QStringList TfrmMain::ExpandFolders(const QStringList& paths, QStringList& refused) {
  QStringList files;
  for (const QString& path : paths) {
    if (!QFileInfo(path).isDir()) {
      files.append(path);
      continue;
    }
    const QString folder = QFileInfo(path).absoluteFilePath();
    std::string error;
    const std::vector<output::TSourceFile> inside =
        output::ListMediaFiles(folder.toStdString(), error);
    // A sub-folder that cannot be read is named; the files found elsewhere
    // are still added.
    if (!error.empty())
      refused.append(folder + QStringLiteral(": ") + QString::fromStdString(error));
    else if (inside.empty())
      refused.append(folder + QStringLiteral(": no media files inside"));
    for (const output::TSourceFile& file : inside) files.append(QString::fromStdString(file.Path));
  }
  return files;
}

void TfrmMain::RemoveSelected() {
  std::vector<int> selected;
  for (const QModelIndex& index : lvFiles->selectionModel()->selectedRows())
    selected.push_back(index.row());
  RemoveRows(selected);
}

void TfrmMain::RemoveRows(std::vector<int> selected) {
  if (FConverting) return;
  // From the bottom up, so that the rows still to remove keep their numbers.
  std::sort(selected.rbegin(), selected.rend());
  selected.erase(std::unique(selected.begin(), selected.end()), selected.end());
  for (const int row : selected) {
    if (row < 0 || row >= lvFiles->rowCount()) continue;
    for (int index = 0; index < static_cast<int>(TaskRows.size()); ++index) {
      if (TaskRows[index] != row) continue;
      VexAVC().RemoveTask(index);
      TaskRows.erase(TaskRows.begin() + index);
      break;
    }
    for (int& taskRow : TaskRows)
      if (taskRow > row) --taskRow;
    // The run's rows follow too (the summary of a run counts them).
    RunRows.erase(std::remove(RunRows.begin(), RunRows.end(), row), RunRows.end());
    for (int& runRow : RunRows)
      if (runRow > row) --runRow;
    lvFiles->removeRow(row);
  }
  if (lvFiles->rowCount() == 0) ClearList();
  UpdateNoteColumn();
  UpdateListActions();
}

void TfrmMain::ClearList() {
  if (FConverting) return;
  ClearAll();
  FStopPressed = false;
  SetCaption(QString());
}

void TfrmMain::DoLoadFromList(const std::vector<int>& rowsToLoad, QStringList& failures) {
  TaskRows.clear();
  int position = 0;
  for (const int row : rowsToLoad) {
    const QString path = RowPath(row);
    SetCaption(QStringLiteral(" [Loading File %1...]").arg(++position));
    SetRowTime(row, QString());
    SetRowOutput(row, QString());
    lvFiles->item(row, kColumnSource)->setData(rows::kOpenableRole, false);
    int index = -1;
    std::string error;
    if (VexAVC().Probe().Open(path.toStdString())) {
      TInputOptions input;
      ResetInputOptions(input);
      input.FileName = path.toStdString();
      index = VexAVC().AddInputFile(input.FileName, &input);
      if (index < 0) error = VexAVC().LastError();
      VexAVC().Probe().Close();
    } else {
      error = VexAVC().Probe().LastError();
    }
    if (index < 0) {
      // The row stays, without a task, and says why.
      const QString reason = SourceProblem(path, error);
      SetRowStatus(row, QString::fromUtf8(kStatusFailed), reason);
      failures.append(path + QStringLiteral(": ") + reason);
      continue;
    }
    SetRowStatus(row, QString::fromUtf8(kStatusReady));
    TaskRows.resize(index + 1, -1);
    TaskRows[index] = row;
  }
}

}  // namespace vexav
