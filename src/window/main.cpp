// vexav-window: the converter's main window.
//
//   vexav-window [--add FILE]... [FILE]... [--convert] [--output-folder DIR]
//                [--jobs N] [--screenshot OUT.png [--screenshot-delay MS]
//                [--screenshot-after-done]]
//
// Files given are added to the list as if chosen in the open dialog;
// --convert presses Convert once they are in. --screenshot saves a picture of
// the window (PNG) MS milliseconds after the list first shows a row's
// progress (with --screenshot-after-done: once a row is also "Done"), then
// stops the run and quits without touching config.ini; the
// dialogs never wait for a person then (messages go to standard error, a
// question is answered Yes). --output-folder and --jobs apply to this run
// only.
#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QPixmap>
#include <QTimer>
#include <cstdio>

#include "window/Controls.h"
#include "window/MainWindow.h"
#include "window/Product.h"
#include "window/StatusCell.h"
#include "window/WindowDialogs.h"

namespace vexav {
namespace {

// The dialogs of a run that nobody watches.
class TUnattendedDialogs : public TWindowDialogs {
 public:
  QStringList ChooseFiles(QWidget*, const QString&) override { return {}; }
  QString ChooseFolder(QWidget*, const QString&, const QString&) override { return {}; }
  void Information(QWidget*, const QString& caption, const QString& text) override {
    Print(caption + QStringLiteral(": ") + text);
  }
  bool AskYesNo(QWidget*, const QString& caption, const QString& text) override {
    Print(caption + QStringLiteral(": ") + text + QStringLiteral(" (Yes)"));
    return true;
  }
  void Warning(QWidget*, const QString& text) override { Print(text); }
  bool OpenUrl(const QUrl& url) override {
    Print(QStringLiteral("open ") + url.toString());
    return true;
  }
  bool Summary(QWidget*, const QString& text, bool, bool) override {
    Print(text);
    return false;
  }
  void Notify(const QString&, const QString&) override {}
  void ShowExitBanner(QWidget*) override {}

 private:
  static void Print(const QString& text) {
    std::fprintf(stderr, "vexav-window: %s\n", text.toLocal8Bit().constData());
  }
};

// Grabs the window once rows show progress, then ends the program.
class TScreenshot : public QObject {
 public:
  TScreenshot(TfrmMain& window, QString path, int delayMs, bool afterDone)
      : Window(window), Path(std::move(path)), DelayMs(delayMs), AfterDone(afterDone) {
    connect(&Window, &TfrmMain::statusChanged, this, [this](int, const QString& text) {
      if (text == QString::fromUtf8(kStatusDone)) SawDone = true;
      if (Armed || ParseStatusCell(text).Kind == TStatusCell::TKind::Text) return;
      if (AfterDone && !SawDone) return;
      Armed = true;
      QTimer::singleShot(DelayMs, this, [this] { Take(0); });
    });
    // Without any progress (nothing to convert, or a run that ended at once)
    // the picture is still taken, and the program says so.
    connect(&Window, &TfrmMain::runEnded, this, [this] {
      if (!Armed) Take(1);
    });
    QTimer::singleShot(120000, this, [this] { Take(1); });
  }

 private:
  void Take(int status) {
    if (Taken) return;
    Taken = true;
    const bool saved = Window.grab().save(Path, "PNG");
    if (saved)
      std::printf("%s\n", QFileInfo(Path).absoluteFilePath().toLocal8Bit().constData());
    else
      std::fprintf(stderr, "vexav-window: cannot write %s\n", Path.toLocal8Bit().constData());
    std::fflush(stdout);
    if (Window.Converting()) Window.btnConvertClick();  // Stop
    QCoreApplication::exit(saved ? status : 1);
  }

  TfrmMain& Window;
  QString Path;
  int DelayMs;
  bool AfterDone;
  bool SawDone = false;
  bool Armed = false;
  bool Taken = false;
};

}  // namespace
}  // namespace vexav

int main(int argc, char** argv) {
  using namespace vexav;
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("vexav-window"));

  QCommandLineParser parser;
  parser.setApplicationDescription(QString::fromLatin1(kProductTitle));
  parser.addHelpOption();
  const QCommandLineOption addOption(QStringLiteral("add"), QStringLiteral("Add FILE to the list."),
                                     QStringLiteral("FILE"));
  const QCommandLineOption convertOption(QStringLiteral("convert"),
                                         QStringLiteral("Press Convert once the files are in."));
  const QCommandLineOption folderOption(QStringLiteral("output-folder"),
                                        QStringLiteral("Output folder for this run."),
                                        QStringLiteral("DIR"));
  const QCommandLineOption jobsOption(QStringLiteral("jobs"),
                                      QStringLiteral("Files converted at once in this run."),
                                      QStringLiteral("N"));
  const QCommandLineOption shotOption(
      QStringLiteral("screenshot"),
      QStringLiteral("Save a PNG of the window once rows show progress, then stop and quit."),
      QStringLiteral("OUT"));
  const QCommandLineOption delayOption(
      QStringLiteral("screenshot-delay"),
      QStringLiteral("Milliseconds between the first progress and the picture (default 1000)."),
      QStringLiteral("MS"), QStringLiteral("1000"));
  const QCommandLineOption afterDoneOption(
      QStringLiteral("screenshot-after-done"),
      QStringLiteral("Wait for a finished row too before the delay starts."));
  parser.addOptions({addOption, convertOption, folderOption, jobsOption, shotOption, delayOption,
                     afterDoneOption});
  parser.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("Files to add."),
                               QStringLiteral("[FILE...]"));
  parser.process(app);

  bool delayOk = false;
  const int delayMs = parser.value(delayOption).toInt(&delayOk);
  bool jobsOk = true;
  const int jobs = parser.isSet(jobsOption) ? parser.value(jobsOption).toInt(&jobsOk) : 0;
  if (!delayOk || delayMs < 0 || !jobsOk) {
    std::fprintf(stderr, "vexav-window: --jobs and --screenshot-delay take a number\n");
    return 2;
  }

  const bool screenshot = parser.isSet(shotOption);
  TDesktopDialogs desktop;
  TUnattendedDialogs unattended;
  TfrmMain window(screenshot ? static_cast<TWindowDialogs&>(unattended) : desktop);
  // For this run only: config.ini keeps its own values.
  if (parser.isSet(folderOption))
    window.SetOutputFolderForRun(
        QDir::cleanPath(QFileInfo(parser.value(folderOption)).absoluteFilePath()));
  if (parser.isSet(jobsOption)) window.SetJobsForRun(jobs);

  const QStringList files = parser.values(addOption) + parser.positionalArguments();
  const bool convert = parser.isSet(convertOption);
  std::unique_ptr<TScreenshot> shot;
  if (screenshot)
    shot = std::make_unique<TScreenshot>(window, parser.value(shotOption), delayMs,
                                         parser.isSet(afterDoneOption));

  window.show();
  QTimer::singleShot(0, &window, [&window, files, convert] {
    if (!files.isEmpty()) window.AddFiles(files);
    if (convert) window.btnConvertClick();
  });
  return app.exec();
}
