// The main window's Pause: the files under way finish, no new one starts,
// and the button reads Resume until the run goes on. Stop keeps its meaning
// while paused.
#include <QPushButton>

#include "window/MainWindow.h"

namespace vexav {

void TfrmMain::btnPauseClick() {
  if (!FConverting || FStopPressed) return;
  if (!FPaused) {
    // Refused only when the run has just ended: its final notice is on its
    // way and ends the run in the window too.
    if (!VexAVC().Pause()) return;
    FPaused = true;
    btnPause->setText(QStringLiteral("&Resume"));
    btnPause->setToolTip(QStringLiteral("Go on with the files that wait"));
  } else {
    if (!VexAVC().Resume()) return;
    FPaused = false;
    btnPause->setText(QStringLiteral("&Pause"));
    btnPause->setToolTip(
        QStringLiteral("Let the running files finish and start no new one, until Resume"));
  }
  UpdateOverall();
}

QString TfrmMain::CloseQuestion() const {
  return QString::fromUtf8(FPaused ? kPausedStopAndQuitQuestion : kStopAndQuitQuestion);
}

}  // namespace vexav
