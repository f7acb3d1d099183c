// vexav-window: the converter's main window.
//
//   vexav-window [--add FILE]... [FILE]... [--convert] [--output-folder DIR]
//                [--jobs N] [--preset NAME] [--max-height N]
//                [--screenshot OUT.png [--screenshot-delay MS]
//                [--screenshot-after-done]]
//
// Files given are added to the list as if chosen in the open dialog;
// --convert presses Convert once they are in. --screenshot saves a picture of
// the window (PNG) MS milliseconds after the list first shows a row's
// progress (with --screenshot-after-done: once a row is also "Done"), then
// stops the run and quits without touching config.ini; the
// dialogs never wait for a person then (messages go to standard error, a
// question is answered Yes). --output-folder, --jobs, --preset and
// --max-height apply to this run only. The settings are kept in config.ini beside the executable when there
// is one, else in the user's $XDG_CONFIG_HOME/vexav/config.ini (by default
// ~/.config/vexav/config.ini); --help says which file. --help needs no
// display; without one, the program says so and ends instead of aborting in
// Qt's platform start.
#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QIcon>
#include <QPixmap>
#include <QTimer>
#include <cstdio>
#include <string_view>

#include "batch/EncoderBanners.h"
#include "window/ConfigLocation.h"
#include "window/Controls.h"
#include "window/Formats.h"
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

// The program's command line.
struct TCommandLine {
  QCommandLineParser Parser;
  QCommandLineOption Add{QStringLiteral("add"), QStringLiteral("Add FILE to the list."),
                         QStringLiteral("FILE")};
  QCommandLineOption Convert{QStringLiteral("convert"),
                             QStringLiteral("Press Convert once the files are in.")};
  QCommandLineOption Folder{QStringLiteral("output-folder"),
                            QStringLiteral("Output folder for this run."), QStringLiteral("DIR")};
  QCommandLineOption Jobs{QStringLiteral("jobs"),
                          QStringLiteral("Files converted at once in this run."),
                          QStringLiteral("N")};
  QCommandLineOption Preset{
      QStringLiteral("preset"),
      QStringLiteral("Output format for this run: a preset of vexav-convert --list-presets."),
      QStringLiteral("NAME")};
  QCommandLineOption MaxHeight{
      QStringLiteral("max-height"),
      QStringLiteral("Picture size for this run: at most 1080, 720 or 480 lines (0: the "
                     "source's size)."),
      QStringLiteral("N")};
  QCommandLineOption Shot{
      QStringLiteral("screenshot"),
      QStringLiteral("Save a PNG of the window once rows show progress, then stop and quit."),
      QStringLiteral("OUT")};
  QCommandLineOption Delay{
      QStringLiteral("screenshot-delay"),
      QStringLiteral("Milliseconds between the first progress and the picture (default 1000)."),
      QStringLiteral("MS"), QStringLiteral("1000")};
  QCommandLineOption AfterDone{
      QStringLiteral("screenshot-after-done"),
      QStringLiteral("Wait for a finished row too before the delay starts.")};

  TCommandLine() {
    Parser.addHelpOption();
    Parser.setApplicationDescription(QString::fromLatin1(kProductTitle));
    Parser.addOptions({Add, Convert, Folder, Jobs, Preset, MaxHeight, Shot, Delay, AfterDone});
    Parser.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("Files to add."),
                                 QStringLiteral("[FILE...]"));
  }
};

// Whether the command line asks for the help text.
bool AsksForHelp(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view word = argv[i];
    if (word == "--") return false;
    if (word == "-h" || word == "--help" || word == "-?") return true;
  }
  return false;
}

// Whether Qt has a window system to reach: one named by QT_QPA_PLATFORM or
// -platform, an X server (DISPLAY) or a Wayland one (WAYLAND_DISPLAY).
bool HasDisplay(int argc, char** argv) {
  for (int i = 1; i < argc; ++i)
    if (std::string_view(argv[i]) == "-platform" || std::string_view(argv[i]) == "--platform")
      return true;
  return !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") ||
         !qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

}  // namespace
}  // namespace vexav

int main(int argc, char** argv) {
  using namespace vexav;
  // The help needs no window system: it is printed before any is reached,
  // so that it works on a terminal without a display too.
  if (AsksForHelp(argc, argv)) {
    QCoreApplication core(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vexav-window"));
    TCommandLine line;
    line.Parser.parse(QCoreApplication::arguments());
    const QString settings = UserConfigFile(QCoreApplication::applicationDirPath());
    std::fputs(
        (line.Parser.helpText() + u'\n' + ConfigFileHelp(settings)).toLocal8Bit().constData(),
        stdout);
    return 0;
  }
  if (!HasDisplay(argc, argv)) {
    std::fprintf(stderr,
                 "vexav-window: no display to show the window on (DISPLAY is not set); "
                 "vexav-convert converts files without one\n");
    return 1;
  }

  vexav::batch::QuietEncoderBanners(false);
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("vexav-window"));
  // The desktop entry the window belongs to (its application id on Wayland),
  // and the icon installed with it.
  QGuiApplication::setDesktopFileName(QStringLiteral("org.vexav.Converter"));
  QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("org.vexav.Converter")));

  TCommandLine line;
  QCommandLineParser& parser = line.Parser;
  parser.process(app);

  bool delayOk = false;
  const int delayMs = parser.value(line.Delay).toInt(&delayOk);
  bool jobsOk = true;
  const int jobs = parser.isSet(line.Jobs) ? parser.value(line.Jobs).toInt(&jobsOk) : 0;
  if (!delayOk || delayMs < 0 || !jobsOk) {
    std::fprintf(stderr, "vexav-window: --jobs and --screenshot-delay take a number\n");
    return 2;
  }
  bool heightOk = true;
  const int maxHeight =
      parser.isSet(line.MaxHeight) ? parser.value(line.MaxHeight).toInt(&heightOk) : 0;
  if (!heightOk || !IsSizeLimit(maxHeight)) {
    std::fprintf(stderr, "vexav-window: --max-height takes 1080, 720, 480 or 0\n");
    return 2;
  }
  if (parser.isSet(line.Preset) && !FindFormatByLabel(parser.value(line.Preset))) {
    QStringList names;
    for (const TFormatPreset& format : kFormats)
      names.append(FormatLabel(QString::fromUtf8(format.ItemText)));
    std::fprintf(stderr, "vexav-window: no preset named '%s'; the presets are: %s\n",
                 parser.value(line.Preset).toLocal8Bit().constData(),
                 names.join(QStringLiteral(", ")).toLocal8Bit().constData());
    return 2;
  }

  const bool screenshot = parser.isSet(line.Shot);
  TDesktopDialogs desktop;
  TUnattendedDialogs unattended;
  TfrmMain window(screenshot ? static_cast<TWindowDialogs&>(unattended) : desktop);
  // For this run only: config.ini keeps its own values.
  if (parser.isSet(line.Folder))
    window.SetOutputFolderForRun(
        QDir::cleanPath(QFileInfo(parser.value(line.Folder)).absoluteFilePath()));
  if (parser.isSet(line.Jobs)) window.SetJobsForRun(jobs);
  if (parser.isSet(line.Preset)) window.SetFormatForRun(parser.value(line.Preset));
  if (parser.isSet(line.MaxHeight)) window.SetMaxHeightForRun(maxHeight);

  const QStringList files = parser.values(line.Add) + parser.positionalArguments();
  const bool convert = parser.isSet(line.Convert);
  std::unique_ptr<TScreenshot> shot;
  if (screenshot)
    shot = std::make_unique<TScreenshot>(window, parser.value(line.Shot), delayMs,
                                         parser.isSet(line.AfterDone));

  window.show();
  QTimer::singleShot(0, &window, [&window, files, convert] {
    if (!files.isEmpty()) window.AddFiles(files);
    if (convert) window.btnConvertClick();
  });
  return app.exec();
}
