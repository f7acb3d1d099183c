// The count of worker threads that may still use an engine. The engine and
// each of its worker threads share it, so that a thread can report that it
// is done with the engine after the engine itself may be gone (a terminate
// handler may destroy the engine on the worker thread). The converter
// component counts its own short-lived threads with one too.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace vexav {

class TCustomFFmpeg;

struct TRunGate {
  std::mutex Lock;
  std::condition_variable Idle;
  int Active = 0;

  void Enter() {
    std::lock_guard<std::mutex> Guard(Lock);
    ++Active;
  }
  void Leave() {
    std::lock_guard<std::mutex> Guard(Lock);
    if (Active > 0) --Active;
    Idle.notify_all();
  }
  // True when no worker uses the engine (any more) within TimeoutMs
  // (negative: no limit).
  bool WaitIdle(int TimeoutMs) {
    std::unique_lock<std::mutex> Guard(Lock);
    if (TimeoutMs < 0) {
      Idle.wait(Guard, [this] { return Active == 0; });
      return true;
    }
    return Idle.wait_for(Guard, std::chrono::milliseconds(TimeoutMs), [this] { return Active == 0; });
  }
};

// The engine the calling thread works for while it is one of an engine's
// worker threads, else nullptr.
extern thread_local const TCustomFFmpeg* CurrentWorkerEngine;

}  // namespace vexav
