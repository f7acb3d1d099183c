#include "window/MainWindow.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QPushButton>
#include <QScreen>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QStandardItemModel>
#include <QTableWidget>
#include <QTimer>
#include <algorithm>

#include "binding/LibraryLoader.h"
#include "window/ConfigFile.h"
#include "window/ConfigLocation.h"
#include "window/Controls.h"
#include "window/FileProblems.h"
#include "window/Formats.h"
#include "window/MainWindowRows.h"
#include "window/OutputFolderText.h"
#include "window/Product.h"
#include "window/WindowDialogs.h"

namespace vexav {

namespace {

constexpr int kClientWidth = 771;
constexpr int kClientHeight = 571;

const char kLibError[] = "Error: Lib cannot be loaded.";

}  // namespace

TfrmMain::TfrmMain(TWindowDialogs& dialogs, const TMainWindowSetup& setup, QWidget* parent)
    : QWidget(parent),
      Dialogs(dialogs),
      FHasEncoder(setup.HasEncoder),
      FConverter(std::make_unique<TVexAVConverter>()) {
  setObjectName(QStringLiteral("frmMain"));
  FAppFolder = setup.AppFolder.isEmpty() ? QCoreApplication::applicationDirPath() : setup.AppFolder;
  if (!FAppFolder.endsWith(u'/')) FAppFolder += u'/';
  FHomeFolder = setup.HomeFolder.isEmpty() ? UserHomeFolder() : setup.HomeFolder;
  FConfigFile = UserConfigFile(FAppFolder);

  VexAVC().SetLogLevel(TLogLevel::llQuiet);
  VexAVC().SetProgressInterval(100);
  VexAVC().OnTaskProgress = [this](int AIndex, const TRunProgress& AProgress) {
    VexAVCProgress(AIndex, AProgress);
  };
  VexAVC().OnTerminate = [this](int AIndex, bool AFinished, bool AException,
                                const std::string& AMessage) {
    VexAVCTerminate(AIndex, AFinished, AException, AMessage);
  };

  BuildControls();
  for (const TFormatPreset& format : kFormats) {
    selFormat->addItem(QString::fromUtf8(format.ItemText));
    selFormat->setItemData(selFormat->count() - 1, QString::fromUtf8(format.Description),
                           Qt::ToolTipRole);
  }
  selFormat->setCurrentIndex(kDefaultFormatIndex);
  for (const int lines : kSizeLimits) selSize->addItem(SizeLimitCaption(lines), lines);
  selSize->setCurrentIndex(0);
  ReadConfigFile();
  selFormat->setToolTip(selFormat->currentData(Qt::ToolTipRole).toString());
  setWindowTitle(Title());
  resize(kClientWidth, kClientHeight);
  setMinimumSize(kRefusedWidth + 1, kRefusedHeight + 1);
}

TfrmMain::~TfrmMain() {
  // The component goes first: it stops a run still under way and waits for
  // its threads, whose handlers post to this window, which is still whole.
  FConverter.reset();
}

QString TfrmMain::Title() {
  return QString::fromUtf8(kProductTitle);
}

QString TfrmMain::OpenFilter() {
  // One pattern: the open dialog matches names in any letter case.
  return QStringLiteral("All Supported Files (*.avi);;All Files (*)");
}

int TfrmMain::MaxHeight() const {
  return selSize->currentData().toInt();
}

void TfrmMain::SetMaxHeight(int lines) {
  selSize->setCurrentIndex(std::max(0, selSize->findData(IsSizeLimit(lines) ? lines : 0)));
}

QString TfrmMain::FormatUnavailable(const QString& itemText) const {
  const TFormatPreset* format = FindFormat(itemText);
  if (!format) return QString();
  return QString::fromStdString(FHasEncoder ? output::PresetUnavailable(*format, FHasEncoder)
                                            : output::PresetUnavailable(*format));
}

void TfrmMain::MarkUnavailableFormats() {
  auto* model = qobject_cast<QStandardItemModel*>(selFormat->model());
  if (!model) return;
  for (int row = 0; row < model->rowCount(); ++row) {
    QStandardItem* item = model->item(row);
    const TFormatPreset* format = FindFormat(item->text());
    if (!format) continue;
    QString reason = FormatUnavailable(item->text());
    // The user cannot pick it; a format chosen before (config.ini) stays
    // selected and Convert says why it cannot be used.
    item->setEnabled(reason.isEmpty());
    if (!reason.isEmpty()) reason[0] = reason[0].toUpper();
    item->setToolTip(reason.isEmpty() ? QString::fromUtf8(format->Description) : reason);
  }
  selFormat->setToolTip(selFormat->currentData(Qt::ToolTipRole).toString());
}

bool TfrmMain::CanResize(const QSize& size) {
  return size.width() > kRefusedWidth && size.height() > kRefusedHeight;
}

void TfrmMain::SetJobs(int jobs) {
  FJobs = ClampJobs(jobs);
  // One file at a time gets every core through its codecs' own threads;
  // several at once share the cores, one codec thread each. Tasks take the
  // value when they are added.
  VexAVC().SetCodecThreads(FJobs == 1 ? 0 : 1);
  const QSignalBlocker quiet(spinJobs);
  spinJobs->setValue(FJobs);
}

void TfrmMain::SetOutputFolderForRun(const QString& folder) {
  txtOutput->setText(folder);
  FOutputForRun = true;
}

void TfrmMain::SetJobsForRun(int jobs) {
  SetJobs(jobs);
  FJobsForRun = true;
}

bool TfrmMain::SetFormatForRun(const QString& label) {
  const TFormatPreset* format = FindFormatByLabel(label);
  const int index = format ? selFormat->findText(QString::fromUtf8(format->ItemText)) : -1;
  if (index < 0) return false;
  selFormat->setCurrentIndex(index);
  FFormatForRun = true;
  return true;
}

void TfrmMain::SetMaxHeightForRun(int lines) {
  SetMaxHeight(lines);
  FMaxHeightForRun = true;
}

int TfrmMain::RowOfTask(int index) const {
  return index >= 0 && index < static_cast<int>(TaskRows.size()) ? TaskRows[index] : -1;
}

QString TfrmMain::StatusText(int row) const {
  const QTableWidgetItem* item = lvFiles->item(row, kColumnStatus);
  return item ? item->text() : QString();
}

// ---- Configuration --------------------------------------------------------------

void TfrmMain::ReadConfigFile() {
  const TWindowConfig config = ReadConfig(FConfigFile, FHomeFolder);
  txtOutput->setText(config.OutputFolder);
  chkSameFolder->setChecked(config.SameFolder);
  SetJobs(config.Jobs);
  for (int index = 0; index < selFormat->count(); ++index)
    if (FormatLabel(selFormat->itemText(index)) == config.Format) selFormat->setCurrentIndex(index);
  SetMaxHeight(config.MaxHeight);
  FSavedOutput = config.OutputFolder;
  FSavedJobs = FJobs;
  FSavedFormat = FormatLabel(selFormat->currentText());
  FSavedMaxHeight = MaxHeight();
  chkSameFolderClick();
}

void TfrmMain::WriteConfigFile() {
  // Values given on the command line for this run leave the file's own in
  // place.
  TWindowConfig config;
  config.OutputFolder = FOutputForRun ? FSavedOutput : txtOutput->text();
  config.SameFolder = chkSameFolder->isChecked();
  config.Jobs = FJobsForRun ? FSavedJobs : FJobs;
  config.Format = FFormatForRun ? FSavedFormat : FormatLabel(selFormat->currentText());
  config.MaxHeight = FMaxHeightForRun ? FSavedMaxHeight : MaxHeight();
  QString problem;
  if (WriteConfig(FConfigFile, config, &problem) || FConfigProblemSaid) return;
  // The user learns that the settings are lost, once: a window closed again
  // over the same file does not say it again.
  FConfigProblemSaid = true;
  Dialogs.Warning(this, QString::fromUtf8(kConfigNotSaved).arg(FConfigFile, problem));
}

// ---- Window events -------------------------------------------------------------

void TfrmMain::showEvent(QShowEvent* event) {
  if (!FCentred) {
    FCentred = true;
    if (const QScreen* desktop = screen())
      move(desktop->availableGeometry().center() - rect().center());
    // Once the window is up, the format box marks the formats the
    // libraries cannot encode. Quietly: a library that cannot be bound is
    // reported when a file is added or Convert is pressed.
    QTimer::singleShot(0, this, [this] {
      if (VexAVC().LoadLibraries(binding::ProgramLibraryFolder(FAppFolder.toStdString()), true))
        MarkUnavailableFormats();
    });
  }
  QWidget::showEvent(event);
}

void TfrmMain::closeEvent(QCloseEvent* event) {
  if (FConverting) {
    // The window closes once the stopped run has ended, so that every
    // output gets its end written and the stopped ones are renamed.
    event->ignore();
    if (FCloseWhenStopped) return;
    if (!Dialogs.AskYesNo(this, Title(), CloseQuestion())) return;
    FCloseWhenStopped = true;
    if (!FStopPressed) btnConvertClick();  // Stop
    return;
  }
  WriteConfigFile();
  hide();
  Dialogs.ShowExitBanner(this);
  event->accept();
}

void TfrmMain::SetCaption(const QString& suffix) {
  setWindowTitle(Title() + suffix);
}

bool TfrmMain::LoadLibraries() {
  // lib/ beside the program, or the installed library folder.
  const std::string folder = binding::ProgramLibraryFolder(FAppFolder.toStdString());
  if (VexAVC().LoadLibraries(folder, true)) {
    MarkUnavailableFormats();
    return true;
  }
  // The loader's text names the library and the package that holds it.
  Dialogs.Warning(
      this, QString::fromUtf8(kLibError) + u'\n' + QString::fromStdString(VexAVC().LastError()));
  return false;
}

// ---- Output folder and banner ----------------------------------------------------

void TfrmMain::btnFolderChangeClick() {
  QString folder = Dialogs.ChooseFolder(this, QStringLiteral("Select an Output Folder:"),
                                        TypedOutputFolder(txtOutput->text(), FHomeFolder));
  if (folder.isEmpty()) return;
  folder = QDir::fromNativeSeparators(folder);
  while (folder.size() > 1 && folder.endsWith(u'/')) folder.chop(1);
  txtOutput->setText(folder);
  FOutputForRun = false;  // the user's own choice is kept
}

void TfrmMain::btnBrowseClick() {
  // A typed folder, as Convert takes it ("~" is the home folder).
  const QString folder = TypedOutputFolder(txtOutput->text(), FHomeFolder);
  if (folder.isEmpty()) {
    Dialogs.Warning(this, QStringLiteral("Type or choose an output folder."));
    return;
  }
  // A folder not made yet is made now, as Convert would.
  if (!QFileInfo(folder).isDir()) {
    if (const QString problem = PrepareOutputFolder(folder); !problem.isEmpty()) {
      Dialogs.Warning(this,
                      QStringLiteral("The folder %1 cannot be created: %2.").arg(folder, problem));
      return;
    }
  }
  if (!Dialogs.OpenUrl(QUrl::fromLocalFile(folder)))
    Dialogs.Warning(this, QStringLiteral("No file manager could open %1.").arg(folder));
}

void TfrmMain::chkSameFolderClick() {
  const bool ownFolder = !chkSameFolder->isChecked();
  const bool idle = !FConverting;
  txtOutput->setEnabled(ownFolder && idle);
  btnFolderChange->setEnabled(ownFolder && idle);
  btnBrowse->setEnabled(ownFolder);
}

void TfrmMain::Image1Click() {
  Dialogs.OpenUrl(QUrl(QString::fromUtf8(kHomePage)));
}

void TfrmMain::OpenRowOutput(int row) {
  const QTableWidgetItem* source = lvFiles->item(row, kColumnSource);
  if (!source || !source->data(rows::kOpenableRole).toBool()) return;
  const QString output = source->data(rows::kOutputRole).toString();
  if (!QFileInfo(output).isFile()) {
    Dialogs.Warning(this, QStringLiteral("%1 is not there any more.").arg(output));
    return;
  }
  if (!Dialogs.OpenUrl(QUrl::fromLocalFile(output)))
    Dialogs.Warning(this, QStringLiteral("Nothing could open %1.").arg(output));
}

}  // namespace vexav
