#include "cli/Interrupt.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>

namespace vexav::cli {

using batch::StopControl;

namespace {

// The signals received since the watcher started, and the first of them. A
// lock-free atomic is safe to change in a signal handler.
std::atomic<int> SignalCount{0};
std::atomic<int> FirstSignal{0};
static_assert(std::atomic<int>::is_always_lock_free);

struct sigaction PreviousAction;
struct sigaction PreviousTerminate;

std::mutex FarewellLock;
std::string Farewell;

extern "C" void OnInterruptSignal(int Signal) {
  int None = 0;
  FirstSignal.compare_exchange_strong(None, Signal, std::memory_order_relaxed);
  SignalCount.fetch_add(1, std::memory_order_relaxed);
}

void WriteAll(int Fd, const char* Text) {
  std::size_t Left = std::strlen(Text);
  while (Left > 0) {
    const ssize_t Written = ::write(Fd, Text, Left);
    if (Written <= 0) return;
    Text += Written;
    Left -= static_cast<std::size_t>(Written);
  }
}

}  // namespace

InterruptWatcher::InterruptWatcher(StopControl& Control, std::FILE* Err, bool Terminal,
                                   bool AlsoTerminate)
    : Control(Control), Err(Err), Terminal(Terminal), AlsoTerminate(AlsoTerminate) {
  SignalCount.store(0);
  FirstSignal.store(0);
  batch::CatchSignal(SIGINT, OnInterruptSignal, &PreviousAction);
  if (AlsoTerminate) batch::CatchSignal(SIGTERM, OnInterruptSignal, &PreviousTerminate);
  Watcher = std::thread([this] { Watch(); });
}

InterruptWatcher::~InterruptWatcher() {
  {
    std::lock_guard<std::mutex> Guard(Lock);
    Quit = true;
  }
  Wake.notify_all();
  Watcher.join();
  ::sigaction(SIGINT, &PreviousAction, nullptr);
  if (AlsoTerminate) ::sigaction(SIGTERM, &PreviousTerminate, nullptr);
}

void SetInterruptFarewell(const std::string& Text) {
  std::lock_guard<std::mutex> Guard(FarewellLock);
  Farewell = Text;
}

void InterruptWatcher::Watch() {
  bool Stopped = false;
  std::unique_lock<std::mutex> Guard(Lock);
  while (!Quit) {
    Wake.wait_for(Guard, std::chrono::milliseconds(20));
    const int Count = SignalCount.load(std::memory_order_relaxed);
    if (Count >= 2) {
      std::string Text = Terminal ? "\nvexav-convert: interrupted" : "vexav-convert: interrupted";
      {
        std::lock_guard<std::mutex> Told(FarewellLock);
        if (!Farewell.empty()) Text += "; " + Farewell;
      }
      WriteAll(::fileno(Err), (Text + "\n").c_str());
      ::_exit(ExitInterrupted);
    }
    if (Count == 1 && !Stopped) {
      Stopped = true;
      Guard.unlock();
      const char* Notice =
          FirstSignal.load() == SIGTERM
              ? "vexav-convert: stopping on SIGTERM (a second signal quits at once)\n"
              : "vexav-convert: stopping (Ctrl-C again quits at once)\n";
      if (Terminal) std::fputs("\n", Err);
      std::fputs(Notice, Err);
      std::fflush(Err);
      Control.RequestStop();
      Guard.lock();
    }
  }
}

}  // namespace vexav::cli
