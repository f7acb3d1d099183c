// The converter's main window, TfrmMain: a list of source files, one
// converter component (VexAVC) whose tasks mirror the listed files, the
// output folder and format, and the run: Convert prepares one output per
// task and starts the component; each task's progress, times and end show in
// its row; Stop ends the run, keeping what was converted under a "(partial)"
// name; one summary closes the run. A file that cannot start does not hold
// up the others: its row says why, and the summary names it.
//
// Convert after a stop converts what is not done and keeps what is; done
// files are converted again only when the user agrees.
//
// The code is split by responsibility: MainWindow.cpp (construction,
// settings, window events, folder controls), MainWindowLayout.cpp (the
// controls and their keyboard order), MainWindowList.cpp (adding, removing
// and reloading rows), QueueActions.cpp (retrying, clearing the done rows,
// moving and sorting rows) and MainWindowRun.cpp (Convert, Stop, the notices
// and the summary).
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

#include <QElapsedTimer>
#include <QString>
#include <QStringList>
#include <QWidget>
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "component/VexAVConverter.h"
#include "window/DockProgress.h"
#include "window/OverallProgress.h"

class QAction;
class QCheckBox;
class QComboBox;
class QGridLayout;
class QLabel;
class QPushButton;
class QSpinBox;

namespace vexav {

class TBannerImage;
class TFileList;
class TOutputEdit;
class TWindowDialogs;

// Where the window finds its files; empty values take the running program's.
struct TMainWindowSetup {
  // The folder of the media libraries' folder "lib", and of a portable
  // config.ini; empty: the executable's folder.
  QString AppFolder;
  // The folder under which the default output folder "KorvelVideo" lies;
  // empty: the user's home folder.
  QString HomeFolder;
  // Whether the media libraries have the encoder of this name, which says
  // the formats that can be converted to; empty: ask the bound libraries.
  std::function<bool(const char*)> HasEncoder = nullptr;
};

// What Convert says when the selected format's encoders are missing: %1 is
// the format's item text, %2 the reason ("the media libraries have no ...").
inline constexpr char kFormatUnavailable[] =
    "The output format %1 is unavailable: %2. Choose another format.";

// What the window says, once, when config.ini cannot be written at close.
inline constexpr char kConfigNotSaved[] = "The settings could not be saved in %1: %2.";

// The caption suffixes.
inline constexpr char kCaptionReady[] = " [Ready]";
inline constexpr char kCaptionConverting[] = " [Converting...]";
inline constexpr char kCaptionDone[] = " [Done]";
inline constexpr char kCaptionCanceled[] = " [Job Canceled]";

// The list's columns. Source takes the spare width.
inline constexpr int kColumnSource = 0;
inline constexpr int kColumnStatus = 1;
inline constexpr int kColumnTime = 2;    // elapsed and left while converting, then the time taken
inline constexpr int kColumnOutput = 3;  // the file written (its full path as the tooltip)
inline constexpr int kColumnPath = 4;
// Why a row failed, was stopped or changed (the Status tooltip's text);
// shown after Status, and only while a row has such a note.
inline constexpr int kColumnNote = 5;
inline constexpr int kColumnCount = 6;

// The Note of a row canceled before anything of it was converted.
inline constexpr char kNotStartedNote[] = "Nothing converted: the run was stopped";

// The question asked when the window is closed during a run.
inline constexpr char kStopAndQuitQuestion[] = "A conversion is running. Stop it and quit?";
// The same when the run is paused.
inline constexpr char kPausedStopAndQuitQuestion[] = "A conversion is paused. Stop it and quit?";
// The caption suffix once a paused run has no file converting.
inline constexpr char kCaptionPaused[] = " [Paused]";

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
  QAction* mnuAddFolder;
  QAction* mnuRemove;  // also the Delete key
  QAction* mnuClear;
  QLabel* lblOutput;
  TOutputEdit* txtOutput;
  QPushButton* btnFolderChange;
  QPushButton* btnBrowse;
  QCheckBox* chkSameFolder;
  QLabel* lblFormat;
  QComboBox* selFormat;
  QLabel* lblSize;
  // "Picture Size": keep the source's, or at most so many lines (each item's
  // data is its limit, one of kSizeLimits).
  QComboBox* selSize;
  QLabel* lblJobs;
  QSpinBox* spinJobs;  // "Parallel conversions"
  QPushButton* btnOpen;
  QPushButton* btnAddFolder;
  QPushButton* btnConvert;
  // The list's queue actions (pop-up menu and keys), idle only: the
  // selected rows one place up or down (Ctrl+Up, Ctrl+Down); convert the
  // failed rows again (Ctrl+R), the stopped and canceled ones (Ctrl+Shift+R);
  // remove the done rows (Ctrl+Shift+Delete).
  QAction* mnuMoveUp;
  QAction* mnuMoveDown;
  QAction* mnuRetryFailed;
  QAction* mnuConvertRemaining;
  QAction* mnuClearFinished;
  // "Pause" beside Convert, while converting: the running files finish and
  // nothing new starts; it then reads "Resume", which lets the run go on.
  QPushButton* btnPause;
  // The status bar at the window's bottom: the run's overall progress
  // ("7 of 23 done, 31%, about 4:12 left"), idle the last run's summary or
  // the number of files listed.
  QLabel* lblOverall;

  // The converter component (LogLevel llQuiet, ProgressInterval 100).
  TVexAVConverter& VexAVC() { return *FConverter; }

  // ---- State ----------------------------------------------------------------
  const QString& AppFolder() const { return FAppFolder; }  // with a trailing "/"
  // The settings file read at start and written at close: the one beside the
  // executable when there is one, else the user's own (UserConfigFile).
  const QString& ConfigFile() const { return FConfigFile; }
  static QString Title();
  bool StopPressed() const { return FStopPressed; }
  const QString& LastFormat() const { return FLastFormat; }
  // The size box's limit: at most this many lines, 0 for the source's size.
  int MaxHeight() const;
  // Selects the size box's item of this limit (one of kSizeLimits; any
  // other value selects "Keep source size").
  void SetMaxHeight(int lines);
  // Why the format of this item text cannot be converted to with the
  // libraries as they are (for example "unavailable: the media libraries
  // have no libx265 encoder"); empty when it can, or when no such format is
  // listed.
  QString FormatUnavailable(const QString& itemText) const;
  // Whether a run is in progress (btnConvert reads "Stop").
  bool Converting() const { return FConverting; }
  // How many files convert at once ("intJobs" of config.ini).
  int Jobs() const { return FJobs; }
  void SetJobs(int jobs);
  // An output folder or job count for this run of the program only (its
  // command line): shown and used, but config.ini keeps what it had unless
  // the user changes the value in the window.
  void SetOutputFolderForRun(const QString& folder);
  void SetJobsForRun(int jobs);
  // The same for the format (by its label, in any letter case; false when
  // no listed format has it) and the size limit (one of kSizeLimits).
  bool SetFormatForRun(const QString& label);
  void SetMaxHeightForRun(int lines);
  // The row that task index reports into, or -1.
  int RowOfTask(int index) const;
  // The Status text of a row.
  QString StatusText(int row) const;
  // The open dialog's filter: .avi (the dialog matches in any letter case),
  // then all files.
  static QString OpenFilter();
  // Whether the window may take this size.
  static bool CanResize(const QSize& size);
  // The run is paused (Pause pressed, not Resume or Stop since).
  bool Paused() const { return FPaused; }
  // The status bar's text.
  QString OverallText() const;
  // The run's progress on the desktop's dock.
  TDockProgress& Dock() { return FDock; }

 signals:
  // A row's Status cell changed to text (a plain text or a progress cell).
  void statusChanged(int row, const QString& text);
  // A run came to its end: finished (final notice) or stopped.
  void runEnded();

 public slots:
  // Asks for files with the open dialog and adds them (also the list's
  // "Add File(s)").
  void btnOpenClick();
  // Adds files as if chosen in the open dialog (also dropped files); a
  // folder adds the media files inside it, recursively, sorted by name.
  // Files that are not added are named, with the reason, in one message.
  void AddFiles(const QStringList& files);
  // Asks for a folder and adds the media files inside it.
  void btnAddFolderClick();
  // Removes the selected rows, and their tasks (idle only).
  void RemoveSelected();
  // Empties the list (idle only).
  void ClearList();
  // Convert, or Stop while converting.
  void btnConvertClick();
  void btnFolderChangeClick();
  void btnBrowseClick();
  void chkSameFolderClick();
  void Image1Click();
  // Opens the output of a finished (or partially kept) row.
  void OpenRowOutput(int row);
  // Converts the failed rows again, or the stopped and canceled ones: a run
  // of exactly those rows through Convert's own path (idle only).
  void RetryFailed();
  void ConvertRemaining();
  // Removes the done rows, keeping the others and their tasks (idle only).
  void ClearFinished();
  // Moves the selected rows one place up (step -1) or down (+1); the
  // selection follows them (idle only).
  void MoveSelected(int step);
  // Moves the given rows before the row at before (the end when past it),
  // as a drop within the list does (idle only).
  void MoveRowsBefore(const QList<int>& rows, int before);
  // Sorts the list by a column's texts, ascending, or descending when the
  // list is sorted ascending by it already (a click on its header; idle
  // only).
  void SortByColumn(int column);
  // Pause, or Resume while paused.
  void btnPauseClick();

 public:
  // The component's events (called on its worker threads).
  void VexAVCProgress(int AIndex, const TRunProgress& AProgress);
  void VexAVCTerminate(int AIndex, bool AFinished, bool AException, const std::string& AMessage);

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void BuildControls();
  void BuildList();
  void SetTabOrder();
  void ReadConfigFile();
  void WriteConfigFile();
  void SetCaption(const QString& suffix);
  bool LoadLibraries();
  // Marks the format box's rows that the bound libraries cannot encode:
  // disabled, with the reason as their tooltip; the others have their
  // description as tooltip.
  void MarkUnavailableFormats();
  // Empties the list and the tasks.
  void ClearAll();
  // Makes a task again for each of the given rows; files that cannot be
  // opened go into failures as "name: reason". Other rows are left as they
  // are.
  void DoLoadFromList(const std::vector<int>& rowsToLoad, QStringList& failures);
  // The rows a Convert after a finished or stopped run converts: after a
  // stop, those not done; otherwise (or when every row is done) all of
  // them, once the user has agreed to convert done files again. False when
  // the user said No.
  bool ChooseRowsToConvert(const QString& formatText, std::vector<int>& rowsToLoad);
  // The files to add: folders replaced by the media files inside them;
  // what cannot be listed goes into refused.
  QStringList ExpandFolders(const QStringList& paths, QStringList& refused);
  // Whether path is listed already.
  bool IsListed(const QString& path) const;
  void UpdateListActions();
  // Gives task index its output, reserved under a free name (the batch
  // layer's ReserveOutput); false when it cannot be, with problem set when
  // the reservation failed (else the component's LastError says why).
  bool PrepareTask(int index, const QString& formatText, QString& problem);
  // Starts the component on the prepared tasks.
  bool StartRun();
  void SetControlsEnabled(bool enabled);
  void EnterIdle(const char* suffix);
  void AddRow(const QString& path);
  QString RowPath(int row) const;
  void SetRowStatus(int row, const QString& text, const QString& toolTip = QString());
  void SetRowTime(int row, const QString& text);
  void SetRowOutput(int row, const QString& path);
  // Gives every task its output, removing the tasks whose output cannot be
  // set; their rows read "Failed" and they go into RunFailures.
  void PrepareTasks(const QString& formatText);
  // Files that could not start or failed: "path: reason", for the summary.
  void AddRunFailure(int row, const QString& reason);
  // The end of a run (its final notice): the window goes idle and the
  // summary is shown (or the window closes, when that was asked for).
  void FinishRun();
  // A stopped task's output: kept under a "(partial)" name, or removed when
  // empty; the row says which.
  void KeepStoppedOutput(int row);
  // The folder the summary's button opens.
  QString OutputFolderOfRun() const;
  // On the window's thread, in the order the notices came.
  void ApplyProgress(int run, int index, qint64 current, qint64 total);
  void ApplyTerminate(int run, int index, bool finished, bool exception, const QString& message);
  // Removes the output of a task that produced nothing.
  void RemoveEmptyOutput(int row);
  // The pop-up menu's queue actions and the header's sorting (BuildList).
  void BuildQueueActions();
  // Convert's path: checks, then a run of the chosen rows, or (null) of
  // the rows Convert takes.
  void ConvertRows(const std::vector<int>* chosen);
  // Whether the tasks follow the rows' order (rows moved or sorted since
  // the tasks were made do not).
  bool TasksInRowOrder() const;
  // The rows whose Status is Failed; those stopped or canceled; those done.
  std::vector<int> FailedRows() const;
  std::vector<int> RemainingRows() const;
  std::vector<int> DoneRows() const;
  // Removes rows and their tasks (idle only).
  void RemoveRows(std::vector<int> rows);
  // Puts the rows in a new order (RowOrder.h), keeping each task's row, the
  // run's rows and the selection with the rows they name.
  void ApplyRowOrder(const std::vector<int>& order);
  // The Note column shows while any row has a note.
  void UpdateNoteColumn();
  // No column's sort indicator: the rows were moved by hand, or are new.
  void ForgetSorting();
  // The run side's own part (MainWindowProgress.cpp, MainWindowPause.cpp):
  // the Pause button beside Convert and the status bar below everything.
  void BuildRunControls(QGridLayout* grid, QLayout* root);
  // A run started: the tally of its files' lengths, the status bar, the
  // list following the work, the Pause button.
  void BeginOverall();
  // The status bar, the title and the dock from the tally.
  void UpdateOverall();
  // The run ended (its summary line is shown idle).
  void EndOverall(const QString& summaryLine);
  // Brings a row that started converting into view, unless the user
  // scrolled away.
  void FollowRow(int row);
  // The user moved the list: following stops, or starts again when a
  // converting row is in view.
  void ListScrolled(int value);
  // Files that still convert in a paused run.
  int RunningFiles() const;
  // The question asked when the window is closed during a run.
  QString CloseQuestion() const;
  // Milliseconds the run has spent converting (a paused run with nothing
  // converting does not count).
  qint64 ActiveMs() const;

  TWindowDialogs& Dialogs;
  QString FAppFolder;
  QString FHomeFolder;
  QString FConfigFile;
  // A settings file that cannot be written is said once, not at every close.
  bool FConfigProblemSaid = false;
  bool FStopPressed = false;
  bool FConverting = false;
  bool FCentred = false;
  // Stop was chosen at close: the window closes once the run has ended.
  bool FCloseWhenStopped = false;
  // The values of config.ini, written back for values given for this run.
  bool FOutputForRun = false;
  bool FJobsForRun = false;
  bool FFormatForRun = false;
  bool FMaxHeightForRun = false;
  QString FSavedOutput;
  int FSavedJobs = 1;
  QString FSavedFormat;
  int FSavedMaxHeight = 0;
  // Started with each run: the run's length and each row's times.
  QElapsedTimer FRunClock;
  QString FLastFormat;
  // The size limit of the last run that completed.
  int FLastMaxHeight = 0;
  std::function<bool(const char*)> FHasEncoder;
  int FJobs = 1;
  // The row of each task, by task index.
  std::vector<int> TaskRows;
  // The rows the current (or last) run took up: its tasks' rows and those
  // that could not start. The summary counts these only.
  std::vector<int> RunRows;
  // The files of the run that could not start or failed, "path: reason".
  QStringList RunFailures;
  // Which run the notices being raised belong to.
  std::atomic<int> FRun{0};
  // The last run's final notice has been raised (no run is under way).
  std::atomic<bool> FFinalRaised{true};
  std::unique_ptr<TVexAVConverter> FConverter;
  // The column the list was last sorted by (-1: none since it was filled)
  // and its direction.
  int FSortColumn = -1;
  Qt::SortOrder FSortOrder = Qt::AscendingOrder;
  // The run's files, their lengths and what of them is converted.
  TRunTally FTally;
  TDockProgress FDock;
  bool FPaused = false;
  // The status bar's idle text after a run (its summary line).
  QString FIdleText;
  // The time spent converting: banked while paused with nothing running.
  QElapsedTimer FActiveClock;
  qint64 FActiveBankMs = 0;
  // The list follows the converting rows; the scroll position it set last.
  bool FFollowing = true;
  int FFollowValue = -1;
};

}  // namespace vexav
