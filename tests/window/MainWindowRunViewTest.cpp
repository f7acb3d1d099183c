// The main window's view of a whole run, through the real window converting
// generated clips: the status bar and the title (the share done by source
// time, not by file count), the list following the converting rows unless
// the user scrolled away, Pause and Resume (and Stop or closing while
// paused), and the progress on the desktop's dock over a private session bus.
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusArgument>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QScrollBar>
#include <QStandardPaths>

#include "MainWindowFixture.h"

namespace vexav::test {
namespace {

// A run's status bar while converting: the count, the share, the time left.
const QRegularExpression kRunText(
    QStringLiteral("^(\\d+) of (\\d+) done(?:, (\\d+)%)?(?:, about \\d+:\\d\\d left)?$"));

// Whether row is in the list's view.
bool RowInView(const TfrmMain& w, int row) {
  const QTableWidgetItem* item = w.lvFiles->item(row, kColumnSource);
  return item && w.lvFiles->viewport()->rect().intersects(w.lvFiles->visualItemRect(item));
}

bool IsConverting(const TfrmMain& w, int row) {
  return ParseStatusCell(w.StatusText(row)).Kind != TStatusCell::TKind::Text;
}

class WindowRunView : public WindowMain {
 protected:
  // Short clips, quick to make and to convert.
  QStringList ShortClips(int count) {
    QStringList clips;
    for (int i = 0; i < count; ++i) {
      mediagen::MediaRequest request;
      request.Width = 64;
      request.Height = 48;
      request.DurationSeconds = 0.4;
      request.MarkSeconds = {};
      clips.append(Make(QStringLiteral("r%1.avi").arg(i, 2, 10, QLatin1Char('0')), request));
    }
    return clips;
  }

  // A small window over 30 rows: the list shows a few of them at a time.
  std::unique_ptr<TfrmMain> SmallWindowWithRows(int rows) {
    const QStringList clips = ShortClips(rows);
    auto window = MakeWindow();
    window->AddFiles(clips);
    EXPECT_EQ(window->lvFiles->rowCount(), rows);
    window->resize(kRefusedWidth + 1, kRefusedHeight + 1);
    window->show();
    QCoreApplication::processEvents();
    EXPECT_GT(window->lvFiles->verticalScrollBar()->maximum(), 0);
    return window;
  }
};

TEST_F(WindowRunView, StatusBarAndTitleShowTheRunBySourceTime) {
  const QStringList sources = {Clip("a.avi", 160, 120, 0.5), Clip("b.avi", 160, 120, 0.5),
                               Clip("c.avi", 320, 240, 6.0)};
  auto window = MakeWindow();
  TfrmMain& w = *window;
  EXPECT_EQ(w.OverallText(), "No files listed");
  w.AddFiles(sources);
  EXPECT_EQ(w.OverallText(), "3 files listed");

  w.btnConvertClick();
  ASSERT_TRUE(w.Converting());
  EXPECT_EQ(w.OverallText(), "0 of 3 done, 0%");
  QStringList texts;
  QStringList titles;
  ASSERT_TRUE(WaitUntil([&] {
    texts.append(w.OverallText());
    titles.append(w.windowTitle());
    return !w.Converting();
  }));

  int lastCount = 0;
  int lastPercent = 0;
  bool sawTwoDone = false;
  for (const QString& text : texts) {
    if (!text.contains(" of ")) continue;  // the summary, after the end
    const QRegularExpressionMatch match = kRunText.match(text);
    ASSERT_TRUE(match.hasMatch()) << text.toStdString();
    EXPECT_EQ(match.captured(2), "3");
    const int count = match.captured(1).toInt();
    EXPECT_GE(count, lastCount) << text.toStdString();
    lastCount = count;
    if (match.captured(3).isEmpty()) continue;
    const int percent = match.captured(3).toInt();
    EXPECT_GE(percent, lastPercent) << text.toStdString();
    lastPercent = percent;
    // Two of three files are a seventh of the source time, not two thirds.
    if (count == 2 && !sawTwoDone) {
      sawTwoDone = true;
      EXPECT_LT(percent, 50) << text.toStdString();
    }
  }
  EXPECT_TRUE(sawTwoDone);
  const QRegularExpression title(QStringLiteral("^\\d+% - VexAV Converter \\[Converting\\.\\.\\.\\]$"));
  EXPECT_FALSE(titles.filter(title).isEmpty()) << titles.join(" | ").toStdString();

  // Idle: the last run's summary line; the title as before.
  EXPECT_TRUE(w.OverallText().startsWith("3 converted in ")) << w.OverallText().toStdString();
  EXPECT_EQ(w.windowTitle(), kTitle + " [Done]");
  for (const QString& source : sources)
    ExpectVideoOutput(OutPath(OutputName(source)), source.contains("c.avi") ? 320 : 160,
                      source.contains("c.avi") ? 240 : 120);
  // A changed list says how many files it holds.
  w.lvFiles->selectRow(0);
  w.RemoveSelected();
  EXPECT_EQ(w.OverallText(), "2 files listed");
}

TEST_F(WindowRunView, TheListFollowsTheConvertingRows) {
  auto window = SmallWindowWithRows(30);
  TfrmMain& w = *window;
  std::vector<int> outOfView;
  QObject::connect(&w, &TfrmMain::statusChanged, &w, [&](int row, const QString& text) {
    if (text == "Done" && !RowInView(w, row)) outOfView.push_back(row);
  });
  ASSERT_TRUE(ConvertAndWait(w));
  EXPECT_EQ(Statuses(w).filter("Done").size(), 30);
  // Every row was in view when it ended: the list went along.
  EXPECT_EQ(outOfView, std::vector<int>());
  EXPECT_GT(w.lvFiles->verticalScrollBar()->value(), 0);
}

TEST_F(WindowRunView, TheListStaysWhereTheUserScrolledUntilTheyComeBack) {
  auto window = SmallWindowWithRows(30);
  TfrmMain& w = *window;
  QScrollBar* scroll = w.lvFiles->verticalScrollBar();
  std::vector<int> moved;      // rows that ended while the list was not where the user left it
  std::vector<int> outOfView;  // rows that ended out of view once followed again
  int userValue = -1;
  int followedFrom = -1;
  QObject::connect(&w, &TfrmMain::statusChanged, &w, [&](int row, const QString& text) {
    if (text != "Done") return;
    if (followedFrom < 0 && userValue >= 0 && scroll->value() != userValue) moved.push_back(row);
    if (followedFrom >= 0 && row > followedFrom && !RowInView(w, row)) outOfView.push_back(row);
  });
  w.btnConvertClick();
  ASSERT_TRUE(WaitUntil([&] { return IsConverting(w, 1) || w.StatusText(1) == "Done"; }));
  // The user looks at the end of the list.
  scroll->setValue(scroll->maximum());
  userValue = scroll->value();
  ASSERT_TRUE(WaitUntil([&] { return w.StatusText(8) == "Done" || !w.Converting(); }));
  ASSERT_TRUE(w.Converting());
  EXPECT_EQ(moved, std::vector<int>());
  EXPECT_EQ(scroll->value(), userValue);
  // The user brings the converting row into view: the list follows again.
  int running = -1;
  ASSERT_TRUE(WaitUntil([&] {
    for (int row = 0; row < w.lvFiles->rowCount() && running < 0; ++row)
      if (IsConverting(w, row)) running = row;
    return running >= 0 || !w.Converting();
  }));
  ASSERT_GE(running, 0);
  ASSERT_LT(running, 22) << "the run went too far to see it follow again";
  followedFrom = running;
  w.lvFiles->scrollToItem(w.lvFiles->item(running, kColumnSource),
                          QAbstractItemView::PositionAtTop);
  ASSERT_TRUE(WaitUntil([&] { return !w.Converting(); }));
  EXPECT_EQ(outOfView, std::vector<int>());

  // The next run follows from its start, wherever the list stands.
  outOfView.clear();
  followedFrom = 0;
  scroll->setValue(0);
  ASSERT_TRUE(ConvertAndWait(w));  // asked first, answered Yes
  EXPECT_EQ(outOfView, std::vector<int>());
}

TEST_F(WindowRunView, PauseLetsTheRunningFileEndAndStartsNothingUntilResume) {
  const QStringList sources = {Clip("p1.avi"), Clip("p2.avi"), Clip("p3.avi", 192, 144)};
  auto window = MakeWindow();
  TfrmMain& w = *window;
  w.AddFiles(sources);
  EXPECT_FALSE(w.btnPause->isEnabled());
  w.show();
  w.btnConvertClick();
  ASSERT_TRUE(w.Converting());
  ASSERT_TRUE(w.btnPause->isEnabled());
  EXPECT_EQ(w.btnPause->text(), "&Pause");
  w.btnPauseClick();
  EXPECT_TRUE(w.Paused());
  EXPECT_EQ(w.btnPause->text(), "&Resume");
  // The first file goes on to its end; then the status bar says so.
  ASSERT_TRUE(WaitUntil([&] { return w.OverallText().startsWith("Paused: 1 of 3 done"); }))
      << w.OverallText().toStdString();
  EXPECT_EQ(Statuses(w), QStringList({"Done", "Ready", "Ready"}));
  EXPECT_TRUE(w.windowTitle().endsWith(kTitle + " [Paused]")) << w.windowTitle().toStdString();
  // Nothing starts while paused, however long it waits.
  WaitUntil([] { return false; }, 2);
  EXPECT_EQ(Statuses(w), QStringList({"Done", "Ready", "Ready"}));
  EXPECT_TRUE(w.Converting());
  EXPECT_EQ(OutFiles().filter("p1").size(), 1);
  EXPECT_EQ(Dialogs.Count("Summary"), 0);

  // Closing asks, as during a run; No keeps it paused.
  Dialogs.Answer = false;
  EXPECT_FALSE(w.close());
  EXPECT_EQ(Dialogs.Texts("AskYesNo"), QStringList({"A conversion is paused. Stop it and quit?"}));
  EXPECT_TRUE(w.Paused());
  EXPECT_TRUE(w.isVisible());

  // Resume: the others convert, and the run ends as any other.
  w.btnPauseClick();
  EXPECT_FALSE(w.Paused());
  EXPECT_EQ(w.btnPause->text(), "&Pause");
  ASSERT_TRUE(WaitUntil([&] { return !w.Converting(); }));
  EXPECT_EQ(Statuses(w), QStringList({"Done", "Done", "Done"}));
  EXPECT_FALSE(w.btnPause->isEnabled());
  ASSERT_EQ(Dialogs.Count("Summary"), 1);
  EXPECT_TRUE(Dialogs.Last("Summary").Text.startsWith("3 converted in "));
  ExpectVideoOutput(OutPath(OutputName(sources[0])), 160, 120);
  ExpectVideoOutput(OutPath(OutputName(sources[1])), 160, 120);
  ExpectVideoOutput(OutPath(OutputName(sources[2])), 192, 144);
}

TEST_F(WindowRunView, StopWhilePausedCancelsTheWaitingFiles) {
  const QStringList sources = {Clip("s1.avi"), Clip("s2.avi"), Clip("s3.avi")};
  auto window = MakeWindow();
  TfrmMain& w = *window;
  w.AddFiles(sources);
  w.btnConvertClick();
  w.btnPauseClick();
  ASSERT_TRUE(WaitUntil([&] { return w.OverallText().startsWith("Paused: 1 of 3 done"); }));
  w.btnConvertClick();  // Stop
  ASSERT_TRUE(WaitUntil([&] { return !w.Converting(); }));
  EXPECT_FALSE(w.Paused());
  EXPECT_EQ(Statuses(w), QStringList({"Done", "Canceled", "Canceled"}));
  EXPECT_EQ(OutFiles(), QStringList({OutputName(sources[0])}));
  ExpectVideoOutput(OutPath(OutputName(sources[0])), 160, 120);
  ASSERT_EQ(Dialogs.Count("Summary"), 1);
  EXPECT_TRUE(Dialogs.Last("Summary").Text.startsWith("1 converted, 2 canceled in "))
      << Dialogs.Last("Summary").Text.toStdString();
  EXPECT_EQ(w.windowTitle(), kTitle + " [Job Canceled]");
  // Convert after the stop converts the canceled files, unpaused.
  ASSERT_TRUE(ConvertAndWait(w));
  EXPECT_EQ(Statuses(w), QStringList({"Done", "Done", "Done"}));
  ExpectVideoOutput(OutPath(OutputName(sources[2])), 160, 120);
}

TEST_F(WindowRunView, PauseFollowsConvertInTheKeyboardOrder) {
  auto window = MakeWindow();
  TfrmMain& w = *window;
  EXPECT_EQ(w.btnConvert->nextInFocusChain(), w.btnPause);
  EXPECT_EQ(w.btnPause->text(), "&Pause");  // Alt+P
  EXPECT_EQ(w.btnPause->focusPolicy() & Qt::TabFocus, Qt::TabFocus);
}

// ---- The dock, over a private session bus ------------------------------------------

// A session bus daemon of the test's own, ended with the test.
class PrivateBus {
 public:
  PrivateBus() {
    Program = QStandardPaths::findExecutable(QStringLiteral("dbus-daemon"));
    if (Program.isEmpty()) return;
    Daemon.start(Program, {QStringLiteral("--session"), QStringLiteral("--nofork"),
                           QStringLiteral("--print-address")});
    if (!Daemon.waitForStarted(10000) || !Daemon.waitForReadyRead(10000)) return;
    Address = QString::fromUtf8(Daemon.readLine()).trimmed();
  }
  ~PrivateBus() {
    for (const QString& name : Names) QDBusConnection::disconnectFromBus(name);
    if (Daemon.state() != QProcess::NotRunning) {
      Daemon.terminate();
      if (!Daemon.waitForFinished(5000)) Daemon.kill();
      Daemon.waitForFinished(5000);
    }
  }
  // A connection of its own to the bus, by name.
  QDBusConnection Connect(const QString& name) {
    Names.append(name);
    return QDBusConnection::connectToBus(Address, name);
  }

  QStringList Names;
  QString Program;
  QString Address;
  QProcess Daemon;
};

// Collects the LauncherEntry updates of the bus.
class UpdateListener : public QObject {
  Q_OBJECT
 public:
  struct TUpdate {
    QString App;
    double Progress = -1;
    bool Visible = false;
  };
  std::vector<TUpdate> Updates;

 public slots:
  void Update(const QString& app, const QVariantMap& properties) {
    Updates.push_back({app, properties.value(QStringLiteral("progress"), -1.0).toDouble(),
                       properties.value(QStringLiteral("progress-visible")).toBool()});
  }
};

TEST_F(WindowRunView, TheDockShowsTheRunsProgressOverTheSessionBus) {
  PrivateBus bus;
  if (bus.Program.isEmpty()) GTEST_SKIP() << "dbus-daemon is not installed (package dbus)";
  ASSERT_FALSE(bus.Address.isEmpty()) << "the private bus did not start";
  QDBusConnection listen = bus.Connect(QStringLiteral("vexav-test-listener"));
  ASSERT_TRUE(listen.isConnected()) << listen.lastError().message().toStdString();
  UpdateListener listener;
  ASSERT_TRUE(listen.connect(QString(), QString(), QStringLiteral("com.canonical.Unity.LauncherEntry"),
                             QStringLiteral("Update"), &listener,
                             SLOT(Update(QString, QVariantMap))));

  const QStringList sources = {Clip("d1.avi", 160, 120, 1.0), Clip("d2.avi", 160, 120, 2.0)};
  auto window = MakeWindow();
  TfrmMain& w = *window;
  w.Dock().SetConnection(bus.Connect(QStringLiteral("vexav-test-window")));
  w.AddFiles(sources);
  ASSERT_TRUE(ConvertAndWait(w));
  ASSERT_EQ(Statuses(w), QStringList({"Done", "Done"}));
  // The signals come back through the daemon.
  ASSERT_TRUE(WaitUntil(
      [&] { return !listener.Updates.empty() && !listener.Updates.back().Visible; }, 30));

  const auto& updates = listener.Updates;
  ASSERT_GE(updates.size(), 3u);
  double last = -1;
  for (std::size_t i = 0; i + 1 < updates.size(); ++i) {
    EXPECT_EQ(updates[i].App, "application://org.vexav.Converter.desktop");
    EXPECT_TRUE(updates[i].Visible) << i;
    EXPECT_GE(updates[i].Progress, last) << i;
    EXPECT_LE(updates[i].Progress, 1.0);
    last = updates[i].Progress;
  }
  // Rising from the start towards the end, then hidden.
  EXPECT_LT(updates.front().Progress, 0.5);
  EXPECT_GT(last, 0.5);
  EXPECT_FALSE(updates.back().Visible);
  EXPECT_EQ(updates.back().App, "application://org.vexav.Converter.desktop");
  EXPECT_EQ(w.Dock().Sent(), static_cast<int>(updates.size()));
}

TEST_F(WindowRunView, WithoutASessionBusTheDockIsQuiet) {
  Environment.Unset("DBUS_SESSION_BUS_ADDRESS");
  Environment.Set("XDG_RUNTIME_DIR", Dir.path() + QStringLiteral("/no-runtime"));
  TDockProgress dock;
  QElapsedTimer clock;
  clock.start();
  dock.Show(0.25);
  dock.Show(0.5);
  dock.Hide();
  EXPECT_EQ(dock.Sent(), 0);
  EXPECT_LT(clock.elapsed(), 1000);
}

}  // namespace
}  // namespace vexav::test

#include "MainWindowRunViewTest.moc"
