// The real window on an X server (run under Xvfb by CTest), driven by key
// presses that go through the server itself (xdotool's XTEST keys), as a
// person at the keyboard would press them: Tab and Shift+Tab must reach
// every control, Convert among them, and Space and Enter must press the
// focused button; the arrow keys choose in the format and size boxes; the
// list's own keys move its rows and clear its done ones. During a run Tab
// goes from Stop to Pause, Alt+P pauses and the focused Resume goes on with
// Space.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QPushButton>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QThread>
#include <functional>
#include <initializer_list>
#include <memory>

#include "FakeDialogs.h"
#include "MediaGenerator.h"
#include "QtPrinters.h"
#include "binding/FFmpegLibs.h"
#include "window/Controls.h"
#include "window/MainWindow.h"

namespace vexav::test {
namespace {

// A QApplication on the X server named by DISPLAY.
class TX11Application : public ::testing::Environment {
 public:
  void SetUp() override {
    qputenv("QT_QPA_PLATFORM", "xcb");
    App = std::make_unique<QApplication>(Argc, Argv);
  }
  void TearDown() override { App.reset(); }

 private:
  int Argc = 1;
  char Name[20] = "window_x11_tests";
  char* Argv[2] = {Name, nullptr};
  std::unique_ptr<QApplication> App;
};

[[maybe_unused]] ::testing::Environment* const kX11Application =
    ::testing::AddGlobalTestEnvironment(new TX11Application);

bool WaitUntil(const std::function<bool()>& done, int milliseconds = 10000) {
  QDeadlineTimer deadline(milliseconds);
  while (!done()) {
    if (deadline.hasExpired()) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    QThread::msleep(5);
  }
  return true;
}

QString FocusName() {
  const QWidget* focus = QApplication::focusWidget();
  return focus ? focus->objectName() : QStringLiteral("(none)");
}

// Presses keys through the X server.
void Press(const QString& keys) {
  ASSERT_EQ(QProcess::execute(QStringLiteral("xdotool"), {QStringLiteral("key"), keys}), 0)
      << "xdotool key " << keys.toStdString();
}

// Presses a key that moves the focus, and lets the window take it: the key
// reaches the window through the server, which may take a while on a busy
// machine. The focus afterwards.
QString Move(const QString& keys) {
  const QString before = FocusName();
  Press(keys);
  WaitUntil([&] { return FocusName() != before; });
  return FocusName();
}

// A window on the X server with generated clips listed, shown and active;
// its settings and outputs in a folder of the test's own.
class WindowKeyboard : public ::testing::Test {
 protected:
  void Open(std::initializer_list<const char*> names, int width, int height, double seconds) {
    ASSERT_FALSE(qgetenv("DISPLAY").isEmpty()) << "run under an X server (xvfb-run)";
    ASSERT_TRUE(dir.isValid());
    ASSERT_TRUE(LoadFFmpegLibs("", true)) << LastLoadError();
    QStringList clips;
    for (const char* name : names) {
      mediagen::MediaRequest request;
      request.Width = width;
      request.Height = height;
      request.DurationSeconds = seconds;
      clips.append(dir.path() + u'/' + QString::fromUtf8(name));
      ASSERT_EQ(mediagen::Generate(clips.back().toStdString(), request), "");
    }
    // Settings from the test's folder, not from the user running the tests.
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir.path() + QStringLiteral("/config")));
    window = std::make_unique<TfrmMain>(dialogs, TMainWindowSetup{dir.path(), dir.path()});
    window->txtOutput->setText(dir.path() + QStringLiteral("/out"));
    window->AddFiles(clips);
    ASSERT_EQ(window->lvFiles->rowCount(), static_cast<int>(names.size()));
    window->show();
    window->activateWindow();
    ASSERT_TRUE(WaitUntil([&] { return window->isActiveWindow(); }))
        << "the window never became active";
  }

  QTemporaryDir dir;
  TFakeDialogs dialogs;
  std::unique_ptr<TfrmMain> window;
};

TEST_F(WindowKeyboard, TabReachesConvertAndKeysPressTheFocusedButton) {
  // Two listed files: a list with cells is where Tab used to stay.
  ASSERT_NO_FATAL_FAILURE(Open({"one.avi", "two.avi"}, 160, 120, 1.0));
  TfrmMain& w = *window;
  w.lvFiles->setFocus();
  w.lvFiles->setCurrentCell(0, 0);
  ASSERT_TRUE(WaitUntil([&] { return FocusName() == "lvFiles"; }));

  // Forward from the list: every control once, top to bottom, then round.
  QStringList forward;
  for (int i = 0; i < 11; ++i) forward.append(Move(QStringLiteral("Tab")));
  EXPECT_EQ(forward, QStringList({"txtOutput", "btnFolderChange", "btnBrowse", "chkSameFolder",
                                  "spinJobs", "selFormat", "selSize", "btnOpen", "btnAddFolder",
                                  "btnConvert", "lvFiles"}));
  // Backward from the list: Convert first.
  ASSERT_EQ(Move(QStringLiteral("shift+Tab")), "btnConvert");
  EXPECT_EQ(Move(QStringLiteral("shift+Tab")), "btnAddFolder");
  ASSERT_EQ(Move(QStringLiteral("Tab")), "btnConvert");

  // The arrow keys choose in the size box and the format box, as in the
  // other boxes; the run below keeps the source's size.
  w.selSize->setFocus();
  ASSERT_TRUE(WaitUntil([&] { return FocusName() == "selSize"; }));
  Press(QStringLiteral("Down"));
  EXPECT_TRUE(WaitUntil([&] { return w.MaxHeight() == 1080; })) << w.MaxHeight();
  Press(QStringLiteral("Up"));
  EXPECT_TRUE(WaitUntil([&] { return w.MaxHeight() == 0; })) << w.MaxHeight();
  ASSERT_EQ(Move(QStringLiteral("shift+Tab")), "selFormat");
  Press(QStringLiteral("Down"));
  EXPECT_TRUE(WaitUntil([&] { return w.selFormat->currentIndex() == 1; }));
  Press(QStringLiteral("Up"));
  EXPECT_TRUE(WaitUntil([&] { return w.selFormat->currentIndex() == 0; }));
  w.btnConvert->setFocus();
  ASSERT_TRUE(WaitUntil([&] { return FocusName() == "btnConvert"; }));

  // Space presses Convert: the files convert.
  Press(QStringLiteral("space"));
  ASSERT_TRUE(WaitUntil([&] { return dialogs.Count("Summary") == 1; }, 120000));
  EXPECT_TRUE(dialogs.Texts("Summary").front().startsWith("2 converted in "));
  // Enter presses the focused button: back to Add, then Return.
  w.btnOpen->setFocus();
  ASSERT_TRUE(WaitUntil([&] { return FocusName() == "btnOpen"; }));
  Press(QStringLiteral("Return"));
  EXPECT_TRUE(WaitUntil([&] { return dialogs.Count("ChooseFiles") == 1; }));
}

// The list's keys: Ctrl+Down and Ctrl+Up move the selected row while the
// list has the focus, the selection following it; the mouse drags a row to
// another place; Ctrl+Shift+Delete clears the done rows from anywhere in
// the window.
TEST_F(WindowKeyboard, ListKeysMoveRowsAndClearFinished) {
  ASSERT_NO_FATAL_FAILURE(Open({"a.avi", "b.avi", "c.avi"}, 160, 120, 1.0));
  TfrmMain& w = *window;
  const auto names = [&] {
    QStringList list;
    for (int row = 0; row < w.lvFiles->rowCount(); ++row)
      list.append(w.lvFiles->item(row, kColumnSource)->text());
    return list;
  };
  w.lvFiles->setFocus();
  w.lvFiles->selectRow(0);
  ASSERT_TRUE(WaitUntil([&] { return FocusName() == "lvFiles"; }));

  Press(QStringLiteral("ctrl+Down"));
  EXPECT_TRUE(WaitUntil([&] {
    return names() == QStringList({"b.avi", "a.avi", "c.avi"});
  })) << names().join(u',').toStdString();
  Press(QStringLiteral("ctrl+Down"));
  EXPECT_TRUE(WaitUntil([&] {
    return names() == QStringList({"b.avi", "c.avi", "a.avi"});
  })) << names().join(u',').toStdString();
  EXPECT_EQ(w.lvFiles->currentRow(), 2);
  EXPECT_TRUE(w.lvFiles->selectionModel()->isRowSelected(2, QModelIndex()));
  Press(QStringLiteral("ctrl+Up"));
  EXPECT_TRUE(WaitUntil([&] {
    return names() == QStringList({"b.avi", "a.avi", "c.avi"});
  })) << names().join(u',').toStdString();

  // The mouse drags the last row up onto the first row's upper half.
  const auto rowPoint = [&](int row, int dy) {
    const QRect cell = w.lvFiles->visualRect(w.lvFiles->model()->index(row, 0));
    return w.lvFiles->viewport()->mapToGlobal(QPoint(cell.center().x(), cell.top() + dy));
  };
  w.lvFiles->selectRow(2);
  const QPoint from = rowPoint(2, w.lvFiles->rowHeight(2) / 2);
  const QPoint to = rowPoint(0, 2);
  // One xdotool run, in the background: the drag runs its own event loop
  // in the window until the button is released.
  QStringList drag = {
      "mousemove", QString::number(from.x()), QString::number(from.y()), "mousedown", "1", "sleep",
      "0.3"};
  for (int step = 1; step <= 5; ++step) {
    const QPoint at = from + (to - from) * step / 5;
    drag << "mousemove" << QString::number(at.x()) << QString::number(at.y()) << "sleep"
         << "0.2";
  }
  drag << "mouseup"
       << "1";
  QProcess mouse;
  mouse.start(QStringLiteral("xdotool"), drag);
  ASSERT_TRUE(mouse.waitForStarted());
  ASSERT_TRUE(WaitUntil([&] { return mouse.state() == QProcess::NotRunning; }, 30000));
  EXPECT_EQ(mouse.exitCode(), 0);
  EXPECT_TRUE(WaitUntil([&] {
    return names() == QStringList({"c.avi", "b.avi", "a.avi"});
  })) << names().join(u',').toStdString();
  EXPECT_EQ(w.lvFiles->rowCount(), 3);

  w.btnConvertClick();
  ASSERT_TRUE(WaitUntil([&] { return dialogs.Count("Summary") == 1; }, 120000));
  EXPECT_TRUE(dialogs.Texts("Summary").front().startsWith("3 converted in "));
  w.btnConvert->setFocus();
  ASSERT_TRUE(WaitUntil([&] { return FocusName() == "btnConvert"; }));
  Press(QStringLiteral("ctrl+shift+Delete"));
  EXPECT_TRUE(WaitUntil([&] { return w.lvFiles->rowCount() == 0; }));
}

// During a run Tab goes from Stop to Pause; Alt+P pauses (the button then
// reads Resume) and Space on the focused Resume lets the run go on.
TEST_F(WindowKeyboard, PauseAndResumeFromTheKeyboard) {
  ASSERT_NO_FATAL_FAILURE(Open({"p1.avi", "p2.avi", "p3.avi", "p4.avi"}, 480, 360, 4.0));
  TfrmMain& w = *window;
  w.btnConvert->setFocus();
  ASSERT_TRUE(WaitUntil([&] { return FocusName() == "btnConvert"; }));
  Press(QStringLiteral("space"));
  ASSERT_TRUE(WaitUntil([&] { return w.Converting(); }));

  // Tab goes from Stop to Pause; Alt+P pauses.
  ASSERT_EQ(Move(QStringLiteral("Tab")), "btnPause");
  Press(QStringLiteral("alt+p"));
  ASSERT_TRUE(WaitUntil([&] { return w.Paused(); }));
  EXPECT_EQ(w.btnPause->text(), "&Resume");
  ASSERT_TRUE(WaitUntil([&] { return w.OverallText().startsWith("Paused: "); }, 120000))
      << w.OverallText().toStdString();
  EXPECT_TRUE(w.Converting());
  int ready = 0;
  for (int row = 0; row < 4; ++row) ready += w.StatusText(row) == "Ready" ? 1 : 0;
  EXPECT_GT(ready, 0) << "every file had started before the pause arrived";

  // Space on the focused Resume: the rest convert.
  ASSERT_EQ(FocusName(), "btnPause");
  Press(QStringLiteral("space"));
  ASSERT_TRUE(WaitUntil([&] { return dialogs.Count("Summary") == 1; }, 240000));
  EXPECT_TRUE(dialogs.Texts("Summary").front().startsWith("4 converted in "));
  EXPECT_FALSE(w.Paused());
}

}  // namespace
}  // namespace vexav::test
