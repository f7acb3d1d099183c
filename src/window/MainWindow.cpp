#include "window/MainWindow.h"

#include <QAction>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QGridLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QThread>
#include <QVBoxLayout>

#include "window/Banner.h"
#include "window/ConfigFile.h"
#include "window/Controls.h"
#include "window/Formats.h"
#include "window/OutputName.h"
#include "window/Product.h"
#include "window/StatusCell.h"
#include "window/StatusDelegate.h"
#include "window/WindowDialogs.h"

namespace vexav {

namespace {

constexpr int kClientWidth = 771;
constexpr int kClientHeight = 571;
constexpr int kSourceWidth = 333;
constexpr int kStatusWidth = 199;
// Where a row keeps the output its task was given (on the Source item).
constexpr int kOutputRole = Qt::UserRole + 1;

const char kConvertCaption[] = "Convert!";
const char kStopCaption[] = "Stop";
const char kLibError[] = "Error: Lib cannot be loaded.";
const char kErrorFound[] = "Error found";
const char kInformation[] = "Information";

QString Text(const char* text) {
  return QString::fromUtf8(text);
}

// The folder of a file with a trailing "/".
QString FolderWithSlash(const QFileInfo& file) {
  QString folder = file.absolutePath();
  if (!folder.endsWith(u'/')) folder += u'/';
  return folder;
}

}  // namespace

TfrmMain::TfrmMain(TWindowDialogs& dialogs, const TMainWindowSetup& setup, QWidget* parent)
    : QWidget(parent), Dialogs(dialogs), FConverter(std::make_unique<TVexAVConverter>()) {
  setObjectName(QStringLiteral("frmMain"));
  FAppFolder = setup.AppFolder.isEmpty() ? QCoreApplication::applicationDirPath() : setup.AppFolder;
  if (!FAppFolder.endsWith(u'/')) FAppFolder += u'/';
  FHomeFolder = setup.HomeFolder.isEmpty() ? QDir::homePath() : setup.HomeFolder;

  VexAVC().SetLogLevel(TLogLevel::llQuiet);
  VexAVC().SetProgressInterval(100);
  VexAVC().OnProgress = [this](int AIndex, int AFrameNumber, int AFPS, int ACurrentDuration,
                               float AQuality, float ABitRate, int64_t ACurrentSize,
                               int ATotalOutputDuration) {
    VexAVCProgress(AIndex, AFrameNumber, AFPS, ACurrentDuration, AQuality, ABitRate, ACurrentSize,
                   ATotalOutputDuration);
  };
  VexAVC().OnTerminate = [this](int AIndex, bool AFinished, bool AException,
                                const std::string& AMessage) {
    VexAVCTerminate(AIndex, AFinished, AException, AMessage);
  };

  BuildControls();
  for (const TFormatPreset& format : kFormats) selFormat->addItem(Text(format.ItemText));
  selFormat->setCurrentIndex(kDefaultFormatIndex);
  ReadConfigFile();
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
  return Text(kProductTitle);
}

QString TfrmMain::OpenFilter() {
  // Every spelling of ".avi", since the dialog compares names with case.
  QStringList patterns;
  for (int mask = 0; mask < 8; ++mask) {
    QString ext = QStringLiteral("avi");
    for (int i = 0; i < 3; ++i)
      if (mask & (1 << i)) ext[i] = ext[i].toUpper();
    patterns.append(QStringLiteral("*.") + ext);
  }
  return QStringLiteral("All Supported Files (%1);;All Files (*)").arg(patterns.join(u' '));
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
}

int TfrmMain::RowOfTask(int index) const {
  return index >= 0 && index < static_cast<int>(TaskRows.size()) ? TaskRows[index] : -1;
}

QString TfrmMain::StatusText(int row) const {
  const QTableWidgetItem* item = lvFiles->item(row, kColumnStatus);
  return item ? item->text() : QString();
}

// ---- Building -------------------------------------------------------------------

void TfrmMain::BuildControls() {
  auto* root = new QVBoxLayout(this);
  root->setContentsMargins(0, 0, 0, 0);
  root->setSpacing(0);

  Image1 = new TBannerImage(&PaintMainBanner, this);
  Image1->setObjectName(QStringLiteral("Image1"));
  Image1->setFixedHeight(kBannerHeight);
  Image1->setToolTip(Text(kHomePage));
  connect(Image1, &TBannerImage::clicked, this, &TfrmMain::Image1Click);
  root->addWidget(Image1);

  auto* body = new QVBoxLayout;
  body->setContentsMargins(10, 10, 10, 10);
  body->setSpacing(10);
  root->addLayout(body, 1);

  lvFiles = new TFileList(this);
  lvFiles->setObjectName(QStringLiteral("lvFiles"));
  lvFiles->setColumnCount(3);
  lvFiles->setHorizontalHeaderLabels(
      {QStringLiteral("Source"), QStringLiteral("Status"), QStringLiteral("Path")});
  lvFiles->setColumnWidth(kColumnSource, kSourceWidth);
  lvFiles->setColumnWidth(kColumnStatus, kStatusWidth);
  lvFiles->horizontalHeader()->setStretchLastSection(true);
  lvFiles->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  lvFiles->horizontalHeader()->setHighlightSections(false);
  lvFiles->verticalHeader()->hide();
  lvFiles->verticalHeader()->setDefaultSectionSize(lvFiles->fontMetrics().height() + 10);
  lvFiles->setEditTriggers(QAbstractItemView::NoEditTriggers);
  lvFiles->setSelectionBehavior(QAbstractItemView::SelectRows);
  lvFiles->setSelectionMode(QAbstractItemView::SingleSelection);
  lvFiles->setShowGrid(true);
  lvFiles->setWordWrap(false);
  lvFiles->setTextElideMode(Qt::ElideMiddle);
  lvFiles->setItemDelegateForColumn(kColumnStatus, new TStatusDelegate(lvFiles));
  lvFiles->setContextMenuPolicy(Qt::ActionsContextMenu);
  mnuAddFiles = new QAction(QStringLiteral("Add File(s)"), lvFiles);
  mnuAddFiles->setObjectName(QStringLiteral("mnuAddFiles"));
  connect(mnuAddFiles, &QAction::triggered, this, &TfrmMain::btnOpenClick);
  lvFiles->addAction(mnuAddFiles);
  auto* separator = new QAction(lvFiles);
  separator->setSeparator(true);
  lvFiles->addAction(separator);
  connect(lvFiles, &TFileList::filesDropped, this, &TfrmMain::AddFiles);
  body->addWidget(lvFiles, 1);

  auto* grid = new QGridLayout;
  grid->setHorizontalSpacing(8);
  grid->setVerticalSpacing(8);
  grid->setColumnStretch(1, 1);
  body->addLayout(grid);

  auto makeButton = [this](const char* name, const char* caption) {
    auto* button = new QPushButton(Text(caption), this);
    button->setObjectName(Text(name));
    button->setMinimumWidth(100);
    button->setAutoDefault(false);
    return button;
  };

  lblOutput = new QLabel(QStringLiteral("Output Folder:"), this);
  lblOutput->setObjectName(QStringLiteral("lblOutput"));
  txtOutput = new TOutputEdit(this);
  txtOutput->setObjectName(QStringLiteral("txtOutput"));
  txtOutput->setReadOnly(true);
  txtOutput->setToolTip(QStringLiteral("Double-click to choose another folder"));
  lblOutput->setBuddy(txtOutput);
  connect(txtOutput, &TOutputEdit::doubleClicked, this, &TfrmMain::btnFolderChangeClick);
  btnFolderChange = makeButton("btnFolderChange", "Change");
  connect(btnFolderChange, &QPushButton::clicked, this, &TfrmMain::btnFolderChangeClick);
  btnBrowse = makeButton("btnBrowse", "Browse");
  connect(btnBrowse, &QPushButton::clicked, this, &TfrmMain::btnBrowseClick);
  grid->addWidget(lblOutput, 0, 0);
  grid->addWidget(txtOutput, 0, 1);
  grid->addWidget(btnFolderChange, 0, 2);
  grid->addWidget(btnBrowse, 0, 3);

  chkSameFolder = new QCheckBox(QStringLiteral("Use the same directory to the source file"), this);
  chkSameFolder->setObjectName(QStringLiteral("chkSameFolder"));
  chkSameFolder->setEnabled(false);
  chkSameFolder->hide();
  connect(chkSameFolder, &QCheckBox::clicked, this, &TfrmMain::chkSameFolderClick);

  lblFormat = new QLabel(QStringLiteral("Output Format:"), this);
  lblFormat->setObjectName(QStringLiteral("lblFormat"));
  selFormat = new QComboBox(this);
  selFormat->setObjectName(QStringLiteral("selFormat"));
  selFormat->setMinimumWidth(220);
  lblFormat->setBuddy(selFormat);
  btnOpen = makeButton("btnOpen", "Add...");
  btnOpen->setToolTip(QStringLiteral("Open one or more videos to the list"));
  connect(btnOpen, &QPushButton::clicked, this, &TfrmMain::btnOpenClick);
  btnConvert = makeButton("btnConvert", kConvertCaption);
  btnConvert->setToolTip(QStringLiteral("Convert all the videos from the list"));
  QFont bold = btnConvert->font();
  bold.setBold(true);
  btnConvert->setFont(bold);
  connect(btnConvert, &QPushButton::clicked, this, &TfrmMain::btnConvertClick);
  grid->addWidget(lblFormat, 1, 0);
  grid->addWidget(selFormat, 1, 1, Qt::AlignLeft);
  grid->addWidget(btnOpen, 1, 2);
  grid->addWidget(btnConvert, 1, 3);
  grid->addWidget(chkSameFolder, 2, 0, 1, 4);

  setTabOrder(lvFiles, btnOpen);
  setTabOrder(btnOpen, btnConvert);
  setTabOrder(btnConvert, selFormat);
  setTabOrder(selFormat, txtOutput);
  setTabOrder(txtOutput, btnFolderChange);
  setTabOrder(btnFolderChange, btnBrowse);
}

// ---- Configuration --------------------------------------------------------------

void TfrmMain::ReadConfigFile() {
  const TWindowConfig config = ReadConfig(ConfigFilePath(FAppFolder), FHomeFolder);
  txtOutput->setText(config.OutputFolder);
  chkSameFolder->setChecked(config.SameFolder);
  SetJobs(config.Jobs);
  chkSameFolderClick();
}

void TfrmMain::WriteConfigFile() {
  // Not checked: a folder that cannot be written only loses the settings.
  WriteConfig(ConfigFilePath(FAppFolder),
              TWindowConfig{txtOutput->text(), chkSameFolder->isChecked(), FJobs});
}

// ---- Window events -------------------------------------------------------------

void TfrmMain::showEvent(QShowEvent* event) {
  if (!FCentred) {
    FCentred = true;
    if (const QScreen* desktop = screen())
      move(desktop->availableGeometry().center() - rect().center());
  }
  QWidget::showEvent(event);
}

void TfrmMain::closeEvent(QCloseEvent* event) {
  WriteConfigFile();
  hide();
  Dialogs.ShowExitBanner(this);
  event->accept();
}

void TfrmMain::SetCaption(const QString& suffix) {
  setWindowTitle(Title() + suffix);
}

bool TfrmMain::LoadLibraries() {
  if (VexAVC().LoadLibraries((FAppFolder + QStringLiteral("lib")).toStdString(), true)) return true;
  Dialogs.Message(this, Text(kLibError));
  return false;
}

// ---- The list --------------------------------------------------------------------

void TfrmMain::AddRow(const QString& path) {
  const QFileInfo file(path);
  const int row = lvFiles->rowCount();
  lvFiles->insertRow(row);
  lvFiles->setItem(row, kColumnSource, new QTableWidgetItem(file.fileName()));
  lvFiles->setItem(row, kColumnStatus, new QTableWidgetItem(Text(kStatusReady)));
  lvFiles->setItem(row, kColumnPath, new QTableWidgetItem(FolderWithSlash(file)));
  lvFiles->item(row, kColumnPath)->setToolTip(file.absoluteFilePath());
}

QString TfrmMain::RowPath(int row) const {
  return lvFiles->item(row, kColumnPath)->text() + lvFiles->item(row, kColumnSource)->text();
}

void TfrmMain::SetRowStatus(int row, const QString& text, const QString& toolTip) {
  QTableWidgetItem* item = lvFiles->item(row, kColumnStatus);
  if (!item) return;
  item->setToolTip(toolTip);
  item->setText(text);
  emit statusChanged(row, text);
}

void TfrmMain::ClearAll() {
  VexAVC().ClearTasks();
  TaskRows.clear();
  lvFiles->setRowCount(0);
}

void TfrmMain::btnOpenClick() {
  if (!LoadLibraries()) return;
  const QStringList files = Dialogs.ChooseFiles(this, OpenFilter());
  if (files.isEmpty()) return;
  AddFiles(files);
}

void TfrmMain::AddFiles(const QStringList& files) {
  // Dropped files are refused while a run goes on, as the Add button is.
  if (FConverting || files.isEmpty()) return;
  if (!LoadLibraries()) return;
  // After a finished or stopped run the list starts anew.
  if (VexAVC().TaskCount() == 0 || FStopPressed) {
    ClearAll();
    FStopPressed = false;
  }
  int position = 0;
  for (const QString& file : files) {
    ++position;
    const QString path = QFileInfo(file).absoluteFilePath();
    // The probe tests the file first; one it cannot open is left out
    // without a word, as is one whose task cannot be made.
    if (!VexAVC().Probe().Open(path.toStdString())) continue;
    SetCaption(QStringLiteral(" [Loading File %1...]").arg(position));
    TInputOptions input;
    ResetInputOptions(input);
    input.FileName = path.toStdString();
    const int index = VexAVC().AddInputFile(input.FileName, &input);
    VexAVC().Probe().Close();
    if (index < 0) continue;
    AddRow(path);
    TaskRows.resize(index + 1, -1);
    TaskRows[index] = lvFiles->rowCount() - 1;
  }
  SetCaption(lvFiles->rowCount() > 0 ? Text(kCaptionReady) : QString());
  selFormat->setFocus();
}

void TfrmMain::DoLoadFromList() {
  TaskRows.clear();
  for (int row = 0; row < lvFiles->rowCount(); ++row) {
    const QString path = RowPath(row);
    SetCaption(QStringLiteral(" [Loading File %1...]").arg(row + 1));
    int index = -1;
    std::string error;
    if (VexAVC().Probe().Open(path.toStdString())) {
      TInputOptions input;
      ResetInputOptions(input);
      input.FileName = path.toStdString();
      index = VexAVC().AddInputFile(input.FileName, &input);
      if (index < 0) error = VexAVC().LastError();
      VexAVC().Probe().Close();
    } else {
      error = VexAVC().Probe().LastError();
    }
    if (index < 0) {
      // The row stays, without a task, and says why.
      SetRowStatus(row, Text(kStatusFailed), QString::fromStdString(error));
      continue;
    }
    SetRowStatus(row, Text(kStatusReady));
    TaskRows.resize(index + 1, -1);
    TaskRows[index] = row;
  }
}

// ---- The run ---------------------------------------------------------------------

bool TfrmMain::PrepareTask(int index, const QString& formatText) {
  const QString ext = FormatExtension(formatText);
  const QString label = FormatLabel(formatText);
  TFFmpeg* task = VexAVC().Task(index);
  const int row = RowOfTask(index);
  if (!task || row < 0) return false;
  TAVProbe& probe = task->Probe();
  QString source = QString::fromStdString(probe.GetFileName());
  if (source.isEmpty()) source = RowPath(row);

  QString name = source;
  if (!chkSameFolder->isChecked()) {
    const QString folder = txtOutput->text();
    // Made with its parents when missing; a folder that cannot be made
    // fails at SetOutputFile.
    QDir().mkpath(folder);
    name = PathInFolder(folder, source);
  }
  const QString output = MakeOutputName(name, ext, label);

  TAudioStreamInfo audio;
  TVideoStreamInfo video;
  if (probe.AudioStreamCount() > 0) probe.GetDefaultAudioInfo(audio);
  if (probe.VideoStreamCount() > 0) probe.GetDefaultVideoInfo(video);
  const output::TOutputSettings settings =
      output::MakeOutputSettings(FindFormat(formatText), IsAudioOnly(ext, source), audio, video);
  TOutputOptions record;
  ResetOutputOptions(record);
  record.AudioCodec = settings.AudioCodec;
  record.AudioChannels = settings.AudioChannels;
  record.AudioSampleRate = settings.AudioSampleRate;
  record.AudioBitrate = settings.AudioBitrate;
  record.AudioSync = settings.AudioSync;
  record.VideoCodec = settings.VideoCodec;
  record.DisableVideo = settings.DisableVideo;
  record.FrameRate = settings.FrameRate;
  record.FrameSize = settings.FrameSize;
  record.VideoBitrate = settings.VideoBitrate;
  record.VideoSync = settings.VideoSync;
  // The record has no field for the pixel format: a free option line.
  if (!settings.PixelFormat.empty()) record.ExtOptions = "pix_fmt=" + settings.PixelFormat + "\n";

  lvFiles->item(row, kColumnSource)->setData(kOutputRole, output);
  return VexAVC().SetOutputFile(index, output.toStdString(), &record);
}

bool TfrmMain::StartRun() {
  // A Convert right after Stop may come before the stopped run's final
  // notice has been raised; the component starts nothing until it has.
  // Handlers never wait for this thread, so the wait is short.
  for (int waited = 0; !FFinalRaised.load() && waited < 10000; waited += 10) QThread::msleep(10);
  FFinalRaised = false;
  ++FRun;
  for (int tries = 0;; ++tries) {
    if (VexAVC().Start(FJobs)) return true;
    if (tries >= 100) break;
    QThread::msleep(10);
  }
  FFinalRaised = true;
  return false;
}

void TfrmMain::SetControlsEnabled(bool enabled) {
  btnOpen->setEnabled(enabled);
  mnuAddFiles->setEnabled(enabled);
  selFormat->setEnabled(enabled);
  chkSameFolder->setEnabled(enabled);
  // The folder controls follow the same-folder box when enabled again.
  const bool folder = enabled && !chkSameFolder->isChecked();
  btnFolderChange->setEnabled(folder);
  txtOutput->setEnabled(folder);
}

void TfrmMain::EnterIdle(const char* suffix) {
  FConverting = false;
  SetCaption(Text(suffix));
  btnConvert->setText(Text(kConvertCaption));
  SetControlsEnabled(true);
}

void TfrmMain::btnConvertClick() {
  if (FConverting) {
    FStopPressed = true;
    VexAVC().Stop();
    return;
  }
  if (!LoadLibraries()) return;
  if (lvFiles->rowCount() == 0) {
    Dialogs.Information(this, Text(kInformation), QStringLiteral("Please choose a file."));
    VexAVC().ClearTasks();
    TaskRows.clear();
    FStopPressed = false;
    btnOpen->setFocus();
    return;
  }

  const QString formatText = selFormat->currentText();
  if (VexAVC().TaskCount() == 0 || FStopPressed) {
    if (formatText == FLastFormat &&
        !Dialogs.AskYesNo(this, Text(kInformation),
                          QStringLiteral("File(s) from the list was already converted to this "
                                         "format\n") +
                              FLastFormat + u'\n' + QStringLiteral("Do you wish to convert agin?")))
      return;
    VexAVC().ClearTasks();
    FStopPressed = false;
    DoLoadFromList();
  }

  // Each task once: a removed task's successors move down into its index.
  for (int index = 0; index < VexAVC().TaskCount();) {
    if (PrepareTask(index, formatText)) {
      btnConvert->setFocus();
      ++index;
      continue;
    }
    const int row = RowOfTask(index);
    const QString error = QString::fromStdString(VexAVC().LastError());
    VexAVC().RemoveTask(index);
    if (index < static_cast<int>(TaskRows.size())) TaskRows.erase(TaskRows.begin() + index);
    if (row >= 0) {
      // The task may have created its output before failing; the name was
      // free when chosen, so what is there now is that task's.
      const QString output = lvFiles->item(row, kColumnSource)->data(kOutputRole).toString();
      const QFileInfo file(output);
      if (!output.isEmpty() && file.isFile() && !file.isSymLink()) QFile::remove(output);
      SetRowStatus(row, Text(kStatusFailed), error);
    }
    Dialogs.Message(this, Text(kErrorFound));
  }

  if (VexAVC().TaskCount() == 0) {
    // Nothing is left to run: the window stays idle.
    EnterIdle(kCaptionReady);
    return;
  }
  if (!StartRun()) {
    Dialogs.Message(this, Text(kErrorFound));
    EnterIdle(kCaptionReady);
    return;
  }
  FStopPressed = false;
  FConverting = true;
  SetCaption(Text(kCaptionConverting));
  SetControlsEnabled(false);
  btnConvert->setText(Text(kStopCaption));
}

// ---- Notices --------------------------------------------------------------------

void TfrmMain::VexAVCProgress(int AIndex, int, int, int ACurrentDuration, float, float, int64_t,
                              int ATotalOutputDuration) {
  const std::optional<int> percent = ProgressPercent(ACurrentDuration, ATotalOutputDuration);
  const QString cell = percent ? ProgressCellText(*percent) : ConvertingCellText();
  const int run = FRun.load();
  QMetaObject::invokeMethod(
      this, [this, run, AIndex, cell] { ApplyProgress(run, AIndex, cell); }, Qt::QueuedConnection);
}

void TfrmMain::VexAVCTerminate(int AIndex, bool AFinished, bool AException,
                               const std::string& AMessage) {
  const int run = FRun.load();
  const QString message = QString::fromStdString(AMessage);
  if (AIndex < 0) FFinalRaised = true;
  QMetaObject::invokeMethod(
      this,
      [this, run, AIndex, AFinished, AException, message] {
        ApplyTerminate(run, AIndex, AFinished, AException, message);
      },
      Qt::QueuedConnection);
}

void TfrmMain::ApplyProgress(int run, int index, const QString& cellText) {
  // After Stop the rows wait for their terminations, which mark them.
  if (run != FRun.load() || FStopPressed) return;
  const int row = RowOfTask(index);
  if (row >= 0) SetRowStatus(row, cellText);
}

void TfrmMain::RemoveEmptyOutput(int row) {
  const QString output = lvFiles->item(row, kColumnSource)->data(kOutputRole).toString();
  const QFileInfo file(output);
  if (!output.isEmpty() && file.isFile() && !file.isSymLink() && file.size() == 0)
    QFile::remove(output);
}

void TfrmMain::ApplyTerminate(int run, int index, bool finished, bool exception,
                              const QString& message) {
  if (run != FRun.load()) return;
  if (index >= 0) {
    const int row = RowOfTask(index);
    if (row >= 0) {
      if (exception)
        SetRowStatus(row, Text(kStatusFailed), message);
      else
        SetRowStatus(row, Text(finished ? kStatusDone : kStatusCanceled));
      if (exception || !finished) RemoveEmptyOutput(row);
    }
  }

  if (FStopPressed) {
    // Every notice after Stop: back to idle, and what has not ended well
    // will not be converted in this run.
    if (FConverting) {
      EnterIdle(kCaptionCanceled);
      emit runEnded();
    }
    for (int row = 0; row < lvFiles->rowCount(); ++row) {
      const QString status = StatusText(row);
      if (status != Text(kStatusDone) && status != Text(kStatusFailed))
        SetRowStatus(row, Text(kStatusCanceled));
    }
    return;
  }
  if (index == -1) {
    EnterIdle(kCaptionDone);
    VexAVC().ClearTasks();
    TaskRows.clear();
    FLastFormat = selFormat->currentText();
    emit runEnded();
  }
}

// ---- Output folder and banner ----------------------------------------------------

void TfrmMain::btnFolderChangeClick() {
  QString folder = Dialogs.ChooseFolder(this, QStringLiteral("Select an Output Folder:"));
  if (folder.isEmpty()) return;
  folder = QDir::fromNativeSeparators(folder);
  while (folder.size() > 1 && folder.endsWith(u'/')) folder.chop(1);
  txtOutput->setText(folder);
}

void TfrmMain::btnBrowseClick() {
  Dialogs.OpenUrl(QUrl::fromLocalFile(txtOutput->text()));
}

void TfrmMain::chkSameFolderClick() {
  const bool ownFolder = !chkSameFolder->isChecked();
  txtOutput->setEnabled(ownFolder);
  btnFolderChange->setEnabled(ownFolder);
  btnBrowse->setEnabled(ownFolder);
}

void TfrmMain::Image1Click() {
  Dialogs.OpenUrl(QUrl(Text(kHomePage)));
}

}  // namespace vexav
