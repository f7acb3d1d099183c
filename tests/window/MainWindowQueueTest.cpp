// The main window's queue: converting the failed or remaining rows again,
// clearing the done ones, moving and sorting rows (the files convert in the
// list's order), the reasons in the rows, a typed output folder, and the
// empty list's hint. Every run converts generated clips and reads them back.
#include <QAction>
#include <QCheckBox>
#include <QDropEvent>
#include <QHeaderView>
#include <QImage>
#include <QMimeData>
#include <QMouseEvent>
#include <QPushButton>
#include <QSpinBox>
#include <QUrl>

#include "MainWindowFixture.h"

namespace vexav::test {
namespace {

// The rows' file names in the order their first progress came: the order
// the files started in.
QStringList StartOrder(const std::vector<std::pair<int, QString>>& seen, const TfrmMain& w) {
  QStringList names;
  for (const auto& [row, text] : seen) {
    if (!text.startsWith(QStringLiteral("{|"))) continue;
    const QString name = w.lvFiles->item(row, kColumnSource)->text();
    if (!names.contains(name)) names.append(name);
  }
  return names;
}

QString Note(const TfrmMain& w, int row) {
  return w.lvFiles->item(row, kColumnNote)->text();
}

QStringList SelectedNames(const TfrmMain& w) {
  QStringList names;
  for (int row = 0; row < w.lvFiles->rowCount(); ++row)
    if (w.lvFiles->selectionModel()->isRowSelected(row, QModelIndex()))
      names.append(w.lvFiles->item(row, kColumnSource)->text());
  return names;
}

// A left click on a column's header, as the mouse gives it.
void ClickHeader(TfrmMain& w, int column) {
  QHeaderView* header = w.lvFiles->horizontalHeader();
  const QPointF at(header->sectionViewportPosition(column) + header->sectionSize(column) / 2,
                   header->height() / 2);
  QMouseEvent press(QEvent::MouseButtonPress, at, header->viewport()->mapToGlobal(at),
                    Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(header->viewport(), &press);
  QMouseEvent release(QEvent::MouseButtonRelease, at, header->viewport()->mapToGlobal(at),
                      Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
  QCoreApplication::sendEvent(header->viewport(), &release);
}

// Pixels of the list's viewport, in a band across its middle (below any
// row of a short list), that are not the plain background.
int InkInTheMiddle(TfrmMain& w) {
  QWidget* viewport = w.lvFiles->viewport();
  const QImage image = viewport->grab().toImage();
  const QRgb background = image.pixel(image.width() - 2, image.height() - 2);
  int ink = 0;
  const int middle = image.height() / 2;
  for (int y = middle - 12; y <= middle + 12; ++y)
    for (int x = 0; x < image.width(); ++x)
      if (image.pixel(x, y) != background) ++ink;
  return ink;
}

TEST_F(WindowMain, QueueActionsAreInTheMenuWithKeysAndIdleOnly) {
  auto window = MakeWindow();
  TfrmMain& w = *window;
  const QList<QAction*> menu = w.lvFiles->actions();
  QStringList texts;
  for (const QAction* action : menu) texts.append(action->isSeparator() ? "-" : action->text());
  EXPECT_EQ(texts, QStringList({"Add File(s)", "Add Folder...", "-", "Remove", "Clear List", "-",
                                "Move &Up", "Move &Down", "-", "&Retry Failed",
                                "Convert Re&maining", "Clear &Finished"}));
  EXPECT_EQ(w.mnuMoveUp->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Up));
  EXPECT_EQ(w.mnuMoveDown->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Down));
  EXPECT_EQ(w.mnuRetryFailed->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_R));
  EXPECT_EQ(w.mnuConvertRemaining->shortcut(), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_R));
  EXPECT_EQ(w.mnuClearFinished->shortcut(), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Delete));
  // Nothing to retry, convert or clear in an empty list.
  for (const QAction* action :
       {w.mnuMoveUp, w.mnuMoveDown, w.mnuRetryFailed, w.mnuConvertRemaining, w.mnuClearFinished})
    EXPECT_FALSE(action->isEnabled()) << action->objectName().toStdString();
  // The output folder box takes typing; the Note column waits for a note.
  EXPECT_FALSE(w.txtOutput->isReadOnly());
  EXPECT_TRUE(w.lvFiles->isColumnHidden(kColumnNote));
  EXPECT_EQ(w.lvFiles->horizontalHeaderItem(kColumnNote)->text(), "Note");
  EXPECT_EQ(w.lvFiles->horizontalHeader()->visualIndex(kColumnNote), kColumnStatus + 1);
}

TEST_F(WindowMain, TheEmptyListSaysWhatToDo) {
  auto window = MakeWindow();
  TfrmMain& w = *window;
  w.show();
  ASSERT_TRUE(WaitUntil([&] { return w.lvFiles->viewport()->height() > 100; }, 10));
  // The hint's text is drawn across the middle of the empty list.
  EXPECT_GT(InkInTheMiddle(w), 40);
  w.AddFiles({Clip("one.avi")});
  ASSERT_EQ(w.lvFiles->rowCount(), 1);
  QCoreApplication::processEvents();
  EXPECT_EQ(InkInTheMiddle(w), 0);
  // Empty again: the hint is back.
  w.ClearList();
  QCoreApplication::processEvents();
  EXPECT_GT(InkInTheMiddle(w), 40);
}

TEST_F(WindowMain, RetryFailedConvertsTheMendedRowsOnly) {
  ASSERT_TRUE(QDir(Dir.path()).mkpath(QStringLiteral("media/gone")));
  const QString first = Clip("first.avi");
  const QString bad = Clip("gone/bad.avi", 192, 144);
  const QString last = Clip("last.avi");
  auto window = MakeWindow();
  TfrmMain& w = *window;
  w.chkSameFolder->setChecked(true);  // each output beside its source
  w.AddFiles({first, bad, last});
  ASSERT_EQ(w.lvFiles->rowCount(), 3);
  BlockFolder(MediaPath("gone"));
  ASSERT_TRUE(ConvertAndWait(w));
  ASSERT_EQ(Statuses(w), QStringList({"Done", "Failed", "Done"}));

  // The reason is in the row, whole in the tooltip.
  const QString reason =
      "Could not open '" + MediaPath("gone/bad (MPEG-4 Video).mp4") + "': Not a directory";
  EXPECT_FALSE(w.lvFiles->isColumnHidden(kColumnNote));
  EXPECT_EQ(Note(w, 1), reason);
  EXPECT_EQ(w.lvFiles->item(1, kColumnNote)->toolTip(), reason);
  // The note does not squeeze the names out of a window of its first size.
  w.show();
  QCoreApplication::processEvents();
  EXPECT_GE(w.lvFiles->columnWidth(kColumnSource), 100) << w.width();
  EXPECT_EQ(Note(w, 0), "");
  EXPECT_TRUE(w.mnuRetryFailed->isEnabled());
  EXPECT_FALSE(w.mnuConvertRemaining->isEnabled());
  EXPECT_TRUE(w.mnuClearFinished->isEnabled());

  // Mended, the failed file is converted again, alone, through Convert's
  // path: no question, the done rows keep their outputs.
  MendFolder(MediaPath("gone"));
  Seen.clear();
  w.mnuRetryFailed->trigger();
  EXPECT_TRUE(w.Converting());
  EXPECT_FALSE(w.mnuRetryFailed->isEnabled());
  EXPECT_FALSE(w.mnuClearFinished->isEnabled());
  ASSERT_TRUE(WaitUntil([&] { return !w.Converting(); }));
  EXPECT_EQ(Dialogs.Count("AskYesNo"), 0);
  EXPECT_EQ(Statuses(w), QStringList({"Done", "Done", "Done"}));
  EXPECT_EQ(StartOrder(Seen, w), QStringList({"bad.avi"}));
  ExpectVideoOutput(MediaPath("gone/bad (MPEG-4 Video).mp4"), 192, 144);
  ExpectVideoOutput(MediaPath(OutputName(first)), 160, 120);
  EXPECT_FALSE(QFileInfo::exists(MediaPath(OutputName(first, "1"))));
  ASSERT_EQ(Dialogs.Count("Summary"), 2);
  EXPECT_TRUE(Dialogs.Last("Summary").Text.startsWith("1 converted in "))
      << Dialogs.Last("Summary").Text.toStdString();
  // No note left: the column goes.
  EXPECT_EQ(Note(w, 1), "");
  EXPECT_TRUE(w.lvFiles->isColumnHidden(kColumnNote));
  EXPECT_FALSE(w.mnuRetryFailed->isEnabled());
}

// A clip whose media data is zeroed: it is listed and starts, and its run
// fails.
QString Blank(const QString& path) {
  QFile file(path);
  EXPECT_TRUE(file.open(QIODevice::ReadWrite));
  const QByteArray bytes = file.readAll();
  const qsizetype data = bytes.indexOf("movi") + 4;
  EXPECT_GT(data, 4);
  file.seek(data);
  file.write(QByteArray(bytes.size() - data, '\0'));
  return path;
}

TEST_F(WindowMain, ClearFinishedThenConvertRemainingAfterAStop) {
  // The third clip is long enough to be stopped while it converts; the
  // first fails.
  const QStringList sources = {Blank(Clip("blank.avi")), Clip("one.avi"),
                               Clip("two.avi", 480, 360, 6.0), Clip("three.avi")};
  auto window = MakeWindow();
  TfrmMain& w = *window;
  w.AddFiles(sources);
  ASSERT_EQ(w.lvFiles->rowCount(), 4);
  w.btnConvertClick();
  ASSERT_TRUE(WaitUntil([&] {
    return ParseStatusCell(w.StatusText(2)).Kind != TStatusCell::TKind::Text ||
           w.StatusText(2) == "Done";
  }));
  ASSERT_NE(w.StatusText(2), "Done") << "the long file ended before it could be stopped";
  EXPECT_FALSE(w.mnuConvertRemaining->isEnabled());
  w.btnConvertClick();  // Stop
  ASSERT_TRUE(WaitUntil([&] { return !w.Converting(); }));
  ASSERT_EQ(w.StatusText(0), "Failed");
  ASSERT_EQ(w.StatusText(1), "Done");
  ASSERT_TRUE(w.StatusText(2).startsWith("Stopped: ")) << w.StatusText(2).toStdString();
  ASSERT_EQ(w.StatusText(3), "Canceled");
  const QString partial = OutPath("two (MPEG-4 Video) (partial).mp4");
  // Each row says why it is not done.
  EXPECT_EQ(Note(w, 0), "The file holds no video data that can be decoded (input stream #0.0)");
  EXPECT_EQ(Note(w, 1), "");
  EXPECT_TRUE(Note(w, 2).startsWith("Kept ")) << Note(w, 2).toStdString();
  EXPECT_TRUE(Note(w, 2).endsWith(" of 0:06 of the source as " + partial))
      << Note(w, 2).toStdString();
  EXPECT_EQ(Note(w, 3), kNotStartedNote);
  EXPECT_EQ(w.lvFiles->item(3, kColumnStatus)->toolTip(), kNotStartedNote);
  EXPECT_TRUE(w.mnuConvertRemaining->isEnabled());
  EXPECT_TRUE(w.mnuRetryFailed->isEnabled());
  ASSERT_TRUE(w.mnuClearFinished->isEnabled());

  // The done row goes; the others keep their rows, tasks and outputs.
  w.mnuClearFinished->trigger();
  EXPECT_EQ(RowNames(w), QStringList({"blank.avi", "two.avi", "three.avi"}));
  EXPECT_TRUE(w.StatusText(1).startsWith("Stopped: "));
  EXPECT_EQ(w.lvFiles->item(1, kColumnOutput)->toolTip(), partial);
  EXPECT_FALSE(w.mnuClearFinished->isEnabled());
  ExpectVideoOutput(OutPath(OutputName(sources[1])), 160, 120);

  // The stopped and canceled files convert, the failed one is left as it
  // is: the stopped file's partial output is kept and its new output takes
  // the free full name.
  Seen.clear();
  w.mnuConvertRemaining->trigger();
  ASSERT_TRUE(WaitUntil([&] { return !w.Converting(); }));
  EXPECT_EQ(Dialogs.Count("AskYesNo"), 0);
  EXPECT_EQ(Statuses(w), QStringList({"Failed", "Done", "Done"}));
  EXPECT_EQ(StartOrder(Seen, w), QStringList({"two.avi", "three.avi"}));
  EXPECT_EQ(OutFiles(), QStringList({OutputName(sources[1]), OutputName(sources[3]),
                                     "two (MPEG-4 Video) (partial).mp4", OutputName(sources[2])}));
  ExpectVideoOutput(partial, 480, 360);
  ExpectVideoOutput(OutPath(OutputName(sources[2])), 480, 360);
  ExpectVideoOutput(OutPath(OutputName(sources[3])), 160, 120);
  EXPECT_EQ(w.lvFiles->item(1, kColumnOutput)->toolTip(), OutPath(OutputName(sources[2])));
  ASSERT_EQ(Dialogs.Count("Summary"), 2);
  EXPECT_TRUE(Dialogs.Last("Summary").Text.startsWith("2 converted in "))
      << Dialogs.Last("Summary").Text.toStdString();
  EXPECT_FALSE(w.mnuConvertRemaining->isEnabled());
  EXPECT_TRUE(w.mnuRetryFailed->isEnabled());
}

TEST_F(WindowMain, MovedAndSortedRowsConvertInTheListsOrder) {
  const QStringList sources = {Clip("a.avi", 160, 120, 1.0), Clip("b.avi", 192, 144, 1.0),
                               Clip("c.avi", 128, 96, 1.0)};
  auto window = MakeWindow();
  TfrmMain& w = *window;
  w.show();
  w.SetJobs(1);
  w.AddFiles(sources);
  ASSERT_EQ(w.lvFiles->rowCount(), 3);

  // Ctrl+Down moves the selected row; the selection follows it.
  w.lvFiles->selectRow(0);
  ASSERT_TRUE(w.mnuMoveDown->isEnabled());
  w.mnuMoveDown->trigger();
  EXPECT_EQ(RowNames(w), QStringList({"b.avi", "a.avi", "c.avi"}));
  EXPECT_EQ(SelectedNames(w), QStringList({"a.avi"}));
  EXPECT_EQ(w.lvFiles->currentRow(), 1);
  // Each task still reports into its file's row.
  EXPECT_EQ(w.RowOfTask(0), 1);
  EXPECT_EQ(w.RowOfTask(1), 0);

  // A drag of the last row within the list, dropped on the first row's
  // upper half, puts it first.
  w.lvFiles->selectRow(2);
  std::unique_ptr<QMimeData> rows(w.lvFiles->RowsMimeData());
  const QRect top = w.lvFiles->visualRect(w.lvFiles->model()->index(0, 0));
  const QPointF at(top.center().x(), top.top() + 2);
  QDragEnterEvent enter(at.toPoint(), Qt::MoveAction, rows.get(), Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(w.lvFiles->viewport(), &enter);
  EXPECT_TRUE(enter.isAccepted());
  QDropEvent drop(at, Qt::MoveAction, rows.get(), Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(w.lvFiles->viewport(), &drop);
  EXPECT_TRUE(drop.isAccepted());
  EXPECT_EQ(RowNames(w), QStringList({"c.avi", "b.avi", "a.avi"}));
  EXPECT_EQ(SelectedNames(w), QStringList({"c.avi"}));
  EXPECT_EQ(w.lvFiles->rowCount(), 3);
  EXPECT_EQ(w.VexAVC().TaskCount(), 3);

  // The files convert in the list's order.
  Seen.clear();
  ASSERT_TRUE(ConvertAndWait(w));
  EXPECT_EQ(Statuses(w), QStringList({"Done", "Done", "Done"}));
  EXPECT_EQ(StartOrder(Seen, w), QStringList({"c.avi", "b.avi", "a.avi"}));
  ExpectVideoOutput(OutPath(OutputName(sources[0])), 160, 120);
  ExpectVideoOutput(OutPath(OutputName(sources[1])), 192, 144);
  ExpectVideoOutput(OutPath(OutputName(sources[2])), 128, 96);
  for (int row = 0; row < 3; ++row)
    EXPECT_EQ(w.lvFiles->item(row, kColumnOutput)->text(),
              OutputName(w.lvFiles->item(row, kColumnSource)->text()));

  // A click on the Source header sorts the list while idle, and the next
  // run follows that order.
  ClickHeader(w, kColumnSource);
  EXPECT_EQ(RowNames(w), QStringList({"a.avi", "b.avi", "c.avi"}));
  EXPECT_EQ(w.lvFiles->item(0, kColumnOutput)->text(), OutputName(sources[0]));
  Seen.clear();
  w.btnConvertClick();  // converted already: asked, answered Yes
  ASSERT_TRUE(w.Converting());
  EXPECT_EQ(Dialogs.Count("AskYesNo"), 1);
  // While converting, a header click sorts nothing and rows do not move.
  ClickHeader(w, kColumnSource);
  EXPECT_EQ(RowNames(w), QStringList({"a.avi", "b.avi", "c.avi"}));
  w.lvFiles->selectRow(0);
  EXPECT_FALSE(w.mnuMoveDown->isEnabled());
  w.MoveSelected(1);
  EXPECT_EQ(RowNames(w), QStringList({"a.avi", "b.avi", "c.avi"}));
  ASSERT_TRUE(WaitUntil([&] { return !w.Converting(); }));
  EXPECT_EQ(StartOrder(Seen, w), QStringList({"a.avi", "b.avi", "c.avi"}));
  ExpectVideoOutput(OutPath(OutputName(sources[2], "1")), 128, 96);
  // Idle again: a second click sorts the other way.
  ClickHeader(w, kColumnSource);
  EXPECT_EQ(RowNames(w), QStringList({"c.avi", "b.avi", "a.avi"}));
  EXPECT_EQ(w.lvFiles->horizontalHeader()->sortIndicatorOrder(), Qt::DescendingOrder);
}

TEST_F(WindowMain, ATypedOutputFolderIsMadeOrRefusedWithItsReason) {
  const QString source = Clip("typed.avi");
  const QString notes = MediaPath("notes.txt");
  {
    QFile file(notes);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("a file, not a folder");
  }
  auto window = MakeWindow();
  TfrmMain& w = *window;
  w.AddFiles({source});

  // A file in the way: refused with the reason, nothing is made or written.
  w.txtOutput->setText(" " + notes + "/out/ ");
  w.btnConvertClick();
  EXPECT_EQ(Dialogs.Texts("Warning"),
            QStringList({"The output folder " + notes + "/out cannot be used: Not a directory."}));
  EXPECT_FALSE(w.Converting());
  EXPECT_EQ(Statuses(w), QStringList({"Ready"}));
  EXPECT_EQ(QDir(Dir.path() + "/media").entryList(QDir::Files, QDir::Name),
            QStringList({"notes.txt", "typed.avi"}));
  // Nothing typed at all.
  w.txtOutput->setText("  ");
  w.btnConvertClick();
  EXPECT_EQ(Dialogs.Texts("Warning").back(), "Type or choose an output folder.");
  EXPECT_FALSE(w.Converting());

  // "~" is the home folder; the missing folders are made.
  w.txtOutput->setText("~/typed/out/");
  ASSERT_TRUE(ConvertAndWait(w));
  const QString made = HomeFolder() + "/typed/out";
  EXPECT_EQ(w.txtOutput->text(), made);
  EXPECT_EQ(Statuses(w), QStringList({"Done"}));
  ExpectVideoOutput(made + u'/' + OutputName(source), 160, 120);
  EXPECT_EQ(Dialogs.Count("Warning"), 2);

  // A relative name is taken under the home folder too; config.ini keeps
  // the folder at close as it keeps one chosen with Change.
  w.txtOutput->setText("relative");
  emit w.txtOutput->textEdited(w.txtOutput->text());
  ASSERT_TRUE(ConvertAndWait(w));  // converted already: asked, answered Yes
  EXPECT_EQ(w.txtOutput->text(), HomeFolder() + "/relative");
  ExpectVideoOutput(HomeFolder() + "/relative/" + OutputName(source), 160, 120);
  // Browse takes a typed folder the same way: made under home, then opened.
  w.txtOutput->setText("~/browsed");
  w.btnBrowse->click();
  EXPECT_TRUE(QFileInfo(HomeFolder() + "/browsed").isDir());
  EXPECT_EQ(Dialogs.Last("OpenUrl").Text,
            QUrl::fromLocalFile(HomeFolder() + "/browsed").toString());
  EXPECT_EQ(Dialogs.Count("Warning"), 2);
  w.txtOutput->setText(HomeFolder() + "/relative");
  w.close();
  QFile config(UserConfig());
  ASSERT_TRUE(config.open(QIODevice::ReadOnly));
  EXPECT_TRUE(config.readAll().contains(("strOutput=" + HomeFolder() + "/relative\n").toUtf8()));
}

}  // namespace
}  // namespace vexav::test
