#include "batch/cluster/Scheduler.h"

#include <cstdlib>
#include <string>

#include "batch/cluster/slurm/SlurmScheduler.h"

namespace vexav::batch::cluster {

long long NumberInEnvironment(const char* Name) {
  const char* Text = std::getenv(Name);
  if (!Text || !*Text) return -1;
  char* End = nullptr;
  const long long Value = std::strtoll(Text, &End, 10);
  return *End == '\0' && Value >= 0 ? Value : -1;
}

std::unique_ptr<Scheduler> MakeScheduler(const std::string& Name) {
  if (Name == "slurm") return std::make_unique<slurm::SlurmScheduler>();
  return nullptr;
}

std::optional<std::size_t> Scheduler::TaskIndexHere() const {
  const long long Index = NumberInEnvironment("VEXAV_TASK_INDEX");
  if (Index < 0) return std::nullopt;
  return static_cast<std::size_t>(Index);
}

int Scheduler::TaskCpusHere() const {
  const long long Cpus = NumberInEnvironment("VEXAV_TASK_CPUS");
  return Cpus > 0 && Cpus <= 4096 ? static_cast<int>(Cpus) : 0;
}

}  // namespace vexav::batch::cluster
