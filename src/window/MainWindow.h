// The converter's main window, TfrmMain: a list of source files, one
// converter component (VexAVC) whose tasks mirror the listed files, the
// output folder and format, and the run: Convert prepares one output per
// task and starts the component; each task's progress and end show in its
// row; Stop ends the run.
//
// Rows and tasks. Each task knows its row (TaskRows, by task index): a file
// that cannot be opened when the list is reloaded keeps its row, marked
// "Failed", but gets no task, and a task whose output cannot be set is
// removed with its entry, so every later notice still reaches its own row.
//
// Threads. The component raises its progress and termination events on its
// worker threads while holding its lock. The handlers only post plain values
// to the window's thread (queued calls), tagged with the run they belong to,
// and never wait for it; the window applies them in the order they came and
// drops those of an earlier run.
#pragma once

#include <QString>
#include <QStringList>
#include <QWidget>
#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "component/VexAVConverter.h"

class QAction;
class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;

namespace vexav {

class TBannerImage;
class TFileList;
class TOutputEdit;
class TWindowDialogs;

// Where the window finds its files; empty values take the running program's.
struct TMainWindowSetup {
  // The folder of config.ini and of the media libraries' folder "lib";
  // empty: the executable's folder.
  QString AppFolder;
  // The folder under which the default output folder "KorvelVideo" lies;
  // empty: the user's home folder.
  QString HomeFolder;
};

// The caption suffixes.
inline constexpr char kCaptionReady[] = " [Ready]";
inline constexpr char kCaptionConverting[] = " [Converting...]";
inline constexpr char kCaptionDone[] = " [Done]";
inline constexpr char kCaptionCanceled[] = " [Job Canceled]";

// The list's columns.
inline constexpr int kColumnSource = 0;
inline constexpr int kColumnStatus = 1;
inline constexpr int kColumnPath = 2;

// Sizes a user may not shrink the window to: width 630 or less, height 432
// or less.
inline constexpr int kRefusedWidth = 630;
inline constexpr int kRefusedHeight = 432;

class TfrmMain : public QWidget {
  Q_OBJECT
 public:
  explicit TfrmMain(TWindowDialogs& dialogs, const TMainWindowSetup& setup = {},
                    QWidget* parent = nullptr);
  // Ends a run that is still going (the component stops its tasks and waits
  // for them) before the controls go.
  ~TfrmMain() override;

  // ---- Controls -------------------------------------------------------------
  TBannerImage* Image1;
  TFileList* lvFiles;
  QAction* mnuAddFiles;
  QLabel* lblOutput;
  TOutputEdit* txtOutput;
  QPushButton* btnFolderChange;
  QPushButton* btnBrowse;
  QCheckBox* chkSameFolder;
  QLabel* lblFormat;
  QComboBox* selFormat;
  QPushButton* btnOpen;
  QPushButton* btnConvert;

  // The converter component (LogLevel llQuiet, ProgressInterval 100).
  TVexAVConverter& VexAVC() { return *FConverter; }

  // ---- State ----------------------------------------------------------------
  const QString& AppFolder() const { return FAppFolder; }  // with a trailing "/"
  static QString Title();
  bool StopPressed() const { return FStopPressed; }
  const QString& LastFormat() const { return FLastFormat; }
  // Whether a run is in progress (btnConvert reads "Stop").
  bool Converting() const { return FConverting; }
  // How many files convert at once ("intJobs" of config.ini).
  int Jobs() const { return FJobs; }
  void SetJobs(int jobs);
  // The row that task index reports into, or -1.
  int RowOfTask(int index) const;
  // The Status text of a row.
  QString StatusText(int row) const;
  // The open dialog's filter: .avi in any letter case, then all files.
  static QString OpenFilter();
  // Whether the window may take this size.
  static bool CanResize(const QSize& size);

 signals:
  // A row's Status cell changed to text (a plain text or a progress cell).
  void statusChanged(int row, const QString& text);
  // A run came to its end: finished (final notice) or stopped.
  void runEnded();

 public slots:
  // Asks for files with the open dialog and adds them (also the list's
  // "Add File(s)").
  void btnOpenClick();
  // Adds files as if chosen in the open dialog (also dropped files).
  void AddFiles(const QStringList& files);
  // Convert, or Stop while converting.
  void btnConvertClick();
  void btnFolderChangeClick();
  void btnBrowseClick();
  void chkSameFolderClick();
  void Image1Click();

 public:
  // The component's events (called on its worker threads).
  void VexAVCProgress(int AIndex, int AFrameNumber, int AFPS, int ACurrentDuration, float AQuality,
                      float ABitRate, int64_t ACurrentSize, int ATotalOutputDuration);
  void VexAVCTerminate(int AIndex, bool AFinished, bool AException, const std::string& AMessage);

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void BuildControls();
  void ReadConfigFile();
  void WriteConfigFile();
  void SetCaption(const QString& suffix);
  bool LoadLibraries();
  // Empties the list and the tasks.
  void ClearAll();
  // Makes a task for every listed file again.
  void DoLoadFromList();
  // Gives task index its output; false when it cannot be set.
  bool PrepareTask(int index, const QString& formatText);
  // Starts the component on the prepared tasks.
  bool StartRun();
  void SetControlsEnabled(bool enabled);
  void EnterIdle(const char* suffix);
  void AddRow(const QString& path);
  QString RowPath(int row) const;
  void SetRowStatus(int row, const QString& text, const QString& toolTip = QString());
  // On the window's thread, in the order the notices came.
  void ApplyProgress(int run, int index, const QString& cellText);
  void ApplyTerminate(int run, int index, bool finished, bool exception, const QString& message);
  // Removes the output of a task that produced nothing.
  void RemoveEmptyOutput(int row);

  TWindowDialogs& Dialogs;
  QString FAppFolder;
  QString FHomeFolder;
  bool FStopPressed = false;
  bool FConverting = false;
  bool FCentred = false;
  QString FLastFormat;
  int FJobs = 1;
  // The row of each task, by task index.
  std::vector<int> TaskRows;
  // Which run the notices being raised belong to.
  std::atomic<int> FRun{0};
  // The last run's final notice has been raised (no run is under way).
  std::atomic<bool> FFinalRaised{true};
  std::unique_ptr<TVexAVConverter> FConverter;
};

}  // namespace vexav
