#include "batch/StopControl.h"

#include <cstring>

namespace vexav::batch {

void StopControl::Register(ConversionJob* Job) {
  std::lock_guard<std::mutex> Guard(Lock);
  Current = Job;
  // A stop that came before the job existed reaches it too.
  if (Requested.load() && Current) Current->Stop();
}

void StopControl::Unregister() {
  std::lock_guard<std::mutex> Guard(Lock);
  Current = nullptr;
}

void StopControl::RequestStop() {
  std::lock_guard<std::mutex> Guard(Lock);
  Requested.store(true);
  if (Current) Current->Stop();
}

void CatchSignal(int Signal, void (*Handler)(int), struct sigaction* Previous) {
  struct sigaction Action;
  std::memset(&Action, 0, sizeof Action);
  Action.sa_handler = Handler;
  sigemptyset(&Action.sa_mask);
  Action.sa_flags = SA_RESTART;
  ::sigaction(Signal, &Action, Previous);
}

}  // namespace vexav::batch
