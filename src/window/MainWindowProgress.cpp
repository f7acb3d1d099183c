// The main window's view of a whole run: the status bar at its bottom, the
// share done in its title, the bar on the desktop's dock, and the list
// keeping the converting rows in view.
#include <QGridLayout>
#include <QLabel>
#include <QPushButton>
#include <QScrollBar>
#include <QStatusBar>
#include <QTableWidget>
#include <algorithm>
#include <mutex>

#include "component/TaskList.h"
#include "window/Controls.h"
#include "window/MainWindow.h"
#include "window/MainWindowRows.h"
#include "window/StatusCell.h"

namespace vexav {

namespace {

// A task's source length in milliseconds, from its probe: the longer of its
// first video and audio streams; 0 when neither says.
qint64 SourceLengthMs(TAVProbe* probe) {
  if (!probe) return 0;
  qint64 us = 0;
  if (probe->VideoStreamCount() > 0) {
    TVideoStreamInfo video;
    probe->GetDefaultVideoInfo(video);
    us = std::max<qint64>(us, video.DurationUs);
  }
  if (probe->AudioStreamCount() > 0) {
    TAudioStreamInfo audio;
    probe->GetDefaultAudioInfo(audio);
    us = std::max<qint64>(us, audio.DurationUs);
  }
  return us > 0 ? us / 1000 : 0;
}

bool IsConvertingCell(const QString& status) {
  return ParseStatusCell(status).Kind != TStatusCell::TKind::Text;
}

}  // namespace

void TfrmMain::BuildRunControls(QGridLayout* grid, QLayout* root) {
  btnPause = new QPushButton(QStringLiteral("&Pause"), this);
  btnPause->setObjectName(QStringLiteral("btnPause"));
  btnPause->setMinimumWidth(100);
  btnPause->setAutoDefault(true);
  btnPause->setToolTip(
      QStringLiteral("Let the running files finish and start no new one, until Resume"));
  btnPause->setEnabled(false);
  connect(btnPause, &QPushButton::clicked, this, &TfrmMain::btnPauseClick);
  // Under Convert, beside the size box.
  grid->addWidget(btnPause, 3, 4);
  setTabOrder(btnConvert, btnPause);

  auto* bar = new QStatusBar(this);
  bar->setObjectName(QStringLiteral("sbStatus"));
  bar->setSizeGripEnabled(false);
  // In line with the controls above it.
  bar->setContentsMargins(10, 0, 10, 2);
  lblOverall = new QLabel(this);
  lblOverall->setObjectName(QStringLiteral("lblOverall"));
  lblOverall->setTextInteractionFlags(Qt::NoTextInteraction);
  bar->addWidget(lblOverall, 1);
  root->addWidget(bar);
  lblOverall->setText(ListedFilesText(0));

  // Idle, the status bar counts the files listed; a run's summary stays
  // until the list changes.
  auto listChanged = [this] {
    if (FConverting) return;
    FIdleText.clear();
    lblOverall->setText(ListedFilesText(lvFiles->rowCount()));
  };
  connect(lvFiles->model(), &QAbstractItemModel::rowsInserted, this, listChanged);
  connect(lvFiles->model(), &QAbstractItemModel::rowsRemoved, this, listChanged);
  connect(lvFiles->verticalScrollBar(), &QScrollBar::valueChanged, this, &TfrmMain::ListScrolled);
}

QString TfrmMain::OverallText() const {
  return lblOverall->text();
}

void TfrmMain::BeginOverall() {
  // Read before the run starts: a task's probe is not to be used while it
  // runs. Rows that could not start count as ended.
  std::vector<qint64> lengths;
  for (int index = 0; index < VexAVC().TaskCount(); ++index)
    lengths.push_back(SourceLengthMs(VexAVC().TaskProbe(index)));
  const int tasks = static_cast<int>(lengths.size());
  FTally.Begin(lengths, std::max(0, static_cast<int>(RunRows.size()) - tasks));
  // A row converted again starts afresh: its start (which also tells when
  // it begins converting) and its last report belong to the earlier run.
  for (const int row : RunRows) {
    QTableWidgetItem* source = lvFiles->item(row, kColumnSource);
    if (!source) continue;
    source->setData(rows::kStartedRole, QVariant());
    source->setData(rows::kCurrentRole, QVariant());
    source->setData(rows::kTotalRole, QVariant());
  }
  FPaused = false;
  FActiveBankMs = 0;
  FActiveClock.start();
  // Each run follows the work again, from where the list stands.
  FFollowing = true;
  FFollowValue = lvFiles->verticalScrollBar()->value();
}

qint64 TfrmMain::ActiveMs() const {
  return FActiveBankMs + (FActiveClock.isValid() ? FActiveClock.elapsed() : 0);
}

int TfrmMain::RunningFiles() const {
  // Tasks the component has taken from its queue whose ends have not reached
  // the rows yet. A paused queue takes none, so the count only falls.
  int taken = 0;
  {
    std::lock_guard<TComponentLock> hold(FConverter->Lock());
    taken = FConverter->NextTask();
  }
  return std::max(0, taken - FTally.EndedTasks());
}

void TfrmMain::UpdateOverall() {
  if (!FConverting) return;
  const bool running = !FPaused || RunningFiles() > 0;
  // A paused run with nothing converting does not count towards the rate.
  if (!running && FActiveClock.isValid()) {
    FActiveBankMs += FActiveClock.elapsed();
    FActiveClock.invalidate();
  } else if (running && !FActiveClock.isValid()) {
    FActiveClock.start();
  }
  const TOverallEstimate estimate = EstimateOverall(FTally.DoneMs(), FTally.TotalMs(), ActiveMs());
  const int ended = FTally.EndedFiles();
  const int files = FTally.Files();
  const int failed = FTally.FailedFiles();
  if (FStopPressed)
    lblOverall->setText(QStringLiteral("Stopping: ") + OverallRunText(ended, files, failed, {}));
  else if (FPaused)
    lblOverall->setText(OverallPausedText(ended, files, failed, estimate, running));
  else
    lblOverall->setText(OverallRunText(ended, files, failed, estimate));
  const char* suffix = FPaused && !running ? kCaptionPaused : kCaptionConverting;
  setWindowTitle(OverallTitlePrefix(estimate) + Title() + QString::fromUtf8(suffix));
  FDock.Show(estimate.Fraction);
}

void TfrmMain::EndOverall(const QString& summaryLine) {
  FPaused = false;
  FActiveClock.invalidate();
  btnPause->setText(QStringLiteral("&Pause"));
  btnPause->setEnabled(false);
  FDock.Hide();
  FIdleText = summaryLine;
  lblOverall->setText(summaryLine);
}

void TfrmMain::FollowRow(int row) {
  QScrollBar* scroll = lvFiles->verticalScrollBar();
  // The list moved since it was last moved for a row: the user scrolled
  // it, and the rows are left where the user put them.
  if (FFollowing && FFollowValue >= 0 && scroll->value() != FFollowValue) FFollowing = false;
  if (!FFollowing) return;
  QTableWidgetItem* item = lvFiles->item(row, kColumnSource);
  if (!item) return;
  FFollowValue = -1;  // the scroll below is the window's own
  lvFiles->scrollToItem(item, QAbstractItemView::EnsureVisible);
  FFollowValue = scroll->value();
}

void TfrmMain::ListScrolled(int value) {
  if (!FConverting || FFollowValue < 0) return;  // not a user's scroll
  if (FFollowing || value == FFollowValue) return;
  // Following again once the user brings a converting row into view.
  const QRect view = lvFiles->viewport()->rect();
  for (int row = 0; row < lvFiles->rowCount(); ++row) {
    if (!IsConvertingCell(StatusText(row))) continue;
    const QTableWidgetItem* item = lvFiles->item(row, kColumnSource);
    if (item && view.intersects(lvFiles->visualItemRect(item))) {
      FFollowing = true;
      FFollowValue = value;
      return;
    }
  }
}

}  // namespace vexav
