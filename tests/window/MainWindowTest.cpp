// The main window driven through its handlers on Qt's offscreen platform,
// with scripted dialogs, converting small generated clips for real.
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QHeaderView>
#include <QLabel>
#include <QMimeData>
#include <QMouseEvent>
#include <QPushButton>
#include <QSpinBox>
#include <QUrl>

#include "component/Presets.h"
#include <mutex>

#include "MainWindowFixture.h"
#include "binding/LibraryLoader.h"
#include "component/TaskList.h"
#include "window/ConfigFile.h"
#include "window/Product.h"

namespace vexav::test {
namespace {

// A progress report of CurrentMs converted out of TotalMs.
TRunProgress Progress(int64_t CurrentMs, int64_t TotalMs) {
  TRunProgress P;
  P.FrameNumber = 10;
  P.Fps = 25;
  P.CurrentDurationMs = CurrentMs;
  P.CurrentSize = 1000;
  P.TotalOutputDurationMs = TotalMs;
  return P;
}

TEST_F(WindowMain, ControlsAsDesigned) {
  auto window = MakeWindow();
  TfrmMain& w = *window;
  EXPECT_EQ(w.windowTitle(), kTitle);
  EXPECT_EQ(w.size(), QSize(771, 571));
  EXPECT_EQ(w.minimumSize(), QSize(631, 433));
  EXPECT_FALSE(TfrmMain::CanResize(QSize(630, 500)));
  EXPECT_FALSE(TfrmMain::CanResize(QSize(700, 432)));
  EXPECT_TRUE(TfrmMain::CanResize(QSize(631, 433)));
  EXPECT_EQ(w.AppFolder(), AppFolder() + u'/');

  for (const char* name :
       {"lvFiles", "btnOpen", "btnAddFolder", "btnConvert", "selFormat", "txtOutput",
        "btnFolderChange", "btnBrowse", "chkSameFolder", "spinJobs", "Image1"})
    EXPECT_NE(w.findChild<QWidget*>(QString::fromLatin1(name)), nullptr) << name;

  ASSERT_EQ(w.lvFiles->columnCount(), 6);
  QStringList headers;
  for (int column = 0; column < 6; ++column)
    headers.append(w.lvFiles->horizontalHeaderItem(column)->text());
  EXPECT_EQ(headers, QStringList({"Source", "Status", "Time", "Output", "Path", "Note"}));
  EXPECT_EQ(w.lvFiles->horizontalHeader()->sectionResizeMode(kColumnSource), QHeaderView::Stretch);
  EXPECT_EQ(w.lvFiles->editTriggers(), QAbstractItemView::NoEditTriggers);
  EXPECT_EQ(w.lvFiles->selectionBehavior(), QAbstractItemView::SelectRows);
  EXPECT_TRUE(w.lvFiles->showGrid());
  // Tab leaves the list instead of walking its cells.
  EXPECT_FALSE(w.lvFiles->tabKeyNavigation());
  const QList<QAction*> menu = w.lvFiles->actions();
  ASSERT_EQ(menu.size(), 12);  // the queue's actions follow (MainWindowQueueTest.cpp)
  EXPECT_EQ(menu[0]->text(), "Add File(s)");
  EXPECT_EQ(menu[1]->text(), "Add Folder...");
  EXPECT_TRUE(menu[2]->isSeparator());
  EXPECT_EQ(menu[3]->text(), "Remove");
  EXPECT_EQ(menu[3]->shortcut(), QKeySequence(QKeySequence::Delete));
  EXPECT_EQ(menu[4]->text(), "Clear List");

  EXPECT_EQ(w.btnOpen->text(), "Add...");
  EXPECT_EQ(w.btnOpen->toolTip(), "Open one or more videos to the list");
  EXPECT_EQ(w.btnConvert->text(), "Convert!");
  EXPECT_EQ(w.btnConvert->toolTip(), "Convert all the videos from the list");
  ASSERT_EQ(w.selFormat->count(), static_cast<int>(vexav::output::kFormats.size()));
  EXPECT_EQ(w.selFormat->currentText(), kFormat);
  EXPECT_FALSE(w.txtOutput->isReadOnly());  // a folder may be typed
  EXPECT_EQ(w.btnFolderChange->text(), "Change");
  EXPECT_EQ(w.btnBrowse->text(), "Browse");
  EXPECT_EQ(w.chkSameFolder->text(), "Save beside the source files");
  EXPECT_FALSE(w.chkSameFolder->isHidden());
  EXPECT_TRUE(w.chkSameFolder->isEnabled());
  EXPECT_EQ(w.spinJobs->value(), 1);
  EXPECT_EQ(w.spinJobs->maximum(), 16);
  EXPECT_EQ(w.lblOutput->text(), "Output Folder:");
  EXPECT_EQ(w.lblFormat->text(), "Output Format:");
  EXPECT_EQ(w.Jobs(), 1);
  // One file at a time: its codecs choose their own thread count.
  EXPECT_EQ(w.VexAVC().CodecThreads(), 0);

  // Without config.ini the output folder is the default one.
  TfrmMain fresh(Dialogs, TMainWindowSetup{AppFolder(), HomeFolder()});
  EXPECT_EQ(fresh.txtOutput->text(), HomeFolder() + "/KorvelVideo");
  EXPECT_FALSE(fresh.chkSameFolder->isChecked());
}

TEST_F(WindowMain, DialogsAndShellGoThroughTheSeam) {
  auto window = MakeWindow();
  TfrmMain& w = *window;

  // Convert with an empty list.
  w.btnConvertClick();
  ASSERT_EQ(Dialogs.Count("Information"), 1);
  EXPECT_EQ(Dialogs.Calls.back().Caption, "Information");
  EXPECT_EQ(Dialogs.Calls.back().Text, "Please choose a file.");
  EXPECT_FALSE(w.Converting());

  // The open dialog, cancelled: nothing changes.
  w.btnOpenClick();
  ASSERT_EQ(Dialogs.Count("ChooseFiles"), 1);
  EXPECT_EQ(w.lvFiles->rowCount(), 0);
  EXPECT_EQ(w.windowTitle(), kTitle);
  w.mnuAddFiles->trigger();
  EXPECT_EQ(Dialogs.Count("ChooseFiles"), 2);

  // One pattern for .avi; the dialog matches it in any letter case.
  EXPECT_EQ(Dialogs.Texts("ChooseFiles").front(), "All Supported Files (*.avi);;All Files (*)");

  // The folder dialog, opening at the current folder: the button and a
  // double-click on the box.
  Dialogs.FolderToChoose = Dir.path() + "/chosen/";
  w.btnFolderChangeClick();
  ASSERT_EQ(Dialogs.Count("ChooseFolder"), 1);
  EXPECT_EQ(Dialogs.Calls.back().Caption, "Select an Output Folder:");
  EXPECT_EQ(Dialogs.Calls.back().Text, OutFolder);
  EXPECT_EQ(w.txtOutput->text(), Dir.path() + "/chosen");
  Dialogs.FolderToChoose.clear();
  QMouseEvent doubleClick(QEvent::MouseButtonDblClick, QPointF(5, 5), QPointF(5, 5), Qt::LeftButton,
                          Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(w.txtOutput, &doubleClick);
  EXPECT_EQ(Dialogs.Count("ChooseFolder"), 2);
  EXPECT_EQ(w.txtOutput->text(), Dir.path() + "/chosen");  // cancelled: kept

  // Browse makes the folder that is not there yet, then opens it.
  ASSERT_FALSE(QFileInfo::exists(Dir.path() + "/chosen"));
  w.btnBrowse->click();
  ASSERT_EQ(Dialogs.Count("OpenUrl"), 1);
  EXPECT_EQ(QUrl(Dialogs.Texts("OpenUrl").back()).toLocalFile(), Dir.path() + "/chosen");
  EXPECT_TRUE(QFileInfo(Dir.path() + "/chosen").isDir());
  // When nothing can open it, the window says so.
  Dialogs.OpenUrlWorks = false;
  w.btnBrowse->click();
  EXPECT_EQ(Dialogs.Texts("Warning"),
            QStringList({"No file manager could open " + Dir.path() + "/chosen."}));
  Dialogs.OpenUrlWorks = true;
  Dialogs.Calls.clear();

  // A click on the banner opens the home page.
  QMouseEvent press(QEvent::MouseButtonPress, QPointF(10, 10), QPointF(10, 10), Qt::LeftButton,
                    Qt::LeftButton, Qt::NoModifier);
  QMouseEvent release(QEvent::MouseButtonRelease, QPointF(10, 10), QPointF(10, 10), Qt::LeftButton,
                      Qt::NoButton, Qt::NoModifier);
  QCoreApplication::sendEvent(w.Image1, &press);
  QCoreApplication::sendEvent(w.Image1, &release);
  ASSERT_EQ(Dialogs.Count("OpenUrl"), 1);
  EXPECT_EQ(Dialogs.Texts("OpenUrl").back(), QString::fromLatin1(kHomePage));
  EXPECT_EQ(Dialogs.Count("Warning"), 0);
}

TEST_F(WindowMain, ConvertsThreeFilesThenAsksBeforeConvertingAgain) {
  const QStringList sources = {Clip("first.avi"), Clip("second.avi"), Clip("third.avi")};
  auto window = MakeWindow();
  TfrmMain& w = *window;
  Dialogs.FilesToChoose = sources;
  w.btnOpenClick();
  ASSERT_EQ(w.lvFiles->rowCount(), 3);
  EXPECT_EQ(w.windowTitle(), kTitle + " [Ready]");
  EXPECT_EQ(w.VexAVC().TaskCount(), 3);
  for (int row = 0; row < 3; ++row) {
    EXPECT_EQ(w.lvFiles->item(row, kColumnSource)->text(), QFileInfo(sources[row]).fileName());
    EXPECT_EQ(w.lvFiles->item(row, kColumnPath)->text(), Dir.path() + "/media/");
    EXPECT_EQ(w.StatusText(row), "Ready");
  }

  w.btnConvertClick();
  EXPECT_TRUE(w.Converting());
  EXPECT_EQ(w.btnConvert->text(), "Stop");
  EXPECT_EQ(w.windowTitle(), kTitle + " [Converting...]");
  for (QWidget* control :
       {static_cast<QWidget*>(w.btnOpen), static_cast<QWidget*>(w.selFormat),
        static_cast<QWidget*>(w.txtOutput), static_cast<QWidget*>(w.btnFolderChange)})
    EXPECT_FALSE(control->isEnabled()) << control->objectName().toStdString();
  EXPECT_TRUE(QFileInfo(OutFolder).isDir());  // made with its parents

  ASSERT_TRUE(WaitUntil([&] { return !w.Converting(); }));
  EXPECT_EQ(w.windowTitle(), kTitle + " [Done]");
  EXPECT_EQ(w.btnConvert->text(), "Convert!");
  EXPECT_TRUE(w.btnOpen->isEnabled());
  EXPECT_TRUE(w.selFormat->isEnabled());
  EXPECT_EQ(Statuses(w), QStringList({"Done", "Done", "Done"}));
  EXPECT_EQ(w.VexAVC().TaskCount(), 0);
  EXPECT_EQ(w.LastFormat(), kFormat);
  for (int row = 0; row < 3; ++row) EXPECT_TRUE(SeenProgressIn(Seen, row)) << row;
  EXPECT_EQ(Dialogs.Count("Warning"), 0);
  // While converting, the Time column counted and estimated what was left.
  EXPECT_FALSE(SeenTimes.filter(QStringLiteral(" left")).isEmpty())
      << SeenTimes.join(u'|').toStdString();
  // Done: the time each took, and the output it wrote.
  for (int row = 0; row < 3; ++row) {
    EXPECT_TRUE(kClock.match(w.lvFiles->item(row, kColumnTime)->text()).hasMatch()) << row;
    EXPECT_EQ(w.lvFiles->item(row, kColumnOutput)->text(), OutputName(sources[row]));
    EXPECT_EQ(w.lvFiles->item(row, kColumnOutput)->toolTip(), OutPath(OutputName(sources[row])));
  }
  // One summary for the run; the window was not active, so the desktop was
  // told too.
  ASSERT_EQ(Dialogs.Count("Summary"), 1);
  EXPECT_TRUE(QRegularExpression("^3 converted in \\d+ s$")
                  .match(Dialogs.Texts("Summary").front())
                  .hasMatch())
      << Dialogs.Texts("Summary").front().toStdString();
  // Nothing failed: the information icon.
  EXPECT_FALSE(Dialogs.Last("Summary").Failed);
  EXPECT_EQ(Dialogs.Texts("Notify"), Dialogs.Texts("Summary"));
  // A double-click on a finished row opens its output.
  emit w.lvFiles->cellDoubleClicked(1, kColumnSource);
  ASSERT_EQ(Dialogs.Count("OpenUrl"), 1);
  EXPECT_EQ(QUrl(Dialogs.Texts("OpenUrl").front()).toLocalFile(), OutPath(OutputName(sources[1])));

  const QStringList outputs = OutFiles();
  EXPECT_EQ(outputs,
            QStringList({OutputName(sources[0]), OutputName(sources[1]), OutputName(sources[2])}));
  for (const QString& source : sources) ExpectVideoOutput(OutPath(OutputName(source)), 160, 120);

  // Again with the same format: the question, answered No.
  Dialogs.Answer = false;
  Seen.clear();
  w.btnConvertClick();
  ASSERT_EQ(Dialogs.Count("AskYesNo"), 1);
  EXPECT_EQ(Dialogs.Calls.back().Caption, "Information");
  EXPECT_EQ(Dialogs.Calls.back().Text,
            "File(s) from the list was already converted to this format\n"
            "MPEG-4 Video (*.mp4)\nDo you wish to convert agin?");
  EXPECT_FALSE(w.Converting());
  EXPECT_EQ(Statuses(w), QStringList({"Done", "Done", "Done"}));
  EXPECT_TRUE(Seen.empty());
  EXPECT_EQ(OutFiles(), outputs);
  EXPECT_EQ(w.windowTitle(), kTitle + " [Done]");
  EXPECT_EQ(w.VexAVC().TaskCount(), 0);

  // Adding a new file after a completed run starts a new list.
  Dialogs.FilesToChoose = {Clip("fourth.avi")};
  w.btnOpenClick();
  ASSERT_EQ(w.lvFiles->rowCount(), 1);
  EXPECT_EQ(w.lvFiles->item(0, kColumnSource)->text(), "fourth.avi");
  EXPECT_EQ(w.VexAVC().TaskCount(), 1);
}

TEST_F(WindowMain, TakenNamesGetCounters) {
  const QString source = Clip("clip.avi");
  ASSERT_TRUE(QDir().mkpath(OutFolder));
  {
    QFile taken(OutPath("clip (MPEG-4 Video).mp4"));
    ASSERT_TRUE(taken.open(QIODevice::WriteOnly));
    taken.write("keep");
  }
  auto window = MakeWindow();
  TfrmMain& w = *window;
  w.AddFiles({source});
  ASSERT_TRUE(ConvertAndWait(w));
  ExpectVideoOutput(OutPath("clip (MPEG-4 Video [1]).mp4"), 160, 120);
  ASSERT_TRUE(ConvertAndWait(w));  // the question is answered Yes
  EXPECT_EQ(Dialogs.Count("AskYesNo"), 1);
  ExpectVideoOutput(OutPath("clip (MPEG-4 Video [2]).mp4"), 160, 120);
  QFile taken(OutPath("clip (MPEG-4 Video).mp4"));
  ASSERT_TRUE(taken.open(QIODevice::ReadOnly));
  EXPECT_EQ(taken.readAll(), "keep");
  EXPECT_EQ(OutFiles().size(), 3);
}

TEST_F(WindowMain, LongNamesAreShortenedToFitTheFileSystem) {
  // 250 bytes of name: the label would take the output past 255.
  const QString source = Clip(QString(246, u'n') + ".avi");
  auto window = MakeWindow();
  TfrmMain& w = *window;
  w.AddFiles({source});
  ASSERT_TRUE(ConvertAndWait(w));
  EXPECT_EQ(Statuses(w), QStringList({"Done"}));
  ASSERT_EQ(OutFiles().size(), 1);
  const QString name = OutFiles().front();
  EXPECT_LE(name.toUtf8().size(), 255);
  EXPECT_TRUE(name.endsWith(" (MPEG-4 Video).mp4")) << name.toStdString();
  EXPECT_EQ(w.lvFiles->item(0, kColumnOutput)->text(), name);
  ExpectVideoOutput(OutPath(name), 160, 120);
}

// A webcam's MJPEG in full-range 4:2:2 becomes 4:2:0 video-range H.264, the
// kind every player decodes.
TEST_F(WindowMain, CameraClipBecomes420) {
  mediagen::MediaRequest request;
  request.Width = 160;
  request.Height = 120;
  request.DurationSeconds = 0.5;
  request.MarkSeconds = {};
  request.Video = mediagen::VideoCodec::Mjpeg;
  request.MjpegPixelFormat = "yuvj422p";
  request.Audio = mediagen::AudioCodec::Pcm;
  const QString source = Make(QStringLiteral("webcam.avi"), request);
  auto window = MakeWindow();
  window->AddFiles({source});
  ASSERT_TRUE(ConvertAndWait(*window));
  const mediagen::DecodedMedia media = mediagen::Decode(OutPath(OutputName(source)).toStdString());
  ASSERT_EQ(media.Error, "");
  EXPECT_EQ(media.PixelFormat, "yuv420p");
}

// An odd size loses its last column and row (H.264 in 4:2:0 takes even
// sizes only); the row's "Done" says so.
TEST_F(WindowMain, OddSizedSourceLosesItsLastColumnAndRow) {
  const QString source = Clip("odd.avi", 161, 121);
  auto window = MakeWindow();
  TfrmMain& w = *window;
  w.AddFiles({source});
  ASSERT_TRUE(ConvertAndWait(w));
  EXPECT_EQ(Dialogs.Count("Message"), 0);
  EXPECT_EQ(Statuses(w), QStringList({"Done"}));
  EXPECT_EQ(w.lvFiles->item(0, kColumnStatus)->toolTip(),
            "The picture is 161x121, an odd size the libx264 encoder does not take: its last "
            "column and last row are left out, giving 160x120 with every other pixel as it was.");
  ExpectVideoOutput(OutPath(OutputName(source)), 160, 120);
}

TEST_F(WindowMain, SourcesWithoutPicturesConvertToSoundWhateverTheirName) {
  mediagen::MediaRequest song;
  song.Video = mediagen::VideoCodec::None;
  song.DurationSeconds = 2.0;
  const QString lower = Make("song.mp3", song);
  const QString upperMade = Make("loud.mp3", song);
  const QString upper = MediaPath("LOUD.MP3");
  ASSERT_TRUE(QFile::rename(upperMade, upper));
  // An AVI that holds only sound: its extension is a video one.
  const QString avi = Make("voice.avi", song);

  auto window = MakeWindow();
  TfrmMain& w = *window;
  w.AddFiles({lower, upper, avi});
  ASSERT_EQ(w.lvFiles->rowCount(), 3);
  w.btnConvertClick();
  EXPECT_EQ(Dialogs.Count("Warning"), 0);
  ASSERT_TRUE(WaitUntil([&] { return !w.Converting(); }));
  EXPECT_EQ(Statuses(w), QStringList({"Done", "Done", "Done"}));
  EXPECT_EQ(OutFiles(), QStringList({"LOUD (MPEG-4 Video).mp4", "song (MPEG-4 Video).mp4",
                                     "voice (MPEG-4 Video).mp4"}));

  for (const QString& name : OutFiles()) {
    const mediagen::DecodedMedia media = mediagen::Decode(OutPath(name).toStdString());
    ASSERT_EQ(media.Error, "") << name.toStdString();
    EXPECT_EQ(media.VideoStreams, 0);
    EXPECT_TRUE(media.Frames.empty());
    EXPECT_EQ(media.AudioStreams, 1);
    EXPECT_EQ(media.AudioCodecName, "aac");
    EXPECT_GT(media.AudioSamples, 44100);
  }
}

TEST_F(WindowMain, ProgressAndEndNoticesReachTheirRows) {
  const QString source = Clip("clip.avi");
  auto window = MakeWindow();
  TfrmMain& w = *window;
  w.AddFiles({source});
  ASSERT_EQ(w.lvFiles->rowCount(), 1);

  // No known length: converting without a percentage.
  w.VexAVCProgress(0, Progress(400, 0));
  ASSERT_TRUE(WaitUntil([&] { return w.StatusText(0) != "Ready"; }));
  EXPECT_EQ(w.StatusText(0), "{|");
  w.VexAVCProgress(0, Progress(400, -5));
  w.VexAVCProgress(0, Progress(999, 4000));
  ASSERT_TRUE(WaitUntil([&] { return w.StatusText(0) == "{|24"; }));
  // Notices of tasks that have no row change nothing.
  w.VexAVCProgress(3, Progress(999, 4000));
  w.VexAVCTerminate(7, true, false, "");
  w.VexAVCTerminate(0, false, true, "Something broke");
  ASSERT_TRUE(WaitUntil([&] { return w.StatusText(0) == "Failed"; }));
  EXPECT_EQ(w.lvFiles->item(0, kColumnStatus)->toolTip(), "Something broke");
  EXPECT_EQ(w.lvFiles->rowCount(), 1);
}

TEST_F(WindowMain, ConfigIsWrittenAtCloseAndReadAtStart) {
  // No config.ini beside the executable: the user's own, made at close.
  const QString config = UserConfig();
  {
    TfrmMain w(Dialogs, TMainWindowSetup{AppFolder(), HomeFolder()});
    EXPECT_EQ(w.ConfigFile(), config);
    EXPECT_EQ(w.txtOutput->text(), HomeFolder() + "/KorvelVideo");
    Dialogs.FolderToChoose = "/some/where";
    w.btnFolderChangeClick();
    w.SetJobs(3);
    w.show();
    EXPECT_TRUE(w.close());
    EXPECT_FALSE(w.isVisible());
    EXPECT_EQ(Dialogs.Count("ShowExitBanner"), 1);
    EXPECT_FALSE(Dialogs.BannerWhileVisible);
  }
  EXPECT_EQ(Dialogs.Count("Warning"), 0);
  EXPECT_FALSE(QFileInfo::exists(AppFolder() + "/config.ini"));
  QFile file(config);
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  EXPECT_EQ(file.readAll(),
            "[Main]\nstrOutput=/some/where\nbooSameFolder=0\nintJobs=3\n"
            "strFormat=MPEG-4 Video\nintMaxHeight=0\n");
  file.close();
  {
    TfrmMain w(Dialogs, TMainWindowSetup{AppFolder(), HomeFolder()});
    EXPECT_EQ(w.txtOutput->text(), "/some/where");
    EXPECT_FALSE(w.chkSameFolder->isChecked());
    EXPECT_EQ(w.Jobs(), 3);
    EXPECT_TRUE(w.txtOutput->isEnabled());
  }
  ASSERT_TRUE(WriteConfig(config, TWindowConfig{"/else/where", true, 40}));
  {
    TfrmMain w(Dialogs, TMainWindowSetup{AppFolder(), HomeFolder()});
    EXPECT_EQ(w.txtOutput->text(), "/else/where");
    EXPECT_TRUE(w.chkSameFolder->isChecked());
    EXPECT_EQ(w.Jobs(), 16);
    // Outputs beside their sources: the folder controls are off, and the
    // box that says so switches them back on and off again.
    EXPECT_FALSE(w.txtOutput->isEnabled());
    EXPECT_FALSE(w.btnFolderChange->isEnabled());
    EXPECT_FALSE(w.btnBrowse->isEnabled());
    EXPECT_TRUE(w.chkSameFolder->isVisibleTo(&w));
    w.chkSameFolder->click();
    EXPECT_FALSE(w.chkSameFolder->isChecked());
    EXPECT_TRUE(w.txtOutput->isEnabled());
    EXPECT_TRUE(w.btnFolderChange->isEnabled());
    EXPECT_TRUE(w.btnBrowse->isEnabled());
    w.chkSameFolder->click();
    EXPECT_FALSE(w.btnFolderChange->isEnabled());
  }
}

TEST_F(WindowMain, ValuesGivenForOneRunAreNotSaved) {
  const QString config = AppFolder() + "/config.ini";
  const TWindowConfig kept{"/kept/folder", false, 2, "AV1 Video", 1080};
  ASSERT_TRUE(WriteConfig(config, kept));
  {
    TfrmMain w(Dialogs, TMainWindowSetup{AppFolder(), HomeFolder()});
    w.SetOutputFolderForRun("/this/run");
    w.SetJobsForRun(5);
    EXPECT_FALSE(w.SetFormatForRun("DivX"));
    EXPECT_TRUE(w.SetFormatForRun("hevc video"));
    w.SetMaxHeightForRun(480);
    EXPECT_EQ(w.txtOutput->text(), "/this/run");
    EXPECT_EQ(w.spinJobs->value(), 5);
    EXPECT_EQ(w.selFormat->currentText(), "HEVC Video (*.mp4)");
    EXPECT_EQ(w.MaxHeight(), 480);
    EXPECT_TRUE(w.close());
  }
  EXPECT_EQ(ReadConfig(config, HomeFolder()), kept);
  {
    // Changed in the window, they are the user's and saved.
    TfrmMain w(Dialogs, TMainWindowSetup{AppFolder(), HomeFolder()});
    w.SetOutputFolderForRun("/this/run");
    w.SetJobsForRun(5);
    ASSERT_TRUE(w.SetFormatForRun("HEVC Video"));
    w.SetMaxHeightForRun(480);
    Dialogs.FolderToChoose = "/chosen";
    w.btnFolderChangeClick();
    w.spinJobs->setValue(3);
    EXPECT_EQ(w.Jobs(), 3);
    w.selFormat->setCurrentIndex(w.selFormat->findText("WebM Video (*.webm)"));
    w.selSize->setCurrentIndex(w.selSize->findData(720));
    EXPECT_TRUE(w.close());
  }
  EXPECT_EQ(ReadConfig(config, HomeFolder()),
            (TWindowConfig{"/chosen", false, 3, "WebM Video", 720}));
}

TEST_F(WindowMain, ClosingDuringARunAsksThenStopsCleanlyAndQuits) {
  const QString source = Clip("long.avi", 480, 360, 6.0);
  auto window = MakeWindow();
  TfrmMain& w = *window;
  w.AddFiles({source});
  w.show();
  w.btnConvertClick();
  ASSERT_TRUE(
      WaitUntil([&] { return ParseStatusCell(w.StatusText(0)).Kind != TStatusCell::TKind::Text; }));

  // No: the run goes on.
  Dialogs.Answer = false;
  EXPECT_FALSE(w.close());
  ASSERT_EQ(Dialogs.Texts("AskYesNo"), QStringList({"A conversion is running. Stop it and quit?"}));
  EXPECT_TRUE(w.Converting());
  EXPECT_TRUE(w.isVisible());
  EXPECT_EQ(Dialogs.Count("ShowExitBanner"), 0);

  // Yes: the run stops, its output is ended properly, then the window goes.
  Dialogs.Answer = true;
  w.close();
  ASSERT_TRUE(WaitUntil([&] { return !w.isVisible(); }));
  EXPECT_FALSE(w.Converting());
  EXPECT_EQ(Dialogs.Count("ShowExitBanner"), 1);
  EXPECT_EQ(Dialogs.Count("Summary"), 0);
  EXPECT_TRUE(QFileInfo::exists(UserConfig()));
  EXPECT_EQ(OutFiles(), QStringList({"long (MPEG-4 Video) (partial).mp4"}));
  ExpectVideoOutput(OutPath("long (MPEG-4 Video) (partial).mp4"), 480, 360);
}

TEST_F(WindowMain, RemovedRowsTakeTheirTasksAlong) {
  const QStringList sources = {Clip("keep1.avi"), Clip("drop.avi"), Clip("keep2.avi", 192, 144)};
  auto window = MakeWindow();
  TfrmMain& w = *window;
  w.AddFiles(sources);
  ASSERT_EQ(w.VexAVC().TaskCount(), 3);
  EXPECT_FALSE(w.mnuRemove->isEnabled());  // nothing selected
  w.lvFiles->selectRow(1);
  ASSERT_TRUE(w.mnuRemove->isEnabled());
  w.mnuRemove->trigger();
  ASSERT_EQ(w.lvFiles->rowCount(), 2);
  EXPECT_EQ(w.VexAVC().TaskCount(), 2);
  EXPECT_EQ(w.RowOfTask(1), 1);

  w.btnConvertClick();
  // Locked while converting.
  EXPECT_FALSE(w.mnuClear->isEnabled());
  EXPECT_FALSE(w.spinJobs->isEnabled());
  ASSERT_TRUE(WaitUntil([&] { return !w.Converting(); }));
  EXPECT_EQ(Statuses(w), QStringList({"Done", "Done"}));
  EXPECT_EQ(OutFiles(), QStringList({OutputName(sources[0]), OutputName(sources[2])}));
  ExpectVideoOutput(OutPath(OutputName(sources[2])), 192, 144);

  ASSERT_TRUE(w.mnuClear->isEnabled());
  w.mnuClear->trigger();
  EXPECT_EQ(w.lvFiles->rowCount(), 0);
  EXPECT_EQ(w.VexAVC().TaskCount(), 0);
  EXPECT_EQ(w.windowTitle(), kTitle);
}

TEST_F(WindowMain, FoldersAddTheirMediaFilesSortedByName) {
  ASSERT_TRUE(QDir(Dir.path()).mkpath("media/tree/sub"));
  ASSERT_TRUE(QFile::rename(Clip("b.avi"), MediaPath("tree/b.avi")));
  ASSERT_TRUE(QFile::rename(Clip("a.avi"), MediaPath("tree/sub/A.AVI")));
  {
    QFile notes(MediaPath("tree/notes.txt"));
    ASSERT_TRUE(notes.open(QIODevice::WriteOnly));
  }
  auto window = MakeWindow();
  TfrmMain& w = *window;
  Dialogs.FolderToChoose = MediaPath("tree");
  w.btnAddFolderClick();
  ASSERT_EQ(w.lvFiles->rowCount(), 2);
  EXPECT_EQ(RowNames(w), QStringList({"b.avi", "A.AVI"}));
  EXPECT_EQ(w.lvFiles->item(1, kColumnSource)->toolTip(), MediaPath("tree/sub/A.AVI"));
  EXPECT_EQ(Dialogs.Count("Warning"), 0);

  // Dropped, the same; an empty folder is named.
  ASSERT_TRUE(QDir(Dir.path()).mkpath("media/empty"));
  w.ClearList();
  QMimeData mime;
  mime.setUrls(
      {QUrl::fromLocalFile(MediaPath("tree/sub")), QUrl::fromLocalFile(MediaPath("empty"))});
  w.show();
  QDragEnterEvent enter(QPoint(20, 20), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(w.lvFiles->viewport(), &enter);
  QDropEvent drop(QPointF(20, 20), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(w.lvFiles->viewport(), &drop);
  EXPECT_EQ(RowNames(w), QStringList({"A.AVI"}));
  EXPECT_EQ(Dialogs.Texts("Warning"),
            QStringList({"These files were not added:\n\n" + MediaPath("empty") +
                         ": no media files inside"}));
}

TEST_F(WindowMain, JobsAndSameFolderDriveTheRun) {
  const QStringList sources = {Clip("left.avi"), Clip("right.avi")};
  ASSERT_TRUE(WriteConfig(AppFolder() + "/config.ini", TWindowConfig{OutFolder, true, 2}));
  TfrmMain w(Dialogs, TMainWindowSetup{AppFolder(), HomeFolder()});
  Dialogs.OpenFolderFromSummary = true;
  ASSERT_EQ(w.Jobs(), 2);
  EXPECT_EQ(w.spinJobs->value(), 2);
  // Two files at once share the cores: one codec thread each.
  EXPECT_EQ(w.VexAVC().CodecThreads(), 1);
  w.AddFiles(sources);
  w.btnConvertClick();
  ASSERT_TRUE(w.Converting());
  {
    std::lock_guard<TComponentLock> hold(w.VexAVC().Lock());
    EXPECT_EQ(w.VexAVC().ThreadCount(), 2);
    for (int i = 0; i < w.VexAVC().TaskCount(); ++i) EXPECT_EQ(w.VexAVC().Task(i)->ThreadCount, 1);
  }
  ASSERT_TRUE(WaitUntil([&] { return !w.Converting(); }));
  EXPECT_EQ(Statuses(w), QStringList({"Done", "Done"}));
  // Beside the sources, not in the output folder; the summary's button
  // opens the folder they were written to.
  EXPECT_FALSE(QFileInfo::exists(OutFolder));
  ASSERT_EQ(Dialogs.Texts("OpenUrl").size(), 1);
  EXPECT_EQ(QUrl(Dialogs.Texts("OpenUrl").front()).toLocalFile(), Dir.path() + "/media");
  for (const QString& source : sources)
    ExpectVideoOutput(QFileInfo(source).absolutePath() + u'/' + OutputName(source), 160, 120);
}

TEST_F(WindowMain, MissingLibFolderUsesTheSystemLibraries) {
  // Nothing is bound yet in this process; the app folder has no "lib".
  ASSERT_FALSE(FFmpegLibsLoaded());
  auto window = MakeWindow();
  window->btnOpenClick();
  EXPECT_EQ(Dialogs.Count("Warning"), 0);
  EXPECT_EQ(Dialogs.Count("ChooseFiles"), 1);
  EXPECT_TRUE(FFmpegLibsLoaded());
  Dialogs.FilesToChoose = {Clip("clip.avi")};
  window->btnOpenClick();
  EXPECT_EQ(window->lvFiles->rowCount(), 1);
}

TEST_F(WindowMain, UnloadableLibrariesAreReported) {
  ASSERT_FALSE(FFmpegLibsLoaded());
  ASSERT_TRUE(QDir(AppFolder()).mkdir("lib"));
  QFile broken(AppFolder() + "/lib/libavcodec.so.59");
  ASSERT_TRUE(broken.open(QIODevice::WriteOnly));
  broken.write("not a library");
  broken.close();
  auto window = MakeWindow();
  window->btnOpenClick();
  // The loader's text follows: the library and the package that holds it.
  const QStringList warnings = Dialogs.Texts("Warning");
  ASSERT_EQ(warnings.size(), 1);
  const QStringList lines = warnings[0].split(u'\n');
  ASSERT_EQ(lines.size(), 2) << warnings[0].toStdString();
  EXPECT_EQ(lines[0], "Error: Lib cannot be loaded.");
  EXPECT_TRUE(lines[1].startsWith(
      "Load libraray libavcodec.so.59 (Debian package libavcodec59) error: " + AppFolder() +
      "/lib/libavcodec.so.59"))
      << lines[1].toStdString();
  EXPECT_EQ(Dialogs.Count("ChooseFiles"), 0);
  window->lvFiles->insertRow(0);  // a listed file, so that Convert gets as far as binding
  window->btnConvertClick();
  EXPECT_EQ(Dialogs.Count("Warning"), 2);
  EXPECT_FALSE(window->Converting());
}

TEST_F(WindowMain, AnInstalledWindowLoadsFromTheInstalledLibraryFolder) {
  // Installed, the program's folder has no lib/ but the install rules'
  // library folder beside it (bin/../lib/<multiarch>/vexav); its avcodec
  // here cannot be loaded, which shows that folder is the one used.
  ASSERT_FALSE(FFmpegLibsLoaded());
  const QString installed = QDir::cleanPath(
      AppFolder() + u'/' + QString::fromUtf8(binding::InstalledLibraryFolderFromPrograms()));
  ASSERT_TRUE(QDir().mkpath(installed));
  QFile broken(installed + "/libavcodec.so.59");
  ASSERT_TRUE(broken.open(QIODevice::WriteOnly));
  broken.write("not a library");
  broken.close();
  auto window = MakeWindow();
  window->btnOpenClick();
  const QStringList warnings = Dialogs.Texts("Warning");
  ASSERT_EQ(warnings.size(), 1);
  EXPECT_TRUE(warnings[0].contains(installed + "/libavcodec.so.59")) << warnings[0].toStdString();
  EXPECT_EQ(Dialogs.Count("ChooseFiles"), 0);
}

TEST_F(WindowMain, DroppedFilesAreAdded) {
  const QStringList sources = {Clip("dropped one.avi"), Clip("dropped two.avi")};
  const QString text = MediaPath("notes.txt");
  {
    QFile file(text);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("hello");
  }
  auto window = MakeWindow();
  TfrmMain& w = *window;
  w.show();
  QWidget* target = w.lvFiles->viewport();
  const QPointF where(20, 20);

  QMimeData web;
  web.setUrls({QUrl("https://example.org/clip.avi")});
  QDragEnterEvent refused(where.toPoint(), Qt::CopyAction, &web, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(target, &refused);
  EXPECT_FALSE(refused.isAccepted());

  QMimeData files;
  files.setUrls({QUrl::fromLocalFile(sources[0]), QUrl("https://example.org/clip.avi"),
                 QUrl::fromLocalFile(text), QUrl::fromLocalFile(sources[1])});
  QDragEnterEvent enter(where.toPoint(), Qt::CopyAction, &files, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(target, &enter);
  EXPECT_TRUE(enter.isAccepted());
  QDropEvent drop(where, Qt::CopyAction, &files, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(target, &drop);
  EXPECT_TRUE(drop.isAccepted());

  ASSERT_EQ(w.lvFiles->rowCount(), 2);
  EXPECT_EQ(w.lvFiles->item(0, kColumnSource)->text(), "dropped one.avi");
  EXPECT_EQ(w.lvFiles->item(1, kColumnSource)->text(), "dropped two.avi");
  EXPECT_EQ(w.lvFiles->item(1, kColumnPath)->text(), Dir.path() + "/media/");
  EXPECT_EQ(w.VexAVC().TaskCount(), 2);
  EXPECT_EQ(w.windowTitle(), kTitle + " [Ready]");
  EXPECT_EQ(Dialogs.Count("ChooseFiles"), 0);
}

}  // namespace
}  // namespace vexav::test
