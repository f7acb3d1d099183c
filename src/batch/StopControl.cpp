#include "batch/StopControl.h"

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

}  // namespace vexav::batch
