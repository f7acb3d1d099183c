// Starting, stopping and ending a conversion run: Start, Run, Stop,
// StopOrNotify, DoTerminate, the open-codec lists' closing, and the two
// worker threads (TFFmpegThread runs a conversion, TDoTerminateThread
// removes the outputs of an engine that never ran and delivers its
// notification).
//
// Thread safety of the hand-over between the caller's thread and the
// worker:
// - the run thread object frees itself once Run is over; the engine's
//   pointer to it is guarded by ThreadLock and cleared (DoTerminate) before
//   the thread object can go, so Stop never touches a freed thread;
// - every worker thread is counted in the shared TRunGate from its creation
//   until its object is freed, so that destroying the engine (or
//   WaitForRun) waits until no worker can touch the engine any more;
// - after its terminate handler returns, a worker touches nothing of the
//   engine: the handler may destroy it.
#include <exception>
#include <mutex>

#include "engine/CodecLock.h"
#include "engine/FFmpeg.h"
#include "engine/FreedMemory.h"
#include "engine/RunGate.h"
#include "engine/RunTables.h"

namespace vexav {

thread_local const TCustomFFmpeg* CurrentWorkerEngine = nullptr;

namespace {

constexpr const char* NoOutputText = "Must supply at least one output file";
constexpr const char* NoInputText = "Must supply at least one input file";

// Sets the calling thread's engine for the duration of a worker's work.
struct TWorkerScope {
  explicit TWorkerScope(const TCustomFFmpeg* Engine) { CurrentWorkerEngine = Engine; }
  ~TWorkerScope() { CurrentWorkerEngine = nullptr; }
};

}  // namespace

// ---- Threads ------------------------------------------------------------------

TFFmpegThread::TFFmpegThread(TCustomFFmpeg* Engine, std::shared_ptr<TRunGate> Gate,
                             TThreadPriority Priority)
    : TThread(Priority), Engine(Engine), Gate(std::move(Gate)) {
  if (this->Gate) this->Gate->Enter();
}

TFFmpegThread::~TFFmpegThread() {
  if (Gate) Gate->Leave();
}

void TFFmpegThread::Execute() {
  TWorkerScope Scope(Engine);
  if (Engine) Engine->Run();
}

TDoTerminateThread::TDoTerminateThread(TCustomFFmpeg* Engine, std::shared_ptr<TRunGate> Gate,
                                       TThreadPriority Priority)
    : TThread(Priority), Engine(Engine), Gate(std::move(Gate)) {
  if (this->Gate) this->Gate->Enter();
}

TDoTerminateThread::~TDoTerminateThread() {
  if (Gate) Gate->Leave();
}

void TDoTerminateThread::Execute() {
  TWorkerScope Scope(Engine);
  if (!Engine) return;
  // The engine never ran and never will: the empty outputs it created for
  // the run are not left behind.
  Engine->RemoveIncompleteOutputs();
  Engine->DoTerminate();
}

// ---- Run control --------------------------------------------------------------

TFFmpegThread* TCustomFFmpeg::Start(bool Threaded, TThreadPriority Priority) {
  if (Running || Terminated || NotifyPending) return nullptr;
  const char* Missing = OutputFileCount <= 0  ? NoOutputText
                        : InputFileCount <= 0 ? NoInputText
                                              : nullptr;
  if (Missing) {
    ReleaseFiles();
    Log(-1, Missing);
    ExceptionRaised = true;
    ErrorMessage = Missing;
    // The handler may destroy the engine: nothing of it is used afterwards.
    DoTerminate();
    return nullptr;
  }
  Running = true;
  StopRequested = false;
  Finished = false;
  Terminated = false;
  if (!Threaded) {
    Run();
    return nullptr;
  }
  auto* Thread = new TFFmpegThread(this, Gate, Priority);
  std::lock_guard<std::mutex> Guard(ThreadLock);
  ThreadRef = Thread;
  return Thread;
}

void TCustomFFmpeg::Run() {
  Finished = false;
  TrailersWritten = false;
  bool Failed = false;
  auto Fail = [this, &Failed](const std::string& Message) {
    Failed = true;
    ExceptionRaised = true;
    ErrorMessage = Message;
    try {
      Log(-1, Message);
    } catch (...) {
      // A log handler's own failure must not keep the run from ending.
    }
  };
  try {
    Transcode();
  } catch (const std::exception& Error) {
    Fail(Error.what());
  } catch (...) {
    Fail("Unknown error during the conversion");
  }
  CloseOpenEncoders();
  CloseOpenDecoders();
  // An output whose trailer was never written cannot be read back: the
  // files this run created are removed rather than left behind broken.
  if (Failed && !TrailersWritten) RemoveIncompleteOutputs();
  ReleaseFiles();
  ReturnFreedMemory();
  // The last use of the engine on this thread.
  DoTerminate();
}

void TCustomFFmpeg::Stop() {
  StopRequested = true;
  bool RunHere = false;
  {
    std::lock_guard<std::mutex> Guard(ThreadLock);
    if (ThreadRef && !ThreadRef->Started()) {
      try {
        ThreadRef->Resume();
      } catch (...) {
        // No system thread could be made: the thread object is still ours.
        // The run (which ends at once, a stop being asked) goes on here.
        delete ThreadRef;
        ThreadRef = nullptr;
        RunHere = true;
      }
    }
  }
  if (RunHere) Run();
}

void TCustomFFmpeg::AbandonStart(const std::string& Message) {
  {
    std::lock_guard<std::mutex> Guard(ThreadLock);
    if (!ThreadRef || ThreadRef->Started()) return;
    delete ThreadRef;
    ThreadRef = nullptr;
  }
  ReleaseFiles();
  Finished = false;
  ExceptionRaised = true;
  ErrorMessage = Message;
  try {
    Log(-1, Message);
  } catch (...) {
    // A log handler's failure must not keep the notification from coming.
  }
  // The handler may destroy the engine: nothing of it is used afterwards.
  DoTerminate();
}

void TCustomFFmpeg::StopOrNotify() {
  if (Running) {
    Stop();
    return;
  }
  if (Terminated || NotifyPending.exchange(true)) return;
  auto* Thread = new TDoTerminateThread(this, Gate, TThreadPriority::tpIdle);
  try {
    Thread->Resume();
  } catch (...) {
    delete Thread;
    DoTerminate();
  }
}

void TCustomFFmpeg::DoTerminate() {
  Running = false;
  const bool AlreadyNotified = Terminated.exchange(true);
  {
    std::lock_guard<std::mutex> Guard(ThreadLock);
    ThreadRef = nullptr;
  }
  NotifyPending = false;
  if (AlreadyNotified) return;
  // A copy: the handler may destroy the engine, and with it the slot.
  TTerminateEvent Handler = OnTerminate;
  if (Handler) Handler(*this);
}

bool TCustomFFmpeg::WaitForRun(int TimeoutMs) {
  return Gate->WaitIdle(TimeoutMs);
}

bool TCustomFFmpeg::HasThread() const {
  std::lock_guard<std::mutex> Guard(ThreadLock);
  return ThreadRef != nullptr;
}

void TCustomFFmpeg::CloseOpenEncoders() {
  // Newest first, as the list holds them.
  for (AVCodecContext* Encoder : OpenedEncoders) {
    // The pass-2 statistics input is the engine's.
    ff::av_freep(&Encoder->stats_in);
    std::lock_guard<std::recursive_mutex> Guard(CodecLock());
    ff::avcodec_close(Encoder);
  }
  OpenedEncoders.clear();
}

void TCustomFFmpeg::CloseOpenDecoders() {
  for (AVCodecContext* Decoder : OpenedDecoders) {
    std::lock_guard<std::recursive_mutex> Guard(CodecLock());
    ff::avcodec_close(Decoder);
  }
  OpenedDecoders.clear();
}

}  // namespace vexav
