#include "batch/cluster/BatchCanceller.h"

#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

#include "batch/cluster/JobFolder.h"

namespace vexav::batch::cluster {

void BatchCanceller::Track(const std::string& Job) {
  std::lock_guard<std::mutex> Guard(Lock);
  Jobs.insert(Job);
  if (!Cancelled) return;
  std::string Failure;
  if (!Sched.Cancel({Job}, Failure) && Error.empty()) Error = Failure;
}

void BatchCanceller::Stop() {
  std::lock_guard<std::mutex> Guard(Lock);
  if (Cancelled) return;
  Cancelled = true;
  // First the mark, so that whoever looks at the batch after this knows
  // that its tasks stop on request, even when this program goes before
  // they have ended.
  if (!MarkCancelled(Folder)) Error = CancelMarkerPath(Folder) + ": " + std::strerror(errno);
  std::string Failure;
  if (!Sched.Cancel(std::vector<std::string>(Jobs.begin(), Jobs.end()), Failure) && Error.empty())
    Error = Failure;
}

std::string BatchCanceller::TakeError() {
  std::lock_guard<std::mutex> Guard(Lock);
  return std::exchange(Error, std::string());
}

}  // namespace vexav::batch::cluster
