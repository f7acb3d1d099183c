// The vexav-window program itself, run as a child process.
#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <utility>
#include <vector>

#include "MediaGenerator.h"
#include "QtPrinters.h"
#include "binding/FFmpegLibs.h"

namespace vexav::test {
namespace {

// Runs the program with arguments in an environment without any display
// (unless settings give it Qt's offscreen platform).
struct TRun {
  int ExitCode = -1;
  bool Crashed = true;
  QString Out;
  QString Err;
};

// settings: variables set for the run (an empty value removes one).
TRun RunWithoutDisplay(const QStringList& arguments,
                       const std::vector<std::pair<QString, QString>>& settings = {}) {
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
    environment.remove(QString::fromLatin1(name));
  for (const auto& [name, value] : settings) {
    if (value.isEmpty())
      environment.remove(name);
    else
      environment.insert(name, value);
  }
  QProcess program;
  program.setProcessEnvironment(environment);
  program.start(QStringLiteral(VEXAV_WINDOW_PROGRAM), arguments);
  TRun run;
  if (!program.waitForFinished(120000)) {
    program.kill();
    program.waitForFinished();
    return run;
  }
  run.ExitCode = program.exitCode();
  run.Crashed = program.exitStatus() != QProcess::NormalExit;
  run.Out = QString::fromLocal8Bit(program.readAllStandardOutput());
  run.Err = QString::fromLocal8Bit(program.readAllStandardError());
  return run;
}

TEST(WindowProgram, HelpNeedsNoDisplay) {
  for (const QString& option : {QStringLiteral("--help"), QStringLiteral("-h")}) {
    const TRun run = RunWithoutDisplay({option});
    ASSERT_FALSE(run.Crashed) << option.toStdString() << ": " << run.Err.toStdString();
    EXPECT_EQ(run.ExitCode, 0) << run.Err.toStdString();
    EXPECT_TRUE(run.Out.contains("Usage: ")) << run.Out.toStdString();
    for (const char* name :
         {"--add <FILE>", "--convert", "--output-folder <DIR>", "--jobs <N>", "--preset <NAME>",
          "--max-height <N>", "--screenshot <OUT>"})
      EXPECT_TRUE(run.Out.contains(QString::fromLatin1(name))) << name;
  }
}

TEST(WindowProgram, HelpNamesTheSettingsFile) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  // A config.ini beside the program (a build tree where a window once kept
  // one) comes first, as the window itself would use it.
  const QString beside =
      QFileInfo(QStringLiteral(VEXAV_WINDOW_PROGRAM)).absolutePath() + "/config.ini";
  const bool portable = QFileInfo(beside).isFile();
  const auto expected = [&](const QString& file) {
    return "Settings file: " + (portable ? beside : file) + "\n";
  };

  TRun run = RunWithoutDisplay(
      {"--help"}, {{"XDG_CONFIG_HOME", dir.path() + "/xdg"}, {"HOME", dir.path() + "/ann"}});
  EXPECT_EQ(run.ExitCode, 0) << run.Err.toStdString();
  EXPECT_TRUE(run.Out.contains(expected(dir.path() + "/xdg/vexav/config.ini")))
      << run.Out.toStdString();
  EXPECT_TRUE(run.Out.contains("$XDG_CONFIG_HOME/vexav/config.ini")) << run.Out.toStdString();

  run = RunWithoutDisplay({"--help"}, {{"XDG_CONFIG_HOME", ""}, {"HOME", dir.path() + "/bob"}});
  EXPECT_EQ(run.ExitCode, 0) << run.Err.toStdString();
  EXPECT_TRUE(run.Out.contains(expected(dir.path() + "/bob/.config/vexav/config.ini")))
      << run.Out.toStdString();
  // --help made nothing.
  EXPECT_TRUE(QDir(dir.path()).isEmpty());
}

// What a file manager's "Open With" runs: the desktop entry's
// "vexav-window %F", the chosen files as absolute paths. They are listed and
// converted (--convert and --screenshot make the run end by itself).
TEST(WindowProgram, FilesGivenAreListedAsOpenWithPassesThem) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  ASSERT_TRUE(QDir(dir.path()).mkpath("My clips"));
  ASSERT_TRUE(LoadFFmpegLibs("", true)) << LastLoadError();
  const QString first = dir.path() + "/My clips/été 1.avi";
  const QString second = dir.path() + "/My clips/second.avi";
  for (const auto& [path, seconds] : {std::pair{first, 1.0}, std::pair{second, 4.0}}) {
    mediagen::MediaRequest request;
    request.Width = 160;
    request.Height = 120;
    request.DurationSeconds = seconds;
    ASSERT_EQ(mediagen::Generate(path.toStdString(), request), "") << path.toStdString();
  }
  const QString out = dir.path() + "/out";
  const QString shot = dir.path() + "/shot.png";
  // The picture is taken once the first file is done and the second shows
  // its progress; the run then stops.
  const TRun run = RunWithoutDisplay(
      {"--convert", "--output-folder", out, "--screenshot", shot, "--screenshot-after-done",
       "--screenshot-delay", "0", first, second},
      {{"QT_QPA_PLATFORM", "offscreen"}, {"XDG_CONFIG_HOME", dir.path() + "/config"}});
  ASSERT_FALSE(run.Crashed) << run.Err.toStdString();
  EXPECT_EQ(run.ExitCode, 0) << run.Err.toStdString();
  EXPECT_EQ(run.Out.trimmed(), QFileInfo(shot).absoluteFilePath()) << run.Err.toStdString();
  const mediagen::DecodedMedia media =
      mediagen::Decode((out + "/été 1 (MPEG-4 Video).mp4").toStdString());
  ASSERT_EQ(media.Error, "") << run.Err.toStdString();
  EXPECT_EQ(media.VideoCodecName, "h264");
  EXPECT_GE(media.Frames.size(), 25u);
  // The second file got its row and its output once its progress showed.
  EXPECT_FALSE(QDir(out).entryList({"second*"}, QDir::Files).isEmpty())
      << QDir(out).entryList().join(", ").toStdString();
  // A screenshot run leaves the settings alone.
  EXPECT_FALSE(QFileInfo::exists(dir.path() + "/config"));
}

// --preset and --max-height set the boxes for this run: a clip taller than
// the limit converts with the preset's codecs at the limit's size. Unknown
// values are refused, with the presets' names, before any window opens.
TEST(WindowProgram, PresetAndSizeForThisRun) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  ASSERT_TRUE(LoadFFmpegLibs("", true)) << LastLoadError();
  const QString clip = dir.path() + "/tall.avi";
  mediagen::MediaRequest request;
  request.Width = 1280;
  request.Height = 720;
  request.DurationSeconds = 1.0;
  ASSERT_EQ(mediagen::Generate(clip.toStdString(), request), "");
  // A longer second file, whose progress the picture waits for once the
  // first is done.
  const QString second = dir.path() + "/second.avi";
  request.Width = 160;
  request.Height = 120;
  request.DurationSeconds = 4.0;
  ASSERT_EQ(mediagen::Generate(second.toStdString(), request), "");
  const QString out = dir.path() + "/out";
  const std::vector<std::pair<QString, QString>> env = {
      {"QT_QPA_PLATFORM", "offscreen"}, {"XDG_CONFIG_HOME", dir.path() + "/config"}};
  const TRun run = RunWithoutDisplay({"--convert", "--output-folder", out, "--preset",
                                      "webm video", "--max-height", "480", "--screenshot",
                                      dir.path() + "/shot.png", "--screenshot-after-done",
                                      "--screenshot-delay", "0", clip, second},
                                     env);
  ASSERT_FALSE(run.Crashed) << run.Err.toStdString();
  EXPECT_EQ(run.ExitCode, 0) << run.Err.toStdString();
  const mediagen::DecodedMedia media =
      mediagen::Decode((out + "/tall (WebM Video).webm").toStdString());
  ASSERT_EQ(media.Error, "") << run.Err.toStdString();
  EXPECT_EQ(media.VideoCodecName, "vp9");
  ASSERT_FALSE(media.Frames.empty());
  EXPECT_EQ(media.Frames[0].Width, 854);
  EXPECT_EQ(media.Frames[0].Height, 480);

  for (const QStringList& bad :
       {QStringList{"--preset", "DivX"}, QStringList{"--max-height", "500"}}) {
    const TRun refused = RunWithoutDisplay(bad, env);
    ASSERT_FALSE(refused.Crashed) << refused.Err.toStdString();
    EXPECT_EQ(refused.ExitCode, 2) << bad.join(' ').toStdString();
    EXPECT_TRUE(refused.Err.contains("vexav-window: ")) << refused.Err.toStdString();
    if (bad.front() == "--preset") {
      EXPECT_TRUE(refused.Err.contains("HEVC Video")) << refused.Err.toStdString();
    }
  }
}

TEST(WindowProgram, NoDisplayIsSaidPlainly) {
  const TRun run = RunWithoutDisplay({});
  ASSERT_FALSE(run.Crashed) << run.Err.toStdString();
  EXPECT_EQ(run.ExitCode, 1);
  EXPECT_TRUE(run.Err.startsWith("vexav-window: no display")) << run.Err.toStdString();
  EXPECT_TRUE(run.Out.isEmpty());
}

}  // namespace
}  // namespace vexav::test
