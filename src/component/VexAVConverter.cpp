#include "component/VexAVConverter.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <system_error>
#include <utility>

#include "binding/Api.h"
#include "binding/FFmpegLibs.h"
#include "binding/LogLevels.h"
#include "binding/Text.h"
#include "component/TaskList.h"
#include "engine/RunGate.h"
#include "component/runtime/LogCapture.h"

namespace vexav {
namespace {

constexpr const char* RunActiveText = "The previous run has not ended yet";
constexpr const char* NoRunText = "No run is under way";
constexpr const char* NotHeldText = "The run is not held";
constexpr const char* NoticeOwedText =
    "Tasks cannot be removed from an event handler while a termination is on its way";
// The delay of the owner-thread timer of Start(0), milliseconds.
constexpr int OwnerTimerMs = 100;

std::string IndexError(int Index) {
  return Format("List index out of bounds (%d)", Index);
}

}  // namespace

TLogLevel LogLevelFromNumber(int Level) {
  if (Level < 0) return TLogLevel::llQuiet;
  if (Level >= 4) return TLogLevel::llAll;
  return static_cast<TLogLevel>(Level + 1);
}

// ---- TComponentLock ----------------------------------------------------------

void TComponentLock::lock() {
  FMutex.lock();
  if (FDepth++ == 0) FOwner.store(CurrentThreadID(), std::memory_order_relaxed);
}

void TComponentLock::unlock() {
  if (--FDepth == 0) FOwner.store(0, std::memory_order_relaxed);
  FMutex.unlock();
}

bool TComponentLock::try_lock() {
  if (!FMutex.try_lock()) return false;
  if (FDepth++ == 0) FOwner.store(CurrentThreadID(), std::memory_order_relaxed);
  return true;
}

bool TComponentLock::HeldByCurrentThread() const {
  // Only the holder itself can find its own id here.
  return FOwner.load(std::memory_order_relaxed) == CurrentThreadID();
}

// ---- Component threads -----------------------------------------------------

class TCustomAVConverter::TWorkThread final : public TThread {
 public:
  TWorkThread(std::shared_ptr<TRunGate> Gate, TThreadPriority Priority, std::function<void()> Work)
      : TThread(Priority), FGate(std::move(Gate)), FWork(std::move(Work)) {
    FGate->Enter();
  }
  ~TWorkThread() override {
    FWork = nullptr;
    FGate->Leave();
  }

 protected:
  void Execute() override { FWork(); }

 private:
  std::shared_ptr<TRunGate> FGate;
  std::function<void()> FWork;
};

class TCustomAVConverter::TEventScope {
 public:
  explicit TEventScope(TCustomAVConverter& Owner) : FOwner(Owner) { FOwner.FLock.lock(); }
  ~TEventScope() {
    std::vector<std::unique_ptr<TFFmpeg>> Gone;
    if (FOwner.FLock.Depth() == 1) Gone.swap(FOwner.FRetired);
    FOwner.FLock.unlock();
    Gone.clear();
  }
  TEventScope(const TEventScope&) = delete;
  TEventScope& operator=(const TEventScope&) = delete;

 private:
  TCustomAVConverter& FOwner;
};

class TCustomAVConverter::TLogClient final : public TLogCaptureClient {
 public:
  explicit TLogClient(TCustomAVConverter& Owner) : FOwner(Owner) {}
  void CaptureLine(TThreadID ThreadId, int Level, const std::string& Line) override;

 private:
  TCustomAVConverter& FOwner;
};

// ---- Creation and destruction ----------------------------------------------------

TCustomAVConverter::TCustomAVConverter()
    : FProbe(std::make_unique<TAVProbe>()),
      FRunLoop(std::make_unique<TRunLoopDispatcher>()),
      FAlive(std::make_shared<int>(0)),
      FWorkGate(std::make_shared<TRunGate>()) {
  FLogClient = std::make_unique<TLogClient>(*this);
  RegisterLogCaptureClient(FLogClient.get());
}

TCustomAVConverter::~TCustomAVConverter() {
  Shutdown();
  std::vector<std::unique_ptr<TFFmpeg>> Gone;
  {
    TEventScope Scope(*this);
    Gone = FTasks.ExtractAll();
  }
  Gone.clear();
  FProbe.reset();
}

void TCustomAVConverter::Shutdown() {
  if (FShutDown) return;
  FShutDown = true;
  // No library line reaches the component once this returns, and timers
  // that fire later do nothing.
  UnregisterLogCaptureClient(FLogClient.get());
  FAlive.reset();
  {
    TEventScope Scope(*this);
    FClosing = true;
    FPendingCount = 0;
    for (int I = 0; I < FTasks.Count(); ++I) {
      TFFmpeg& Task = FTasks.Items(I);
      if (Task.FClaim == TFFmpeg::TClaim::Started && !Task.FNoticeDelivered) {
        Task.FStopAsked = true;
        Task.Stop();
      }
    }
  }
  // Terminations on their way still reach DoTaskTerminate (which raises no
  // event any more); so may the component's own threads.
  for (;;) {
    {
      TEventScope Scope(*this);
      if (!AnyNoticeOwed()) break;
    }
    std::unique_lock<std::mutex> Wait(FNoticeMutex);
    FNoticeArrived.wait_for(Wait, std::chrono::milliseconds(10));
  }
  FWorkGate->WaitIdle(-1);
  // No task runs: what is left of the tasks calls nothing of the component.
  TEventScope Scope(*this);
  for (int I = 0; I < FTasks.Count(); ++I) {
    TFFmpeg& Task = FTasks.Items(I);
    Task.OnLog = nullptr;
    Task.OnProgress = nullptr;
    Task.OnTerminate = nullptr;
    Task.OnCustomHook = nullptr;
    Task.OnBeforeHook = nullptr;
  }
}

// ---- Tasks -------------------------------------------------------------------------

void TCustomAVConverter::BindTaskEvents(TFFmpeg& Task) {
  Task.OnProgress = [this](TCustomFFmpeg& Sender, const TRunProgress& Progress) {
    DoTaskProgress(static_cast<TFFmpeg&>(Sender), Progress);
  };
  Task.OnTerminate = [this](TCustomFFmpeg& Sender) {
    DoTaskTerminate(static_cast<TFFmpeg&>(Sender));
  };
}

int TCustomAVConverter::AddInputFile(const std::string& FileName, TInputOptions* Options) {
  auto Task = std::make_unique<TFFmpeg>();
  try {
    // From here on the task's lines carry its index, -1 until it is added.
    Task->OnLog = [this](TCustomFFmpeg& Sender, int Level, const std::string& Text) {
      DoTaskLog(static_cast<TFFmpeg*>(&Sender), Level, Text);
    };
    Task->InitOptions();
    Task->SetVerbose(LogLevelNumber(FLogLevel));
    // Before the input is opened: its decoders take it there, the encoders
    // when SetOutputFile opens the output.
    Task->SetThreadCount(FCodecThreads);
    if (Options) {
      if (Options->FileName.empty()) Options->FileName = FileName;
      Task->InputOptions = *Options;
      Task->ApplyInputOptions(*Options);
    } else {
      ResetInputOptions(Task->InputOptions);
    }
    if (!Task->OpenInputFile(FileName)) {
      Task->OnLog = nullptr;
      FLastError = Task->LastError;
      return -1;
    }
    Task->Probe().Attach(Task->InputFiles[0].get());
    BindTaskEvents(*Task);
  } catch (const std::exception& Error) {
    Task->OnLog = nullptr;
    FLastError = Error.what();
    return -1;
  }
  TEventScope Scope(*this);
  return FTasks.Add(std::move(Task));
}

bool TCustomAVConverter::SetOutputFile(int Index, const std::string& FileName,
                                       TOutputOptions* Options) {
  TFFmpeg* Task = this->Task(Index);
  if (!Task) {
    FLastError = IndexError(Index);
    return false;
  }
  try {
    if (Options) {
      if (Options->FileName.empty()) Options->FileName = FileName;
      Task->OutputOptions = *Options;
      Task->ApplyOutputOptions(*Options);
      if (Options->CustomHook) {
        Task->OnCustomHook = [this](TCustomFFmpeg& Sender, THookBitmap& Bitmap, int FrameNumber,
                                    int64_t Pts, bool& Update, bool& StopHook) {
          DoTaskCustomHook(static_cast<TFFmpeg&>(Sender), Bitmap, FrameNumber, Pts, Update,
                           StopHook);
        };
      } else if (Options->BeforeHook) {
        Task->OnBeforeHook = [this](TCustomFFmpeg& Sender, int64_t Pts, THookAction& Action) {
          DoTaskBeforeHook(static_cast<TFFmpeg&>(Sender), Pts, Action);
        };
      } else {
        Task->SetHookRanges(ParseHookRanges(Options->HookRanges));
      }
    } else {
      ResetOutputOptions(Task->OutputOptions);
    }
    if (!Task->OpenOutputFile(FileName)) {
      FLastError = Task->LastError;
      return false;
    }
    return true;
  } catch (const std::exception& Error) {
    FLastError = Error.what();
    return false;
  }
}

bool TCustomAVConverter::SetCodecThreads(int Value) {
  try {
    // The engine's own check: the same range and the same message.
    TCustomFFmpeg::CheckThreadCount(Value);
  } catch (const std::exception& Error) {
    FLastError = Error.what();
    return false;
  }
  FCodecThreads = Value;
  return true;
}

bool TCustomAVConverter::RemoveTask(int Index) {
  bool Removed = false;
  const bool Done = WithoutOwedNotices([&] {
    if (Index < 0 || Index >= FTasks.Count()) return;
    FRetired.push_back(FTasks.Extract(Index));
    Removed = true;
  });
  if (!Done) {
    FLastError = NoticeOwedText;
    return false;
  }
  if (!Removed) FLastError = IndexError(Index);
  return Removed;
}

void TCustomAVConverter::ClearTasks() {
  const bool Done = WithoutOwedNotices([&] {
    for (auto& Task : FTasks.ExtractAll()) FRetired.push_back(std::move(Task));
    // A run that still had tasks to start starts none of them.
    FPendingCount = 0;
    FHeld = false;
    FLastError.clear();
    FThreadCount = 0;
  });
  if (!Done) FLastError = NoticeOwedText;
}

TFFmpeg* TCustomAVConverter::Task(int Index) const {
  return Index >= 0 && Index < FTasks.Count() ? &FTasks.Items(Index) : nullptr;
}

TAVProbe* TCustomAVConverter::TaskProbe(int Index) const {
  TFFmpeg* T = Task(Index);
  return T ? &T->Probe() : nullptr;
}

AVFormatContext* TCustomAVConverter::InputContext(int Index) const {
  const TFFmpeg* T = Task(Index);
  return T ? T->InputFiles[0].get() : nullptr;
}

bool TCustomAVConverter::OwesNotice(const TFFmpeg& Task) {
  return Task.FClaim != TFFmpeg::TClaim::Free && !Task.FNoticeDelivered;
}

bool TCustomAVConverter::AnyNoticeOwed() const {
  for (int I = 0; I < FTasks.Count(); ++I)
    if (OwesNotice(FTasks.Items(I))) return true;
  return false;
}

bool TCustomAVConverter::WithoutOwedNotices(const std::function<void()>& Change) {
  // A thread that holds Lock (an event handler) cannot wait: the termination
  // it would wait for needs the lock to arrive.
  const bool CanWait = !FLock.HeldByCurrentThread();
  for (;;) {
    {
      TEventScope Scope(*this);
      if (!AnyNoticeOwed()) {
        Change();
        return true;
      }
      if (!CanWait) return false;
    }
    std::unique_lock<std::mutex> Wait(FNoticeMutex);
    FNoticeArrived.wait_for(Wait, std::chrono::milliseconds(10));
  }
}

// ---- Libraries and properties -----------------------------------------------------

bool TCustomAVConverter::LoadLibraries(const std::string& Folder, bool Versioned) {
  if (!LoadFFmpegLibs(Folder, Versioned)) {
    FLastError = LastLoadError();
    return false;
  }
  InstallLogCapture();
  ApplyLibraryLogLevel();
  return true;
}

void TCustomAVConverter::ApplyLibraryLogLevel() {
  ff::av_log_set_level(LibraryLogLevel(LogLevelNumber(FLogLevel)));
  RecordLogLevel();
}

void TCustomAVConverter::SetLogLevel(TLogLevel Value) {
  FLogLevel = Value;
  if (FFmpegLibsLoaded()) ApplyLibraryLogLevel();
}

void TCustomAVConverter::SetProgressInterval(int Value) {
  FProgressInterval = std::max(Value, 100);
}

void TCustomAVConverter::SetDispatcher(TOwnerDispatcher* Dispatcher) {
  FDispatcher = Dispatcher;
}

void TCustomAVConverter::ClearLog() {
  ::vexav::ClearLog();
}

// ---- Running ------------------------------------------------------------------------

bool TCustomAVConverter::Start(int ThreadCount) {
  TEventScope Scope(*this);
  if (!FRunEnded || AnyNoticeOwed()) {
    FLastError = RunActiveText;
    return false;
  }
  ClearLog();
  FNextTask = 0;
  FFinishedCount = 0;
  FThreadCount = ThreadCount;
  FPendingCount = FTasks.Count();
  FRunEnded = false;
  FHeld = false;
  FQueuedStarts = 0;
  // A task runs once: one that ran, or was stopped, is counted as finished
  // when its turn comes, without a notice of its own.
  for (int I = 0; I < FTasks.Count(); ++I) {
    TFFmpeg& Task = FTasks.Items(I);
    Task.FUsable = Task.FClaim == TFFmpeg::TClaim::Free && !Task.Running && !Task.Terminated;
  }
  if (ThreadCount <= 0) {
    StartNext();
  } else {
    for (int I = 0; I < ThreadCount && FPendingCount > 0; ++I) StartNext();
  }
  // Nothing to run at all: the final notice still comes, but never from
  // inside Start.
  if (FPendingCount <= 0 && FFinishedCount >= FTasks.Count()) DeliverFinalFromOutside();
  return true;
}

void TCustomAVConverter::StartNext() {
  // A held queue starts nothing: the waiting tasks stay pending.
  if (FHeld) return;
  while (FPendingCount > 0) {
    --FPendingCount;
    const int I = FNextTask++;
    const TFFmpeg* Task = this->Task(I);
    if (!Task || !Task->FUsable) {
      ++FFinishedCount;
      continue;
    }
    if (FThreadCount <= 0) {
      ++FQueuedStarts;
      Dispatcher().PostDelayed(
          [this, I, Alive = std::weak_ptr<int>(FAlive)] {
            if (!Alive.expired()) RunTaskOnOwnerThread(I);
          },
          OwnerTimerMs);
    } else {
      RunTask(I);
    }
    return;
  }
}

void TCustomAVConverter::RunTask(int I) {
  TFFmpeg& Task = FTasks.Items(I);
  Task.FClaim = TFFmpeg::TClaim::Started;
  Task.FStartSequence = ++FStartSequence;
  Task.ProgressInterval = static_cast<int64_t>(FProgressInterval) * 1000;
  Task.SetVerbose(LogLevelNumber(FLogLevel));
  if (Task.OutputFileCount <= 0 || Task.InputFileCount <= 0) {
    // The engine refuses such a start at once and reports it on the calling
    // thread, which may be the owner's: it is made on a thread of the
    // component instead.
    TFFmpeg* Refused = &Task;
    const TConvertPriority Priority = FThreadPriority;
    RunOnWorkThread(Refused, [Refused, Priority] { Refused->Start(false, Priority); });
    return;
  }
  TFFmpegThread* Thread = Task.Start(true, FThreadPriority);
  if (!Thread) {
    Task.ThreadID = 0;
    // The engine refused (it had been used meanwhile) and sends no notice:
    // the task counts as finished, so that the run still ends.
    if (!Task.FNoticeDelivered) {
      Task.FNoticeDelivered = true;
      ++FFinishedCount;
    }
    // The run goes on with the next task, or ends with its final notice
    // (from outside this call, which may be inside Start).
    if (FPendingCount > 0)
      StartNext();
    else if (!FRunEnded && FFinishedCount >= FTasks.Count())
      DeliverFinalFromOutside();
    return;
  }
  try {
    Thread->Resume([&Task](TThreadID Id) { Task.ThreadID = Id; });
  } catch (const std::exception& Error) {
    // No thread could be made. The task fails with the reason; running it
    // here instead would run a whole conversion under the component's lock,
    // which the library's log capture needs too. Its notice then starts
    // the next task or ends the run as any other.
    Task.AbandonStart(std::string("Cannot start a worker thread: ") + Error.what());
  }
}

void TCustomAVConverter::RunOnWorkThread(TFFmpeg* Task, const std::function<void()>& Work) {
  auto* Thread = new TWorkThread(FWorkGate, FThreadPriority, Work);
  try {
    Thread->Resume([Task](TThreadID Id) {
      if (Task) Task->ThreadID = Id;
    });
  } catch (const std::exception&) {
    delete Thread;
    Work();
  }
}

void TCustomAVConverter::RunTaskOnOwnerThread(int I) {
  TFFmpeg* Task = nullptr;
  {
    TEventScope Scope(*this);
    if (FClosing) return;
    if (FQueuedStarts > 0) --FQueuedStarts;
    Task = this->Task(I);
    if (!Task) {
      // The list changed under the run: the slot counts as finished.
      ++FFinishedCount;
      if (FPendingCount > 0) StartNext();
      FinishIfDone();
      return;
    }
    // Stopped since the timer was set: its notice comes from the stop.
    if (Task->FClaim != TFFmpeg::TClaim::Free || !Task->FUsable) return;
    if (FHeld) {
      // Held since the timer was set: the task waits again, first in line.
      // Only one timer is ever under way in this mode, so the queue's next
      // task is the one after this.
      FNextTask = I;
      ++FPendingCount;
      return;
    }
    if (Task->Running || Task->Terminated) {
      // Used meanwhile: the engine would refuse it without a notice.
      Task->FClaim = TFFmpeg::TClaim::Started;
      Task->FNoticeDelivered = true;
      ++FFinishedCount;
      if (FPendingCount > 0) StartNext();
      FinishIfDone();
      return;
    }
    Task->FClaim = TFFmpeg::TClaim::Started;
    Task->FStartSequence = ++FStartSequence;
    Task->ThreadID = CurrentThreadID();
    Task->ProgressInterval = static_cast<int64_t>(FProgressInterval) * 1000;
    Task->SetVerbose(LogLevelNumber(FLogLevel));
  }
  // The whole conversion runs here, inside the timer call. The task may be
  // gone when this returns (a handler may clear the list).
  Task->Start(false, FThreadPriority);
}

void TCustomAVConverter::FinishIfDone() {
  if (!FRunEnded && FPendingCount <= 0 && FFinishedCount >= FTasks.Count()) DeliverFinal();
}

void TCustomAVConverter::DeliverFinal() {
  FRunEnded = true;
  std::exception_ptr Failure;
  if (OnTerminate && !FClosing) {
    try {
      OnTerminate(-1, true, false, std::string());
    } catch (...) {
      Failure = std::current_exception();
    }
  }
  ClearLog();
  if (Failure) std::rethrow_exception(Failure);
}

void TCustomAVConverter::DeliverFinalFromOutside() {
  auto Deliver = [this] {
    TEventScope Scope(*this);
    if (!FRunEnded) DeliverFinal();
  };
  if (FThreadCount > 0) {
    RunOnWorkThread(nullptr, Deliver);
  } else {
    Dispatcher().PostDelayed(
        [Deliver, Alive = std::weak_ptr<int>(FAlive)] {
          if (!Alive.expired()) Deliver();
        },
        OwnerTimerMs);
  }
}

bool TCustomAVConverter::Pause() {
  TEventScope Scope(*this);
  if (FRunEnded) {
    FLastError = NoRunText;
    return false;
  }
  FHeld = true;
  return true;
}

bool TCustomAVConverter::Resume() {
  TEventScope Scope(*this);
  if (!FHeld) {
    FLastError = NotHeldText;
    return false;
  }
  FHeld = false;
  int Running = 0;
  for (int I = 0; I < FTasks.Count(); ++I) {
    const TFFmpeg& Task = FTasks.Items(I);
    if (Task.FClaim == TFFmpeg::TClaim::Started && !Task.FNoticeDelivered) ++Running;
  }
  // Worker mode: the free slots of ThreadCount; owner-thread mode: the
  // next task, unless one runs or its timer is set (its end starts the
  // next).
  const int Slots = FThreadCount > 0 ? FThreadCount - Running
                                     : (Running == 0 && FQueuedStarts == 0 ? 1 : 0);
  for (int I = 0; I < Slots && FPendingCount > 0; ++I) StartNext();
  // Every waiting task turned out unable to run, and nothing runs: the run
  // ends here, with its final notice from outside this call.
  if (!FRunEnded && FPendingCount <= 0 && FFinishedCount >= FTasks.Count())
    DeliverFinalFromOutside();
  return true;
}

void TCustomAVConverter::Stop() {
  TEventScope Scope(*this);
  FPendingCount = 0;
  FHeld = false;
  if (FRunEnded) {
    // Outside a run only tasks that never ran have something to report: their
    // notices, then a final notice. Without such tasks nothing happens.
    bool AnyIdle = false;
    for (int I = 0; I < FTasks.Count(); ++I) {
      TFFmpeg& Task = FTasks.Items(I);
      Task.FUsable = Task.FClaim == TFFmpeg::TClaim::Free && !Task.Running && !Task.Terminated;
      AnyIdle = AnyIdle || Task.FUsable;
    }
    if (!AnyIdle) return;
    FRunEnded = false;
    FFinishedCount = 0;
    FNextTask = 0;
  }
  for (int I = 0; I < FTasks.Count(); ++I) {
    TFFmpeg& Task = FTasks.Items(I);
    switch (Task.FClaim) {
      case TFFmpeg::TClaim::Free:
        if (Task.FUsable) {
          // Never ran: its termination comes from a short-lived thread.
          Task.FClaim = TFFmpeg::TClaim::Stopped;
          Task.StopOrNotify();
        } else if (I >= FNextTask) {
          // Could not run and its turn never came.
          ++FFinishedCount;
        }
        break;
      case TFFmpeg::TClaim::Started:
        if (!Task.FNoticeDelivered) {
          Task.FStopAsked = true;
          Task.Stop();
        }
        break;
      case TFFmpeg::TClaim::Stopped:
        break;
    }
  }
  if (!FRunEnded && FFinishedCount >= FTasks.Count()) DeliverFinalFromOutside();
}

// ---- Event dispatch -----------------------------------------------------------------

void TCustomAVConverter::DoTaskBeforeHook(TFFmpeg& Task, int64_t APTS, THookAction& AHookAction) {
  if (FClosing) return;
  if (OnBeforeHook) OnBeforeHook(Task.Index, APTS, AHookAction);
}

void TCustomAVConverter::DoTaskCustomHook(TFFmpeg& Task, THookBitmap& ABitmap, int AFrameNumber,
                                          int64_t APTS, bool& AUpdate, bool& AStopHook) {
  if (FClosing) return;
  if (OnCustomHook) OnCustomHook(Task.Index, ABitmap, AFrameNumber, APTS, AUpdate, AStopHook);
}

void TCustomAVConverter::DoTaskLog(TFFmpeg* Task, int Level, const std::string& Text) {
  TEventScope Scope(*this);
  if (FClosing || !OnLog) return;
  OnLog(Task ? Task->Index : -1, LogLevelFromNumber(Level), Text);
}

void TCustomAVConverter::DoTaskProgress(TFFmpeg& Task, const TRunProgress& AProgress) {
  // A stop that came in the instant between the claim of an owner's-thread
  // run and the engine's start reaches the engine here.
  if (Task.FStopAsked && !Task.StopRequested) Task.Stop();
  TEventScope Scope(*this);
  if (FClosing) return;
  if (OnTaskProgress) OnTaskProgress(Task.Index, AProgress);
  // The engine keeps both durations within an int.
  if (OnProgress)
    OnProgress(Task.Index, AProgress.FrameNumber, AProgress.Fps,
               static_cast<int>(AProgress.CurrentDurationMs), AProgress.Quality, AProgress.BitRate,
               AProgress.CurrentSize, static_cast<int>(AProgress.TotalOutputDurationMs));
}

void TCustomAVConverter::DoTaskTerminate(TFFmpeg& Task) {
  std::exception_ptr Failure;
  {
    TEventScope Scope(*this);
    Task.FNoticeDelivered = true;
    // A run releases the task's input before it ends: the probe lets go of
    // the context it looked at.
    if (Task.Probe().Context() && Task.Probe().Context() != Task.InputFiles[0].get())
      Task.Probe().Close();
    const int Index = Task.Index;
    const bool Finished = Task.Finished;
    const bool ExceptionRaised = Task.ExceptionRaised;
    const std::string Message = Task.ErrorMessage;
    if (OnTerminate && !FClosing) {
      try {
        OnTerminate(Index, Finished, ExceptionRaised, Message);
      } catch (...) {
        // The run's bookkeeping goes on; the failure is passed on below.
        Failure = std::current_exception();
      }
    }
    // Nothing of Task is used from here on: the handler may have freed it.
    ++FFinishedCount;
    if (FPendingCount > 0) StartNext();
    try {
      FinishIfDone();
    } catch (...) {
      if (!Failure) Failure = std::current_exception();
    }
    { std::lock_guard<std::mutex> Guard(FNoticeMutex); }
    FNoticeArrived.notify_all();
  }
  if (Failure) std::rethrow_exception(Failure);
}

// ---- Library log capture ----------------------------------------------------------------

void TCustomAVConverter::TLogClient::CaptureLine(TThreadID ThreadId, int Level,
                                                 const std::string& Line) {
  // Lock order: the live list (held by the capture), then the component.
  TEventScope Scope(FOwner);
  if (FOwner.FClosing) return;
  FOwner.DoTaskLog(FOwner.FTasks.FindByThreadID(ThreadId), Level, Line);
}

}  // namespace vexav

namespace vexav {

// Out of line, so that the class's virtual table and type information live
// in the component's library rather than in every program that uses it.
TVexAVConverter::~TVexAVConverter() {
  Shutdown();
}

}  // namespace vexav
