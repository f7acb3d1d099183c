#include "cli/OutputFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "component/OutputNaming.h"

namespace vexav::cli {

bool ReserveOutput(const std::string& Name, const std::string& Ext, const std::string& Label,
                   std::string& Path, std::string& Error) {
  for (int Attempt = 0; Attempt < 1000; ++Attempt) {
    Path = output::MakeOutputName(Name, Ext, Label);
    const int Fd = ::open(Path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (Fd >= 0) {
      ::close(Fd);
      return true;
    }
    if (errno != EEXIST) {
      Error = Path + ": " + std::strerror(errno);
      return false;
    }
  }
  Error = Path + ": no free output name";
  return false;
}

void RemoveOwnOutput(const std::string& Path) {
  struct stat Info;
  if (::lstat(Path.c_str(), &Info) == 0 && S_ISREG(Info.st_mode)) ::unlink(Path.c_str());
}

bool IsNonEmptyFile(const std::string& Path) {
  struct stat Info;
  return ::stat(Path.c_str(), &Info) == 0 && S_ISREG(Info.st_mode) && Info.st_size > 0;
}

std::string DisplayName(const std::string& Path) {
  std::string Name = output::FileNamePart(Path);
  return Name.empty() ? Path : Name;
}

}  // namespace vexav::cli
