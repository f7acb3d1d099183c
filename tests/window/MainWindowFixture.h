// The main window's test fixture: a window over a temporary folder with
// scripted dialogs, generated clips, and helpers that read its rows and the
// outputs back. Shared by the main window's test files.
#pragma once

#include <gtest/gtest.h>

#include <QAbstractItemModel>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QThread>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "FakeDialogs.h"
#include "MediaGenerator.h"
#include "QtPrinters.h"
#include "ScopedEnvironment.h"
#include "binding/FFmpegLibs.h"
#include "window/Controls.h"
#include "window/MainWindow.h"
#include "window/StatusCell.h"

namespace vexav::test {

inline const QString kFormat = QStringLiteral("MPEG-4 Video (*.mp4)");
inline const QString kTitle = QStringLiteral("VexAV Converter");

// Processes the window's events until done() holds; false after the
// timeout (generous: the machine may be busy).
inline bool WaitUntil(const std::function<bool()>& done, int seconds = 120) {
  QDeadlineTimer deadline(seconds * 1000);
  while (!done()) {
    if (deadline.hasExpired()) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    QThread::msleep(2);
  }
  return true;
}

class WindowMain : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Dir.isValid());
    ASSERT_TRUE(QDir(Dir.path()).mkpath(QStringLiteral("app")));
    ASSERT_TRUE(QDir(Dir.path()).mkpath(QStringLiteral("media")));
    ASSERT_TRUE(QDir(Dir.path()).mkpath(QStringLiteral("home")));
    // The user's settings go into the test's folder, never a real user's.
    Environment.Set("XDG_CONFIG_HOME", Dir.path() + QStringLiteral("/config"));
    // Not made: the window makes it, with its parents, when it converts.
    OutFolder = Dir.path() + QStringLiteral("/out/nested");
  }

  QString AppFolder() const { return Dir.path() + QStringLiteral("/app"); }
  QString HomeFolder() const { return Dir.path() + QStringLiteral("/home"); }
  // The settings file of a window whose executable folder holds none.
  QString UserConfig() const { return Dir.path() + QStringLiteral("/config/vexav/config.ini"); }
  QString MediaPath(const QString& name) const {
    return Dir.path() + QStringLiteral("/media/") + name;
  }

  // A window over the test's folders, its output going to OutFolder, its
  // Status changes recorded.
  std::unique_ptr<TfrmMain> MakeWindow() {
    auto window = std::make_unique<TfrmMain>(Dialogs, TMainWindowSetup{AppFolder(), HomeFolder()});
    window->txtOutput->setText(OutFolder);
    TfrmMain* raw = window.get();
    QObject::connect(raw->lvFiles->model(), &QAbstractItemModel::dataChanged, raw,
                     [this, raw](const QModelIndex& first, const QModelIndex& last) {
                       for (int row = first.row(); row <= last.row(); ++row) {
                         if (first.column() <= kColumnStatus && kColumnStatus <= last.column())
                           Seen.push_back({row, raw->StatusText(row)});
                         const QTableWidgetItem* time = raw->lvFiles->item(row, kColumnTime);
                         if (first.column() <= kColumnTime && kColumnTime <= last.column() && time)
                           SeenTimes.append(time->text());
                       }
                     });
    return window;
  }

  // A generated clip in the media folder: MPEG-4 + MP3 AVI by default.
  QString Clip(const QString& name, int width = 160, int height = 120, double seconds = 2.0) {
    mediagen::MediaRequest request;
    request.Width = width;
    request.Height = height;
    request.DurationSeconds = seconds;
    request.MarkSeconds = {0.5};
    return Make(name, request);
  }

  QString Make(const QString& name, const mediagen::MediaRequest& request) {
    EXPECT_TRUE(LoadFFmpegLibs("", true)) << LastLoadError();
    const QString path = MediaPath(name);
    const std::string error = mediagen::Generate(path.toStdString(), request);
    EXPECT_EQ(error, "") << path.toStdString();
    return path;
  }

  static QString OutputName(const QString& source, const QString& counter = QString()) {
    const QString base = QFileInfo(source).completeBaseName();
    return counter.isEmpty()
               ? base + QStringLiteral(" (MPEG-4 Video).mp4")
               : base + QStringLiteral(" (MPEG-4 Video [") + counter + QStringLiteral("]).mp4");
  }
  QString OutPath(const QString& name) const { return OutFolder + u'/' + name; }

  QStringList OutFiles() const {
    return QDir(OutFolder).entryList(QDir::Files | QDir::Hidden, QDir::Name);
  }

  static QStringList Statuses(const TfrmMain& window) {
    QStringList statuses;
    for (int row = 0; row < window.lvFiles->rowCount(); ++row)
      statuses.append(window.StatusText(row));
    return statuses;
  }

  static QStringList RowNames(const TfrmMain& window) {
    QStringList names;
    for (int row = 0; row < window.lvFiles->rowCount(); ++row)
      names.append(window.lvFiles->item(row, kColumnSource)->text());
    return names;
  }

  static bool SeenProgressIn(const std::vector<std::pair<int, QString>>& seen, int row) {
    for (const auto& [r, text] : seen)
      if (r == row && text.startsWith(QStringLiteral("{|"))) return true;
    return false;
  }

  // Presses Convert and waits for the run to end; false on a time-out.
  static bool ConvertAndWait(TfrmMain& window) {
    window.btnConvertClick();
    return WaitUntil([&] { return !window.Converting(); });
  }

  QTemporaryDir Dir;
  TScopedEnvironment Environment;
  QString OutFolder;
  TFakeDialogs Dialogs;
  std::vector<std::pair<int, QString>> Seen;
  QStringList SeenTimes;
};

// "m:ss", as the Time column shows a time taken.
inline const QRegularExpression kClock(QStringLiteral("^\\d+:\\d\\d$"));

// A decoded output with H.264 pictures of the size given and AAC sound.
inline void ExpectVideoOutput(const QString& path, int width, int height) {
  ASSERT_TRUE(QFileInfo(path).isFile()) << path.toStdString();
  const mediagen::DecodedMedia media = mediagen::Decode(path.toStdString());
  ASSERT_EQ(media.Error, "") << path.toStdString();
  EXPECT_EQ(media.VideoCodecName, "h264");
  ASSERT_FALSE(media.Frames.empty());
  EXPECT_EQ(media.Frames.front().Width, width);
  EXPECT_EQ(media.Frames.front().Height, height);
  EXPECT_EQ(media.AudioCodecName, "aac");
  EXPECT_EQ(media.AudioChannels, 2);
  EXPECT_EQ(media.AudioSampleRate, 44100);
  EXPECT_GT(media.AudioSamples, 0);
}

// Moves folder aside and puts a plain file in its place: a file listed from
// it stays readable through the input the window holds open, but nothing
// can be created beside it any more ("Not a directory"). MendFolder puts
// the folder back.
inline void BlockFolder(const QString& folder) {
  ASSERT_TRUE(QDir().rename(folder, folder + QStringLiteral(".moved")));
  QFile blocker(folder);
  ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
  blocker.write("a file where the folder was");
}
inline void MendFolder(const QString& folder) {
  ASSERT_TRUE(QFile::remove(folder));
  ASSERT_TRUE(QDir().rename(folder + QStringLiteral(".moved"), folder));
}

}  // namespace vexav::test
