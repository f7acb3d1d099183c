// The converter component: the programmable face of the conversion engine.
//
// A program adds one task per input file (AddInputFile, which opens the input
// at once), gives each task its output (SetOutputFile, which creates the
// output file and its streams at once), and starts the tasks (Start): one
// after another or several at once on worker threads, or one after another
// on its own thread. Progress, log lines, frame hooks and the end of every
// task come back through events tagged with the task's index; after the
// last task one more OnTerminate with index -1 ends the run.
//
// Threads. Every operation is called on the owner's thread (the thread that
// drives the component), never while tasks run, except Stop. In worker mode
// (Start(n), n > 0) the events are raised on the task's worker thread (or on
// a short-lived thread of the component or the engine), never on the
// owner's thread. In owner-thread mode (Start(0)) every task runs on the
// owner's thread from a one-shot 100 ms timer posted to the owner-thread
// dispatcher: by default the component's own TRunLoopDispatcher, which the
// owner pumps (RunLoop().RunUntil / ProcessFor / ProcessDue); a program with
// an event loop of its own hands its dispatcher to SetDispatcher instead.
//
// Locks. OnProgress, OnLog and OnTerminate are raised while the component's
// re-entrant Lock is held, so two events of one component never overlap and
// Stop never overlaps a dispatch. A handler must never wait for the owner's
// thread, and must not call Start or Stop. The hook events are raised
// without the lock. The lock order is: the process-wide list of live
// components (held by the library log capture), then a component's Lock.
// A handler must not log through the media libraries while it holds Lock.
//
// The final handler (index -1) may clear the task list, as may the handler
// of a task's own termination; operations that would free a task whose
// termination has not been delivered yet either wait for it (called from a
// thread that does not hold Lock) or refuse (from inside a handler). Tasks
// taken out of the list inside a handler are freed once the dispatch has
// released Lock.
//
// Library log lines go to the task that currently runs on the logging
// thread; where several tasks share a thread id (owner-thread mode) and none
// of them runs, to the one started last; lines of other threads carry -1.
// The component's own log level is process-wide, as is the library's: the
// component (or task) that set it last decides it for all.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// The component's interface names the task class TFFmpeg but needs nothing
// of the engine behind it, nor the media libraries' headers. Code of this
// project that uses a task's engine includes "component/TaskList.h" as well;
// the installed headers (include/vexav/..., libvexav) leave the task opaque.
// The includes are relative to this file, so that they hold there as in the
// source tree.
#include "../engine/HookAction.h"
#include "../engine/RunProgress.h"
#include "../engine/HookBitmap.h"  // THookBitmap, the custom hook's image, is part of this interface
#include "../engine/thread/ThreadTypes.h"
#include "AVProbe.h"
#include "Export.h"
#include "FFmpegList.h"
#include "OptionRecords.h"
#include "runtime/OwnerDispatcher.h"

struct AVFormatContext;

namespace vexav {

class TFFmpeg;
// The count of worker threads still running (engine/RunGate.h).
struct TRunGate;

// The component's log levels; the library's own level is derived from the
// ordinal minus one (-1 .. 3).
enum class TLogLevel { llQuiet, llError, llInfo, llDebug, llAll };
// Priorities of worker threads: tpIdle, tpLowest, tpLower, tpNormal.
using TConvertPriority = TThreadPriority;

// A numeric log level (-1 .. 3, the engine's and the library capture's) as
// a TLogLevel: below 0 llQuiet, 0 to 3 the level + 1, 4 and above llAll.
VEXAV_API TLogLevel LogLevelFromNumber(int Level);
// The numeric level of a TLogLevel: its ordinal minus one.
constexpr int LogLevelNumber(TLogLevel Level) { return static_cast<int>(Level) - 1; }

// The component's re-entrant lock. It knows which thread holds it, so that
// the component can tell a call from inside one of its own handlers.
class VEXAV_API TComponentLock {
 public:
  void lock();
  void unlock();
  bool try_lock();
  // Whether the calling thread holds the lock.
  bool HeldByCurrentThread() const;
  // How many times the calling thread holds it (0 when it does not).
  int Depth() const { return HeldByCurrentThread() ? FDepth : 0; }

 private:
  std::recursive_mutex FMutex;
  std::atomic<TThreadID> FOwner{0};
  int FDepth = 0;  // guarded by FMutex
};

// The base of the converter component: tasks, option records, running,
// events and the log capture client.
class VEXAV_API TCustomAVConverter {
 public:
  // ---- Event types ---------------------------------------------------------
  // Before each picture, when the task's record asked for it (BeforeHook):
  // whether the hook chain acts on it.
  using TBeforeHookEvent = std::function<void(int AIndex, int64_t APTS, THookAction& AHookAction)>;
  // Each picture as a 24-bit image, when the task's record asked for it
  // (CustomHook); clear AUpdate to leave the picture unchanged, set
  // AStopHook to stop calling.
  using TCustomHookEvent = std::function<void(int AIndex, THookBitmap& ABitmap, int AFrameNumber,
                                              int64_t APTS, bool& AUpdate, bool& AStopHook)>;
  // A log line of a task (AIndex -1: of no task).
  using TLogEvent = std::function<void(int AIndex, TLogLevel ALogLevel, const std::string& AMsg)>;
  // The engine's progress report, with the task's index: as one record
  // (OnTaskProgress), and as its fields one by one (OnProgress, the
  // original event, kept for the programs written against it). Both are
  // raised when both are set.
  using TTaskProgressEvent = std::function<void(int AIndex, const TRunProgress& AProgress)>;
  using TProgressEvent =
      std::function<void(int AIndex, int AFrameNumber, int AFPS, int ACurrentDuration, float AQuality,
                         float ABitRate, int64_t ACurrentSize, int ATotalOutputDuration)>;
  // The end of a task (AFinished: it reached its end without a stop;
  // AException with AMessage: an error ended it), and once more with AIndex
  // -1, true, false, "" at the end of the whole run.
  using TTerminateEvent =
      std::function<void(int AIndex, bool AFinished, bool AException, const std::string& AMessage)>;

  // Created with its probe, its task list and its lock, and entered in the
  // list of live components of the log capture.
  TCustomAVConverter();
  // Shuts the component down (Shutdown), then frees the tasks and the
  // probe. Not to be called from one of the component's own handlers.
  virtual ~TCustomAVConverter();
  TCustomAVConverter(const TCustomAVConverter&) = delete;
  TCustomAVConverter& operator=(const TCustomAVConverter&) = delete;

  // ---- Tasks ------------------------------------------------------------

  // Creates a task for FileName and opens its input: the index, or -1 with
  // LastError (the engine's text, or the message of an option error), the
  // list unchanged. An empty Options->FileName is filled with FileName (the
  // caller's record changes).
  int AddInputFile(const std::string& FileName, TInputOptions* Options = nullptr);
  // Gives task Index its output: the free option lines, the record's fields,
  // the target preset, the hook choice, then the output file and its streams
  // are created. False with LastError on failure; the task stays in the
  // list. An empty Options->FileName is filled with FileName.
  bool SetOutputFile(int Index, const std::string& FileName, TOutputOptions* Options = nullptr);
  // Frees task Index and renumbers the following ones. False (with
  // LastError) for an index outside the list, or when a task's termination
  // is still on its way and this is called from inside an event handler.
  bool RemoveTask(int Index);
  // Frees every task; LastError emptied; ThreadCount 0; no further task of a
  // run starts. Refused (LastError set) only from inside an event handler
  // while a task's termination is still on its way.
  void ClearTasks();
  int TaskCount() const { return FTasks.Count(); }
  // The task at Index, or nullptr. Its class, the engine's, is declared in
  // component/TaskList.h, which is not among the installed headers: there
  // a task is reached through the component (TaskProbe, the events).
  TFFmpeg* Task(int Index) const;
  // The probe of task Index (attached to its input once AddInputFile has
  // opened it), or nullptr outside the list. Not while the task runs.
  TAVProbe* TaskProbe(int Index) const;
  // The format context of the task's input file, or nullptr (outside the
  // list, or once its run has released the file). Not while the task runs.
  AVFormatContext* InputContext(int Index) const;
  TFFmpegList& Tasks() { return FTasks; }
  const TFFmpegList& Tasks() const { return FTasks; }

  // ---- Running ------------------------------------------------------------

  // Binds the media libraries from Folder (then the system's search path),
  // installs the library log capture and sets the library's level from
  // LogLevel. False with LastError holding the loader's text.
  bool LoadLibraries(const std::string& Folder, bool Versioned = true);
  // Runs every task of the list. ThreadCount > 0: that many at once, each on
  // a new worker thread, the next one started by each termination;
  // ThreadCount <= 0: one after another on the owner's thread, each from a
  // one-shot 100 ms timer. Tasks that cannot run (already run or stopped)
  // count as finished without a notice of their own; every Start ends with
  // exactly one final notice (index -1), also with an empty list. False,
  // with LastError, when the previous run still has a termination on its
  // way.
  bool Start(int ThreadCount);
  // Ends the run: no further task starts; a running task is asked to stop
  // (its end of run still follows in full); a task that never ran gets its
  // termination from a short-lived idle-priority thread. Waits for none of
  // them.
  void Stop();
  // Holds the queue of the run under way ("pause after the running
  // tasks"): the tasks that run go on to their end, with their notices, but
  // no further task starts, and the run does not end (no final notice) while
  // tasks wait to start. A task whose owner-thread timer was set but has not
  // fired yet waits too. When nothing waits any more (the last tasks were
  // running), the run ends as usual. Stop while held ends the waiting tasks
  // as Stop always does (each its termination, then the one final notice).
  // A new Start runs unheld. False, with LastError, when no run is under
  // way.
  bool Pause();
  // Lets a held run go on: as many tasks start as ThreadCount allows
  // beside those still running (in owner-thread mode the next one, from its
  // timer, once none runs); when nothing was left to start, the final notice
  // follows (never from inside this call). False, with LastError, when the
  // run is not held.
  bool Resume();
  // Whether the run's queue is held (Pause without Resume or Stop since).
  bool Held() const { return FHeld; }

  // ---- Properties -----------------------------------------------------------

  TLogLevel LogLevel() const { return FLogLevel; }
  // Stores the level; with the libraries bound, the library's level too.
  void SetLogLevel(TLogLevel Value);
  // Milliseconds between progress events; at least 100.
  int ProgressInterval() const { return FProgressInterval; }
  void SetProgressInterval(int Value);
  // Threads of each task's decoders and encoders (the engine's
  // SetThreadCount): 0 lets the libraries choose from the processor cores,
  // 1 to 64 that many. A task takes the value in force when AddInputFile
  // creates it, for its decoders and its encoders alike; tasks added before
  // a change keep theirs. Default 1, which suits several tasks at once (each
  // on a core of its own). False with LastError for a value outside 0..64,
  // which changes nothing.
  int CodecThreads() const { return FCodecThreads; }
  bool SetCodecThreads(int Value);
  TConvertPriority ThreadPriority() const { return FThreadPriority; }
  void SetThreadPriority(TConvertPriority Value) { FThreadPriority = Value; }
  const std::string& About() const { return FAbout; }
  void SetAbout(const std::string& Value) { FAbout = Value; }
  // The text of the last failed operation; only a failure overwrites it,
  // ClearTasks empties it.
  const std::string& LastError() const { return FLastError; }
  // The component's own probe.
  TAVProbe& Probe() { return *FProbe; }
  // The re-entrant lock held while events are raised.
  TComponentLock& Lock() { return FLock; }

  // Run state (read under Lock for a consistent view).
  int ThreadCount() const { return FThreadCount; }
  int NextTask() const { return FNextTask; }
  int PendingCount() const { return FPendingCount; }
  int FinishedCount() const { return FFinishedCount; }

  // The owner-thread dispatcher of Start(0): Dispatcher (not owned; it must
  // outlive the component's runs), or nullptr for the component's own run
  // loop.
  void SetDispatcher(TOwnerDispatcher* Dispatcher);
  TOwnerDispatcher& Dispatcher() { return FDispatcher ? *FDispatcher : *FRunLoop; }
  // The component's own run loop, which the owner pumps in owner-thread
  // mode unless it set a dispatcher of its own.
  TRunLoopDispatcher& RunLoop() { return *FRunLoop; }

  // ---- Events -----------------------------------------------------------------
  TBeforeHookEvent OnBeforeHook;
  TCustomHookEvent OnCustomHook;
  TLogEvent OnLog;
  TTaskProgressEvent OnTaskProgress;
  TProgressEvent OnProgress;
  TTerminateEvent OnTerminate;

  // Forgets the pending (unfinished) library log line of every thread.
  static void ClearLog();

 protected:
  // Leaves the live list of the log capture, asks running tasks to stop,
  // and waits until every termination that is on its way has arrived and
  // the component's own threads have ended; the tasks' events are then
  // unbound. No event is raised from its start on. Done once; the
  // destructors call it. A class that overrides a dispatcher calls it first
  // thing in its own destructor, so that no worker thread can reach the
  // dispatcher while the derived part is being destroyed.
  void Shutdown();

  // The event dispatchers, each raising its event with the task's index.
  // Hooks: on the task's thread, without Lock.
  virtual void DoTaskBeforeHook(TFFmpeg& Task, int64_t APTS, THookAction& AHookAction);
  virtual void DoTaskCustomHook(TFFmpeg& Task, THookBitmap& ABitmap, int AFrameNumber, int64_t APTS,
                                bool& AUpdate, bool& AStopHook);
  // Under Lock. Task nullptr: a line of no task (index -1).
  virtual void DoTaskLog(TFFmpeg* Task, int Level, const std::string& Text);
  virtual void DoTaskProgress(TFFmpeg& Task, const TRunProgress& AProgress);
  // The end of a task, under Lock: OnTerminate, the count, the next task or
  // the final notice.
  virtual void DoTaskTerminate(TFFmpeg& Task);

 private:
  // The component's entry in the list of live clients of the library log
  // capture.
  class VEXAV_LOCAL TLogClient;
  // The short-lived threads of the component itself (a start that the
  // engine would refuse at once, a final notice that may not be raised on
  // the owner's thread), counted in a run gate (the engine's TRunGate) so
  // that destruction waits for them.
  class VEXAV_LOCAL TWorkThread;
  // Holds Lock; when the outermost hold ends, the tasks taken out of the
  // list meanwhile are freed after the lock is released (freeing a task
  // closes its files, which may log through the media libraries, and that
  // must never happen under Lock).
  class VEXAV_LOCAL TEventScope;

  VEXAV_LOCAL void StartNext();
  VEXAV_LOCAL void RunTask(int I);
  VEXAV_LOCAL void RunTaskOnOwnerThread(int I);
  VEXAV_LOCAL void RunOnWorkThread(TFFmpeg* Task, const std::function<void()>& Work);
  // The final notice when every task is accounted for.
  VEXAV_LOCAL void FinishIfDone();
  VEXAV_LOCAL void DeliverFinal();
  // The same from Start or Stop: on a thread of the component in worker
  // mode, from a timer in owner-thread mode.
  VEXAV_LOCAL void DeliverFinalFromOutside();
  // A task still owes its termination notice.
  VEXAV_LOCAL static bool OwesNotice(const TFFmpeg& Task);
  VEXAV_LOCAL bool AnyNoticeOwed() const;
  // Waits (without Lock) until no task owes its notice, then runs Change
  // under Lock. False when waiting is impossible (this thread holds Lock).
  VEXAV_LOCAL bool WithoutOwedNotices(const std::function<void()>& Change);
  VEXAV_LOCAL void BindTaskEvents(TFFmpeg& Task);
  VEXAV_LOCAL void ApplyLibraryLogLevel();

  std::string FAbout;
  std::string FLastError;
  int FNextTask = 0;
  int FThreadCount = 0;
  int FCodecThreads = 1;
  // Read by the run on worker threads, so kept atomic.
  std::atomic<TLogLevel> FLogLevel{TLogLevel::llInfo};
  std::atomic<int> FProgressInterval{500};
  std::atomic<TConvertPriority> FThreadPriority{TConvertPriority::tpNormal};
  std::unique_ptr<TAVProbe> FProbe;
  TFFmpegList FTasks;
  mutable TComponentLock FLock;
  int FFinishedCount = 0;
  int FPendingCount = 0;
  // The final notice of the current run has been raised.
  bool FRunEnded = true;
  // No event goes out any more (destruction).
  std::atomic<bool> FClosing{false};
  // Shutdown has run.
  bool FShutDown = false;
  uint64_t FStartSequence = 0;
  // Tasks taken out of the list under Lock, freed once it is released.
  std::vector<std::unique_ptr<TFFmpeg>> FRetired;

  std::unique_ptr<TLogClient> FLogClient;
  TOwnerDispatcher* FDispatcher = nullptr;
  std::unique_ptr<TRunLoopDispatcher> FRunLoop;
  // Timers posted to the dispatcher hold it weakly: a timer that fires after
  // the component is gone does nothing.
  std::shared_ptr<int> FAlive;
  std::shared_ptr<TRunGate> FWorkGate;
  // Signalled whenever a termination notice reaches the component.
  std::mutex FNoticeMutex;
  std::condition_variable FNoticeArrived;
  // Pause: no task of the run starts until Resume (or Stop). Read by the
  // owner without the lock, so kept atomic.
  std::atomic<bool> FHeld{false};
  // Owner-thread timers set by StartNext that have not fired yet.
  int FQueuedStarts = 0;
};

// The component as programs use it.
class VEXAV_API TVexAVConverter : public TCustomAVConverter {
 public:
  TVexAVConverter() = default;
  ~TVexAVConverter() override;
  // The component's version.
  static std::string Version() { return "2.2"; }
};

}  // namespace vexav
