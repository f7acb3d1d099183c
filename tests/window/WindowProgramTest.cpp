// The vexav-window program itself, run as a child process.
#include <gtest/gtest.h>

#include <QProcess>
#include <QProcessEnvironment>

#include "QtPrinters.h"

namespace vexav::test {
namespace {

// Runs the program with arguments in an environment without any display.
struct TRun {
  int ExitCode = -1;
  bool Crashed = true;
  QString Out;
  QString Err;
};

TRun RunWithoutDisplay(const QStringList& arguments) {
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
    environment.remove(QString::fromLatin1(name));
  QProcess program;
  program.setProcessEnvironment(environment);
  program.start(QStringLiteral(VEXAV_WINDOW_PROGRAM), arguments);
  TRun run;
  if (!program.waitForFinished(60000)) {
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
         {"--add <FILE>", "--convert", "--output-folder <DIR>", "--jobs <N>", "--screenshot <OUT>"})
      EXPECT_TRUE(run.Out.contains(QString::fromLatin1(name))) << name;
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
