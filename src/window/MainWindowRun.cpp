// The main window's run: Convert prepares an output for every task and
// starts the component; the component's notices come back to the rows
// (progress, times, the end of each file); the run's end shows one summary.
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QPushButton>
#include <QRegularExpression>
#include <QSpinBox>
#include <QTableWidget>
#include <QThread>

#include "batch/OutputFiles.h"
#include "component/PartialOutput.h"
#include "component/TaskList.h"
#include "window/Controls.h"
#include "window/FileProblems.h"
#include "window/Formats.h"
#include "window/MainWindow.h"
#include "window/MainWindowRows.h"
#include "window/OutputFolderText.h"
#include "window/OutputName.h"
#include "window/RunTimes.h"
#include "window/StatusCell.h"
#include "window/WindowDialogs.h"

namespace vexav {

namespace {

const char kConvertCaption[] = "Convert!";
const char kStopCaption[] = "Stop";
const char kInformation[] = "Information";

QString Text(const char* text) {
  return QString::fromUtf8(text);
}

bool IsStoppedText(const QString& status) {
  return status.startsWith(Text(kStatusStoppedPrefix));
}

}  // namespace

bool TfrmMain::PrepareTask(int index, const QString& formatText, QString& problem) {
  const QString ext = FormatExtension(formatText);
  const QString label = FormatLabel(formatText);
  TFFmpeg* task = VexAVC().Task(index);
  const int row = RowOfTask(index);
  if (!task || row < 0) return false;
  TAVProbe& probe = task->Probe();
  QString source = QString::fromStdString(probe.GetFileName());
  if (source.isEmpty()) source = RowPath(row);

  TAudioStreamInfo audio;
  TVideoStreamInfo video;
  if (probe.AudioStreamCount() > 0) probe.GetDefaultAudioInfo(audio);
  if (probe.VideoStreamCount() > 0) probe.GetDefaultVideoInfo(video);
  // A source without pictures converts to sound only, whatever its name:
  // asking the encoder for the size of pictures that do not exist fails.
  const bool audioOnly = IsAudioOnly(ext, source) || probe.VideoStreamCount() == 0;
  const output::TOutputSettings settings =
      output::MakeOutputSettings(FindFormat(formatText), audioOnly, audio, video, MaxHeight());
  // A format that keeps only the sound has nothing to write for a source
  // without any: said before an output is made.
  if (settings.DisableVideo && probe.AudioStreamCount() == 0) {
    problem = probe.VideoStreamCount() > 0
                  ? QStringLiteral("no audio stream to convert (the format keeps only the sound)")
                  : QStringLiteral("no audio or video stream to convert");
    SetRowOutput(row, QString());
    return false;
  }

  QString name = source;
  if (!chkSameFolder->isChecked()) {
    const QString folder = txtOutput->text();
    // Made with its parents when missing; a folder that cannot be made
    // fails when its output is reserved.
    QDir().mkpath(folder);
    name = PathInFolder(folder, source);
  }
  // The name is taken at once (created empty), so that neither a file that
  // appears meanwhile nor another row's output is ever written over.
  std::string reserved;
  std::string reason;
  if (!batch::ReserveOutput(name.toStdString(), ext.toStdString(), label.toStdString(), reserved,
                            reason)) {
    // Said as the engine says an output it cannot open, with the reason
    // the folder gives.
    const QString tried = QString::fromStdString(reserved);
    problem = tried.isEmpty() ? QString::fromStdString(reason)
                              : OutputProblem(tried, "Could not open '" + tried + "'");
    SetRowOutput(row, QString());
    return false;
  }
  const QString output = QString::fromStdString(reserved);

  // Every setting of the format: the record's fields, and the pixel format,
  // the rate cap, the codec tag and the encoder's own options (constant
  // quality, speed) as free option lines.
  TOutputOptions record;
  output::ApplyOutputSettings(settings, record);
  // A picture the format changes (an odd size) is said in the row's "Done".
  lvFiles->item(row, kColumnSource)
      ->setData(rows::kNoteRole, QString::fromStdString(settings.Note));

  SetRowOutput(row, output);
  return VexAVC().SetOutputFile(index, output.toStdString(), &record);
}

bool TfrmMain::StartRun() {
  // A Convert right after Stop may come before the stopped run's final
  // notice has been raised; the component starts nothing until it has.
  // Handlers never wait for this thread, so the wait is short.
  for (int waited = 0; !FFinalRaised.load() && waited < 10000; waited += 10) QThread::msleep(10);
  FFinalRaised = false;
  ++FRun;
  FRunClock.start();
  BeginOverall();
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
  btnAddFolder->setEnabled(enabled);
  mnuAddFiles->setEnabled(enabled);
  mnuAddFolder->setEnabled(enabled);
  selFormat->setEnabled(enabled);
  selSize->setEnabled(enabled);
  chkSameFolder->setEnabled(enabled);
  spinJobs->setEnabled(enabled);
  btnConvert->setEnabled(true);
  // The folder controls follow the same-folder box.
  chkSameFolderClick();
  UpdateListActions();
}

void TfrmMain::EnterIdle(const char* suffix) {
  FConverting = false;
  SetCaption(Text(suffix));
  btnConvert->setText(Text(kConvertCaption));
  SetControlsEnabled(true);
}

void TfrmMain::AddRunFailure(int row, const QString& reason) {
  RunFailures.append(RowPath(row) + QStringLiteral(": ") + reason);
}

bool TfrmMain::ChooseRowsToConvert(const QString& formatText, std::vector<int>& rowsToLoad) {
  rowsToLoad.clear();
  bool anyDone = false;
  for (int row = 0; row < lvFiles->rowCount(); ++row) {
    if (StatusText(row) == Text(kStatusDone))
      anyDone = true;
    else if (FStopPressed)
      rowsToLoad.push_back(row);
  }
  // After a stop, the files that are not done (stopped, canceled, failed)
  // convert, and the done ones keep their outputs. Otherwise, and when
  // every file is done, the whole list converts again, which is asked
  // first when files were converted to this format already.
  bool ask = false;
  if (rowsToLoad.empty()) {
    ask = anyDone && (FStopPressed || (formatText == FLastFormat && MaxHeight() == FLastMaxHeight));
    for (int row = 0; row < lvFiles->rowCount(); ++row) rowsToLoad.push_back(row);
  }
  // A size limit is part of what the files were converted to.
  const QString target = MaxHeight() > 0
                             ? formatText + QStringLiteral(", ") + SizeLimitCaption(MaxHeight())
                             : formatText;
  return !ask ||
         Dialogs.AskYesNo(this, Text(kInformation),
                          QStringLiteral("File(s) from the list was already converted to "
                                         "this format\n") +
                              target + u'\n' + QStringLiteral("Do you wish to convert agin?"));
}

void TfrmMain::PrepareTasks(const QString& formatText) {
  // Each task once: a removed task's successors move down into its index.
  for (int index = 0; index < VexAVC().TaskCount();) {
    QString problem;
    if (PrepareTask(index, formatText, problem)) {
      btnConvert->setFocus();
      ++index;
      continue;
    }
    const int row = RowOfTask(index);
    const QString engineError = QString::fromStdString(VexAVC().LastError());
    VexAVC().RemoveTask(index);
    if (index < static_cast<int>(TaskRows.size())) TaskRows.erase(TaskRows.begin() + index);
    if (row < 0) continue;
    // The output was reserved before the task failed to take it: what is
    // there now is this run's.
    const QString output = lvFiles->item(row, kColumnSource)->data(rows::kOutputRole).toString();
    const QString error = problem.isEmpty() ? OutputProblem(output, engineError) : problem;
    const QFileInfo file(output);
    if (!output.isEmpty() && file.isFile() && !file.isSymLink()) QFile::remove(output);
    SetRowOutput(row, QString());
    SetRowStatus(row, Text(kStatusFailed), error);
    AddRunFailure(row, error);
  }
}

void TfrmMain::btnConvertClick() {
  if (FConverting) {
    if (FStopPressed) return;
    FStopPressed = true;
    VexAVC().Stop();
    // The run ends with its final notice, once every file has written its
    // end; until then there is nothing more to press. A paused run ends the
    // same way: its waiting files are canceled.
    btnConvert->setEnabled(false);
    btnPause->setEnabled(false);
    FPaused = false;
    UpdateOverall();
    return;
  }
  ConvertRows(nullptr);
}

void TfrmMain::ConvertRows(const std::vector<int>* chosen) {
  if (FConverting || !LoadLibraries()) return;
  if (lvFiles->rowCount() == 0) {
    Dialogs.Information(this, Text(kInformation), QStringLiteral("Please choose a file."));
    VexAVC().ClearTasks();
    TaskRows.clear();
    FStopPressed = false;
    btnOpen->setFocus();
    return;
  }
  // A format whose encoders the libraries lack is refused before anything
  // is made or written: every file would fail the same way.
  if (const QString reason = FormatUnavailable(selFormat->currentText()); !reason.isEmpty()) {
    QString because = reason;
    because.remove(QRegularExpression(QStringLiteral("^unavailable: ")));
    Dialogs.Warning(this, Text(kFormatUnavailable).arg(selFormat->currentText(), because));
    selFormat->setFocus();
    return;
  }
  // One output folder for every file: when it cannot be made or written
  // into, no file can start, and that is said once.
  if (!chkSameFolder->isChecked()) {
    // A typed folder is taken as the path it names ("~" is the home folder).
    const QString folder = TypedOutputFolder(txtOutput->text(), FHomeFolder);
    if (folder.isEmpty()) {
      Dialogs.Warning(this, QStringLiteral("Type or choose an output folder."));
      txtOutput->setFocus();
      return;
    }
    if (folder != txtOutput->text()) txtOutput->setText(folder);
    if (const QString problem = PrepareOutputFolder(folder); !problem.isEmpty()) {
      Dialogs.Warning(
          this, QStringLiteral("The output folder %1 cannot be used: %2.").arg(folder, problem));
      txtOutput->setFocus();
      return;
    }
  }

  const QString formatText = selFormat->currentText();
  std::vector<int> runRows;
  if (chosen) {
    // Exactly these rows (Retry Failed, Convert Remaining); the others keep
    // what they have.
    runRows = *chosen;
    VexAVC().ClearTasks();
    FStopPressed = false;
    RunFailures.clear();
    DoLoadFromList(runRows, RunFailures);
  } else if (VexAVC().TaskCount() == 0 || FStopPressed || !TasksInRowOrder()) {
    // Tasks are made again in the rows' order when rows were moved since.
    if (!ChooseRowsToConvert(formatText, runRows)) return;
    VexAVC().ClearTasks();
    FStopPressed = false;
    RunFailures.clear();
    DoLoadFromList(runRows, RunFailures);
  } else {
    RunFailures.clear();
    for (const int row : TaskRows)
      if (row >= 0) runRows.push_back(row);
  }
  RunRows = runRows;
  PrepareTasks(formatText);

  if (VexAVC().TaskCount() == 0) {
    // Nothing can start, so nothing waits behind the message; the rows say
    // the same, each with its reason.
    if (!RunFailures.isEmpty()) Dialogs.Warning(this, ErrorFoundText(RunFailures));
    EnterIdle(kCaptionReady);
    return;
  }
  if (!StartRun()) {
    const QString error = QString::fromStdString(VexAVC().LastError());
    // Nothing ran: the outputs made for the tasks go with them.
    VexAVC().ClearTasks();
    for (const int row : TaskRows) {
      RemoveEmptyOutput(row);
      SetRowOutput(row, QString());
    }
    TaskRows.clear();
    Dialogs.Warning(this, ErrorFoundText({error}));
    EnterIdle(kCaptionReady);
    return;
  }
  // Files that could not start are in their rows now, and in the summary at
  // the run's end: no message holds up the files that can convert.
  FStopPressed = false;
  FConverting = true;
  SetCaption(Text(kCaptionConverting));
  SetControlsEnabled(false);
  btnConvert->setText(Text(kStopCaption));
  btnPause->setEnabled(true);
  UpdateOverall();
  // The share done joins the title with the first progress report.
  SetCaption(Text(kCaptionConverting));
}

// ---- Notices --------------------------------------------------------------------

void TfrmMain::VexAVCProgress(int AIndex, const TRunProgress& AProgress) {
  const int run = FRun.load();
  const qint64 current = AProgress.CurrentDurationMs;
  const qint64 total = AProgress.TotalOutputDurationMs;
  QMetaObject::invokeMethod(
      this, [this, run, AIndex, current, total] { ApplyProgress(run, AIndex, current, total); },
      Qt::QueuedConnection);
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

void TfrmMain::ApplyProgress(int run, int index, qint64 current, qint64 total) {
  // After Stop the rows wait for their terminations, which mark them.
  if (run != FRun.load() || FStopPressed) return;
  const int row = RowOfTask(index);
  if (row < 0) return;
  const std::optional<int> percent = ProgressPercent(current, total);
  SetRowStatus(row, percent ? ProgressCellText(*percent) : ConvertingCellText());

  if (!FRunClock.isValid()) FRunClock.start();
  QTableWidgetItem* source = lvFiles->item(row, kColumnSource);
  const bool starting = !source->data(rows::kStartedRole).isValid();
  if (starting) source->setData(rows::kStartedRole, FRunClock.elapsed());
  source->setData(rows::kCurrentRole, current);
  source->setData(rows::kTotalRole, total);
  const qint64 elapsed = FRunClock.elapsed() - source->data(rows::kStartedRole).toLongLong();
  const std::optional<qint64> left =
      total > 0 ? TimeLeft(elapsed, static_cast<double>(current) / static_cast<double>(total))
                : std::nullopt;
  SetRowTime(row, ConvertingTimeText(elapsed, left));

  FTally.Progress(index, current, total);
  if (starting) FollowRow(row);
  UpdateOverall();
}

void TfrmMain::RemoveEmptyOutput(int row) {
  const QString output = lvFiles->item(row, kColumnSource)->data(rows::kOutputRole).toString();
  if (output.isEmpty()) return;
  const QFileInfo file(output);
  if (file.isFile() && !file.isSymLink() && file.size() == 0) QFile::remove(output);
  // The row names no output that is not there (a failed run's goes with it).
  if (!QFileInfo::exists(output)) SetRowOutput(row, QString());
}

void TfrmMain::KeepStoppedOutput(int row) {
  QTableWidgetItem* source = lvFiles->item(row, kColumnSource);
  const QString output = source->data(rows::kOutputRole).toString();
  std::string error;
  const QString kept =
      output.isEmpty() ? QString()
                       : QString::fromStdString(output::KeepAsPartial(output.toStdString(), error));
  if (kept.isEmpty()) {
    // Nothing was converted (the empty file is gone), or the rename failed
    // and the output keeps its own name; the row says so.
    const bool left = !output.isEmpty() && QFileInfo::exists(output);
    if (!left) SetRowOutput(row, QString());
    SetRowStatus(row, Text(kStatusCanceled),
                 left ? QStringLiteral("Stopped; not renamed: ") + QString::fromStdString(error)
                      : QString());
    return;
  }
  const qint64 current = source->data(rows::kCurrentRole).toLongLong();
  const qint64 total = source->data(rows::kTotalRole).toLongLong();
  const std::optional<int> percent = ProgressPercent(current, total);
  SetRowOutput(row, kept);
  source->setData(rows::kOpenableRole, true);
  QString covers = QStringLiteral("Kept what was converted");
  if (total > 0)
    covers =
        QStringLiteral("Kept %1 of %2 of the source").arg(ClockText(current), ClockText(total));
  SetRowStatus(row, StoppedStatusText(percent), covers + QStringLiteral(" as ") + kept);
}

void TfrmMain::ApplyTerminate(int run, int index, bool finished, bool exception,
                              const QString& message) {
  if (run != FRun.load()) return;
  if (index == -1) {
    FinishRun();
    return;
  }
  const int row = RowOfTask(index);
  if (row < 0) return;
  QTableWidgetItem* source = lvFiles->item(row, kColumnSource);
  const QVariant started = source->data(rows::kStartedRole);
  if (started.isValid() && FRunClock.isValid())
    SetRowTime(row, ClockText(FRunClock.elapsed() - started.toLongLong()));
  else
    SetRowTime(row, QString());
  if (exception) {
    SetRowStatus(row, Text(kStatusFailed), message);
    AddRunFailure(row, message);
    RemoveEmptyOutput(row);
  } else if (finished) {
    SetRowStatus(row, Text(kStatusDone), source->data(rows::kNoteRole).toString());
    source->setData(rows::kOpenableRole, true);
  } else {
    KeepStoppedOutput(row);
  }
  FTally.Ended(index, exception);
  UpdateOverall();
}

QString TfrmMain::OutputFolderOfRun() const {
  if (!chkSameFolder->isChecked()) return txtOutput->text();
  for (int row = 0; row < lvFiles->rowCount(); ++row) {
    const QTableWidgetItem* source = lvFiles->item(row, kColumnSource);
    if (source->data(rows::kOpenableRole).toBool())
      return QFileInfo(source->data(rows::kOutputRole).toString()).absolutePath();
  }
  return QString();
}

void TfrmMain::FinishRun() {
  const bool stopped = FStopPressed;
  TRunCounts counts;
  bool written = false;
  // The rows of this run only: done files kept from before a stop are not
  // counted again.
  for (const int row : RunRows) {
    if (row < 0 || row >= lvFiles->rowCount()) continue;
    const QString status = StatusText(row);
    if (status == Text(kStatusDone)) {
      ++counts.Converted;
      written = true;
      continue;
    }
    if (IsStoppedText(status)) {
      ++counts.Stopped;
      written = true;
      continue;
    }
    if (status == Text(kStatusFailed)) {
      ++counts.Failed;
    } else {
      // Never started, or stopped before anything was written.
      if (status != Text(kStatusCanceled)) SetRowStatus(row, Text(kStatusCanceled));
      ++counts.Canceled;
    }
    // A file that did not run leaves no empty output behind.
    RemoveEmptyOutput(row);
  }
  const qint64 elapsed = FRunClock.isValid() ? FRunClock.elapsed() : 0;
  if (stopped) {
    EnterIdle(kCaptionCanceled);
  } else {
    EnterIdle(kCaptionDone);
    VexAVC().ClearTasks();
    TaskRows.clear();
    FLastFormat = selFormat->currentText();
    FLastMaxHeight = MaxHeight();
  }
  EndOverall(RunSummaryText(counts, elapsed));
  emit runEnded();

  if (FCloseWhenStopped) {
    // Stop was chosen to quit: the outputs are complete now.
    FCloseWhenStopped = false;
    close();
    return;
  }
  // The files that could not start or failed are named here, once the run
  // is over, with the same words their rows show.
  QString summary = RunSummaryText(counts, elapsed);
  if (!RunFailures.isEmpty()) summary += QStringLiteral("\n\n") + ErrorFoundText(RunFailures);
  if (!isActiveWindow()) Dialogs.Notify(Title(), summary);
  const QString folder = OutputFolderOfRun();
  if (Dialogs.Summary(this, summary, written && !folder.isEmpty(), counts.Failed > 0) &&
      !Dialogs.OpenUrl(QUrl::fromLocalFile(folder)))
    Dialogs.Warning(this, QStringLiteral("No file manager could open %1.").arg(folder));
}

}  // namespace vexav
