// The main window with batches that do not all go well: files that cannot
// start, files gone since they were listed, folders that cannot be written,
// a stopped run converted again, files added again after a run. Every run
// converts generated clips for real and reads its outputs back.
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDirIterator>
#include <QPushButton>

#include "MainWindowFixture.h"

namespace vexav::test {
namespace {

// The zero-byte files anywhere under folder.
QStringList EmptyFilesUnder(const QString& folder) {
  QStringList empty;
  QDirIterator files(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
  while (files.hasNext()) {
    const QFileInfo file(files.next());
    if (file.size() == 0) empty.append(file.filePath());
  }
  return empty;
}

QString StatusTip(const TfrmMain& window, int row) {
  return window.lvFiles->item(row, kColumnStatus)->toolTip();
}

TEST_F(WindowMain, AFileThatCannotStartDoesNotHoldUpTheOthers) {
  ASSERT_TRUE(QDir(Dir.path()).mkpath(QStringLiteral("media/gone")));
  const QString first = Clip("first.avi");
  const QString bad = Clip("gone/bad.avi");
  // Odd sizes may or may not convert: the batch goes on either way.
  const QString odd = Clip("odd.avi", 321, 241);
  const QString last = Clip("last.avi", 192, 144);
  auto window = MakeWindow();
  TfrmMain& w = *window;
  w.chkSameFolder->setChecked(true);  // each output beside its source
  w.AddFiles({first, bad, odd, last});
  ASSERT_EQ(w.lvFiles->rowCount(), 4);
  BlockFolder(MediaPath("gone"));

  w.btnConvertClick();
  // The run is under way at once; nothing waits for an answer.
  EXPECT_TRUE(w.Converting());
  EXPECT_EQ(w.windowTitle(), kTitle + " [Converting...]");
  EXPECT_EQ(Dialogs.Count("Warning"), 0);
  // The bad file's row says what went wrong, with the system's reason.
  const QString reason =
      "Could not open '" + MediaPath("gone/bad (MPEG-4 Video).mp4") + "': Not a directory";
  EXPECT_EQ(w.StatusText(1), "Failed");
  EXPECT_EQ(StatusTip(w, 1), reason);

  ASSERT_TRUE(WaitUntil([&] { return !w.Converting(); }));
  EXPECT_EQ(w.windowTitle(), kTitle + " [Done]");
  EXPECT_EQ(Dialogs.Count("Warning"), 0);
  const bool oddConverted = w.StatusText(2) == "Done";
  EXPECT_EQ(Statuses(w), QStringList({"Done", "Failed", oddConverted ? "Done" : "Failed", "Done"}));
  EXPECT_TRUE(SeenProgressIn(Seen, 0));
  EXPECT_TRUE(SeenProgressIn(Seen, 3));
  EXPECT_FALSE(SeenProgressIn(Seen, 1));
  ExpectVideoOutput(MediaPath(OutputName(first)), 160, 120);
  ExpectVideoOutput(MediaPath(OutputName(last)), 192, 144);
  if (oddConverted) {
    const mediagen::DecodedMedia media = mediagen::Decode(MediaPath(OutputName(odd)).toStdString());
    EXPECT_EQ(media.Error, "");
    EXPECT_FALSE(media.Frames.empty());
  } else {
    EXPECT_FALSE(QFileInfo::exists(MediaPath(OutputName(odd))));
    EXPECT_FALSE(StatusTip(w, 2).isEmpty());
  }
  // No empty file is left for what did not run.
  EXPECT_EQ(EmptyFilesUnder(Dir.path()), QStringList());

  // The summary after the run names the file once, with the same reason,
  // under the warning icon.
  ASSERT_EQ(Dialogs.Count("Summary"), 1);
  const TFakeDialogs::TCall summary = Dialogs.Last("Summary");
  EXPECT_TRUE(summary.Failed);
  EXPECT_TRUE(summary.Text.startsWith(oddConverted ? "3 converted, 1 failed in "
                                                   : "2 converted, 2 failed in "))
      << summary.Text.toStdString();
  EXPECT_TRUE(summary.Text.contains("\n\nError found\n\n" + bad + ": " + reason + "\n") ||
              summary.Text.endsWith("\n\nError found\n\n" + bad + ": " + reason))
      << summary.Text.toStdString();
  EXPECT_EQ(summary.Text.count(bad), 1);
}

TEST_F(WindowMain, AFileGoneSinceTheLastRunDoesNotHoldUpTheNext) {
  const QStringList sources = {Clip("a.avi"), Clip("b.avi"), Clip("c.avi", 192, 144)};
  auto window = MakeWindow();
  TfrmMain& w = *window;
  w.AddFiles(sources);
  ASSERT_TRUE(ConvertAndWait(w));
  ASSERT_EQ(Statuses(w), QStringList({"Done", "Done", "Done"}));

  ASSERT_TRUE(QFile::remove(sources[1]));
  Seen.clear();
  w.btnConvertClick();  // asks first, answered Yes
  EXPECT_EQ(Dialogs.Count("AskYesNo"), 1);
  EXPECT_TRUE(w.Converting());
  EXPECT_EQ(w.windowTitle(), kTitle + " [Converting...]");
  EXPECT_EQ(Dialogs.Count("Warning"), 0);
  EXPECT_EQ(w.StatusText(1), "Failed");
  EXPECT_EQ(StatusTip(w, 1), "no longer exists");
  EXPECT_EQ(w.RowOfTask(1), 2);

  ASSERT_TRUE(WaitUntil([&] { return !w.Converting(); }));
  EXPECT_EQ(Statuses(w), QStringList({"Done", "Failed", "Done"}));
  EXPECT_TRUE(SeenProgressIn(Seen, 2));
  EXPECT_FALSE(SeenProgressIn(Seen, 1));
  ExpectVideoOutput(OutPath(OutputName(sources[2], "1")), 192, 144);
  EXPECT_FALSE(QFileInfo::exists(OutPath(OutputName(sources[1], "1"))));
  EXPECT_EQ(EmptyFilesUnder(Dir.path()), QStringList());
  EXPECT_EQ(Dialogs.Count("Warning"), 0);
  ASSERT_EQ(Dialogs.Count("Summary"), 2);
  EXPECT_TRUE(Dialogs.Last("Summary").Failed);
  EXPECT_TRUE(Dialogs.Last("Summary").Text.startsWith("2 converted, 1 failed in "));
  EXPECT_TRUE(Dialogs.Last("Summary").Text.endsWith("\n\nError found\n\n" + sources[1] +
                                                    ": no longer exists"))
      << Dialogs.Last("Summary").Text.toStdString();
}

TEST_F(WindowMain, EveryTaskFailingLeavesTheWindowIdle) {
  ASSERT_TRUE(QDir(Dir.path()).mkpath(QStringLiteral("media/gone")));
  const QString one = Clip("gone/one.avi");
  const QString two = Clip("gone/two.avi");
  auto window = MakeWindow();
  TfrmMain& w = *window;
  w.chkSameFolder->setChecked(true);
  w.AddFiles({one, two});
  ASSERT_EQ(w.lvFiles->rowCount(), 2);
  BlockFolder(MediaPath("gone"));
  w.btnConvertClick();
  // Nothing could start, so nothing waits behind the one message, which
  // names each file and why.
  const auto reason = [&](const QString& source) {
    return source + ": Could not open '" + MediaPath("gone/" + OutputName(source)) +
           "': Not a directory";
  };
  EXPECT_EQ(Dialogs.Texts("Warning"),
            QStringList({"Error found\n\n" + reason(one) + "\n" + reason(two)}));
  EXPECT_EQ(Dialogs.Count("Summary"), 0);
  EXPECT_FALSE(w.Converting());
  EXPECT_EQ(w.btnConvert->text(), "Convert!");
  EXPECT_EQ(w.windowTitle(), kTitle + " [Ready]");
  EXPECT_TRUE(w.btnOpen->isEnabled());
  EXPECT_TRUE(w.selFormat->isEnabled());
  EXPECT_EQ(w.VexAVC().TaskCount(), 0);
  EXPECT_EQ(Statuses(w), QStringList({"Failed", "Failed"}));
  EXPECT_EQ(EmptyFilesUnder(Dir.path()), QStringList());

  // Nothing of a run arrives later either, and a new Convert tries again:
  // the files cannot be found where they were listed.
  QCoreApplication::processEvents();
  EXPECT_EQ(w.windowTitle(), kTitle + " [Ready]");
  w.btnConvertClick();
  EXPECT_EQ(Dialogs.Count("AskYesNo"), 0);  // nothing was converted
  ASSERT_EQ(Dialogs.Count("Warning"), 2);
  EXPECT_EQ(Dialogs.Texts("Warning").back(),
            "Error found\n\n" + one + ": no longer exists\n" + two + ": no longer exists");
  EXPECT_FALSE(w.Converting());
}

TEST_F(WindowMain, AnOutputFolderThatCannotBeMadeIsNamedOnceWithItsReason) {
  const QStringList sources = {Clip("a.avi"), Clip("b.avi")};
  const QString notes = MediaPath("notes.txt");
  {
    QFile file(notes);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("a file, not a folder");
  }
  auto window = MakeWindow();
  TfrmMain& w = *window;
  w.txtOutput->setText(notes + "/out");
  w.AddFiles(sources);
  w.btnConvertClick();
  EXPECT_EQ(Dialogs.Texts("Warning"),
            QStringList({"The output folder " + notes + "/out cannot be used: Not a directory."}));
  EXPECT_FALSE(w.Converting());
  EXPECT_EQ(w.windowTitle(), kTitle + " [Ready]");
  EXPECT_EQ(Statuses(w), QStringList({"Ready", "Ready"}));
  EXPECT_EQ(w.VexAVC().TaskCount(), 2);

  // Another folder: both files convert.
  w.txtOutput->setText(OutFolder);
  ASSERT_TRUE(ConvertAndWait(w));
  EXPECT_EQ(Statuses(w), QStringList({"Done", "Done"}));
  ExpectVideoOutput(OutPath(OutputName(sources[0])), 160, 120);
  ExpectVideoOutput(OutPath(OutputName(sources[1])), 160, 120);
  EXPECT_EQ(Dialogs.Count("Warning"), 1);
}

TEST_F(WindowMain, StopThenConvertConvertsWhatIsNotDone) {
  // The middle clip is long enough to be stopped while it converts.
  const QStringList sources = {Clip("one.avi"), Clip("two.avi", 480, 360, 6.0), Clip("three.avi")};
  auto window = MakeWindow();
  TfrmMain& w = *window;
  w.AddFiles(sources);
  ASSERT_EQ(w.lvFiles->rowCount(), 3);

  w.btnConvertClick();
  ASSERT_TRUE(w.Converting());
  ASSERT_TRUE(WaitUntil([&] {
    return ParseStatusCell(w.StatusText(1)).Kind != TStatusCell::TKind::Text ||
           w.StatusText(1) == "Done";
  }));
  ASSERT_NE(w.StatusText(1), "Done") << "the second file ended before it could be stopped";
  EXPECT_EQ(w.StatusText(0), "Done");
  w.btnConvertClick();  // Stop
  EXPECT_TRUE(w.StopPressed());

  ASSERT_TRUE(WaitUntil([&] { return !w.Converting(); }));
  const QStringList stopped = Statuses(w);
  ASSERT_EQ(stopped.size(), 3);
  EXPECT_EQ(stopped[0], "Done");
  EXPECT_TRUE(QRegularExpression("^Stopped: \\d+% kept$").match(stopped[1]).hasMatch())
      << stopped[1].toStdString();
  EXPECT_EQ(stopped[2], "Canceled");
  EXPECT_EQ(w.windowTitle(), kTitle + " [Job Canceled]");
  EXPECT_EQ(w.btnConvert->text(), "Convert!");
  EXPECT_TRUE(w.btnOpen->isEnabled());
  EXPECT_TRUE(w.LastFormat().isEmpty());
  // The stopped file keeps what was converted, under a name that says it is
  // not complete, and still plays to its end; the row says how much it has.
  const QString partial = OutPath("two (MPEG-4 Video) (partial).mp4");
  EXPECT_EQ(OutFiles(), QStringList({OutputName(sources[0]), "two (MPEG-4 Video) (partial).mp4"}));
  ExpectVideoOutput(partial, 480, 360);
  EXPECT_EQ(w.lvFiles->item(1, kColumnOutput)->toolTip(), partial);
  EXPECT_TRUE(StatusTip(w, 1).contains(" of 0:06 of the source as " + partial))
      << StatusTip(w, 1).toStdString();
  ExpectVideoOutput(OutPath(OutputName(sources[0])), 160, 120);
  // The stopped file is counted apart from the one that never started.
  ASSERT_EQ(Dialogs.Count("Summary"), 1);
  EXPECT_TRUE(
      Dialogs.Last("Summary").Text.startsWith("1 converted, 1 stopped (part kept), "
                                              "1 canceled in "))
      << Dialogs.Last("Summary").Text.toStdString();
  EXPECT_FALSE(Dialogs.Last("Summary").Failed);

  // Convert again: what is not done converts, without a question; the done
  // file keeps its row and its one output.
  Seen.clear();
  ASSERT_TRUE(ConvertAndWait(w));
  EXPECT_EQ(Dialogs.Count("AskYesNo"), 0);
  EXPECT_EQ(w.windowTitle(), kTitle + " [Done]");
  EXPECT_EQ(Statuses(w), QStringList({"Done", "Done", "Done"}));
  EXPECT_FALSE(w.StopPressed());
  for (const auto& [row, text] : Seen) EXPECT_NE(row, 0) << text.toStdString();
  EXPECT_EQ(w.lvFiles->item(0, kColumnOutput)->toolTip(), OutPath(OutputName(sources[0])));
  // The full name is free again: the partial file does not hold it.
  EXPECT_EQ(OutFiles(), QStringList({OutputName(sources[0]), OutputName(sources[2]),
                                     "two (MPEG-4 Video) (partial).mp4", OutputName(sources[1])}));
  ExpectVideoOutput(OutPath(OutputName(sources[1])), 480, 360);
  ExpectVideoOutput(OutPath(OutputName(sources[2])), 160, 120);
  // This run's two files only.
  ASSERT_EQ(Dialogs.Count("Summary"), 2);
  EXPECT_TRUE(Dialogs.Last("Summary").Text.startsWith("2 converted in "))
      << Dialogs.Last("Summary").Text.toStdString();
  EXPECT_EQ(Dialogs.Count("Warning"), 0);
}

TEST_F(WindowMain, AfterAStopDoneFilesAreConvertedAgainOnlyWhenAsked) {
  const QStringList sources = {Clip("short.avi"), Clip("long.avi", 480, 360, 6.0)};
  auto window = MakeWindow();
  TfrmMain& w = *window;
  w.AddFiles(sources);
  w.btnConvertClick();
  ASSERT_TRUE(WaitUntil([&] { return w.StatusText(0) == "Done"; }));
  ASSERT_TRUE(w.Converting()) << "the run ended before it could be stopped";
  w.btnConvertClick();  // Stop
  ASSERT_TRUE(WaitUntil([&] { return !w.Converting(); }));
  ASSERT_EQ(w.StatusText(0), "Done");
  // Only the done file is left in the list.
  w.lvFiles->selectRow(1);
  w.mnuRemove->trigger();
  ASSERT_EQ(Statuses(w), QStringList({"Done"}));
  const QStringList before = OutFiles();

  // Everything is done: Convert asks first, with No the default answer.
  Dialogs.Answer = false;
  w.btnConvertClick();
  ASSERT_EQ(Dialogs.Count("AskYesNo"), 1);
  EXPECT_EQ(Dialogs.Last("AskYesNo").Text,
            "File(s) from the list was already converted to this format\n"
            "MPEG-4 Video (*.mp4)\nDo you wish to convert agin?");
  EXPECT_FALSE(w.Converting());
  EXPECT_EQ(Statuses(w), QStringList({"Done"}));
  EXPECT_EQ(OutFiles(), before);

  // Yes: it converts again, beside the first output.
  Dialogs.Answer = true;
  ASSERT_TRUE(ConvertAndWait(w));
  EXPECT_EQ(Dialogs.Count("AskYesNo"), 2);
  EXPECT_EQ(Statuses(w), QStringList({"Done"}));
  ExpectVideoOutput(OutPath(OutputName(sources[0], "1")), 160, 120);
}

TEST_F(WindowMain, RefusedFilesAreNamedOnceWithTheirReason) {
  const QStringList sources = {Clip("a.avi"), Clip("b.avi")};
  const QString junk = MediaPath("junk.avi");
  {
    QFile file(junk);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("not a media file");
  }
  const QString deleted = Clip("deleted.avi");
  ASSERT_TRUE(QFile::remove(deleted));
  auto window = MakeWindow();
  TfrmMain& w = *window;
  w.AddFiles({sources[0]});
  ASSERT_TRUE(ConvertAndWait(w));
  ASSERT_EQ(Statuses(w), QStringList({"Done"}));

  // Nothing new accepted after a run: the finished rows stay, and one
  // message says which files were refused and why, each path once.
  w.AddFiles({junk, deleted});
  EXPECT_EQ(Statuses(w), QStringList({"Done"}));
  ASSERT_EQ(Dialogs.Count("Warning"), 1);
  const QString refused = Dialogs.Texts("Warning").back();
  EXPECT_TRUE(refused.startsWith("These files were not added:\n\n" + junk +
                                 ": not a readable media file ("))
      << refused.toStdString();
  EXPECT_TRUE(refused.endsWith(")\n" + deleted + ": no longer exists")) << refused.toStdString();
  EXPECT_EQ(refused.count(junk), 1);
  EXPECT_EQ(refused.count(deleted), 1);

  // One accepted: the list starts anew; the same file twice is refused.
  w.AddFiles({junk, sources[1], sources[1]});
  ASSERT_EQ(w.lvFiles->rowCount(), 1);
  EXPECT_EQ(w.lvFiles->item(0, kColumnSource)->text(), "b.avi");
  w.AddFiles({sources[1], sources[0]});
  ASSERT_EQ(w.lvFiles->rowCount(), 2);
  ASSERT_EQ(Dialogs.Count("Warning"), 3);
  EXPECT_TRUE(Dialogs.Texts("Warning")[1].endsWith(sources[1] + ": already in the list"));
  EXPECT_EQ(Dialogs.Texts("Warning")[2],
            "These files were not added:\n\n" + sources[1] + ": already in the list");
}

// A file whose media data is gone (zeros after its header, as a damaged
// camera file's can be) is listed and starts, and its run fails: its row
// says why and names no output, and nothing of it is left.
TEST_F(WindowMain, AFileWhoseRunFailsNamesNoOutput) {
  const QString good = Clip("good.avi");
  const QString blank = Clip("blank.avi");
  {
    QFile file(blank);
    ASSERT_TRUE(file.open(QIODevice::ReadWrite));
    const QByteArray bytes = file.readAll();
    const qsizetype data = bytes.indexOf("movi") + 4;
    ASSERT_GT(data, 4);
    file.seek(data);
    file.write(QByteArray(bytes.size() - data, '\0'));
  }
  auto window = MakeWindow();
  TfrmMain& w = *window;
  w.AddFiles({blank, good});
  ASSERT_EQ(w.lvFiles->rowCount(), 2);
  ASSERT_TRUE(ConvertAndWait(w));
  EXPECT_EQ(Statuses(w), QStringList({"Failed", "Done"}));
  EXPECT_EQ(StatusTip(w, 0),
            "The file holds no video data that can be decoded (input stream #0.0)");
  EXPECT_EQ(w.lvFiles->item(0, kColumnOutput)->text(), "");
  EXPECT_EQ(w.lvFiles->item(0, kColumnOutput)->toolTip(), "");
  EXPECT_EQ(OutFiles(), QStringList({OutputName(good)}));
}

TEST_F(WindowMain, AddingAListedFileAgainAfterARunKeepsTheRows) {
  const QString good = Clip("good.avi");
  // A clip cut short: listed like any other; how it converts does not matter.
  const QString trunc = Clip("trunc.avi");
  {
    QFile file(trunc);
    ASSERT_TRUE(file.resize(file.size() * 2 / 3));
  }
  const QString notVideo = MediaPath("notvideo.avi");
  {
    QFile file(notVideo);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("plain text");
  }
  auto window = MakeWindow();
  TfrmMain& w = *window;
  w.AddFiles({good, trunc});
  ASSERT_EQ(w.lvFiles->rowCount(), 2);
  ASSERT_TRUE(ConvertAndWait(w));
  const QStringList after = Statuses(w);
  EXPECT_EQ(after[0], "Done");

  // A listed file with a refused one brings nothing new: every row stays as
  // the run left it.
  w.AddFiles({good, notVideo});
  EXPECT_EQ(RowNames(w), QStringList({"good.avi", "trunc.avi"}));
  EXPECT_EQ(Statuses(w), after);
  ASSERT_EQ(Dialogs.Count("Warning"), 1);
  EXPECT_TRUE(Dialogs.Texts("Warning").back().startsWith("These files were not added:\n\n" + good +
                                                         ": already in the list\n" + notVideo +
                                                         ": not a readable media file ("))
      << Dialogs.Texts("Warning").back().toStdString();

  // With a new file it starts a new list, the listed file in it too.
  const QString fresh = Clip("fresh.avi");
  w.AddFiles({fresh, good});
  EXPECT_EQ(RowNames(w), QStringList({"fresh.avi", "good.avi"}));
  EXPECT_EQ(Statuses(w), QStringList({"Ready", "Ready"}));
  EXPECT_EQ(w.VexAVC().TaskCount(), 2);
  EXPECT_EQ(Dialogs.Count("Warning"), 1);
}

}  // namespace
}  // namespace vexav::test
