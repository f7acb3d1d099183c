#include "component/PartialOutput.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vexav::output {
namespace {

constexpr std::string_view kPartialLabel = "partial";

// Renames From to To only when nothing has the name To. Uses renameat2's
// RENAME_NOREPLACE; where the file system does not offer it, a hard link
// (which never replaces either) followed by removing the old name. errno
// is EEXIST when To was taken.
bool RenameNoReplace(const std::string& From, const std::string& To) {
  if (::renameat2(AT_FDCWD, From.c_str(), AT_FDCWD, To.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  if (::link(From.c_str(), To.c_str()) != 0) return false;
  ::unlink(From.c_str());
  return true;
}

}  // namespace

std::string PartialOutputName(std::string_view Output, const TPathTaken& Taken) {
  return MakeOutputName(Output, FileExtension(Output), kPartialLabel, Taken);
}

std::string PartialOutputName(std::string_view Output) {
  return PartialOutputName(Output, PathTaken);
}

std::string KeepAsPartial(const std::string& Output, std::string& Error) {
  return KeepAsPartial(Output, Output, Error);
}

std::string KeepAsPartial(const std::string& Output, const std::string& NamedAfter,
                          std::string& Error) {
  struct stat Info;
  if (::lstat(Output.c_str(), &Info) != 0) {
    Error = Output + ": nothing was written";
    return std::string();
  }
  if (!S_ISREG(Info.st_mode)) {
    Error = Output + ": not a regular file, left as it is";
    return std::string();
  }
  if (Info.st_size == 0) {
    ::unlink(Output.c_str());
    Error = Output + ": nothing was written";
    return std::string();
  }
  // Each failed attempt means another entry took the name just chosen; the
  // next choice sees it and moves on to the next counter.
  for (int Attempt = 0; Attempt < 1000; ++Attempt) {
    const std::string Partial = PartialOutputName(NamedAfter);
    if (RenameNoReplace(Output, Partial)) return Partial;
    if (errno != EEXIST) {
      Error = Output + ": cannot be renamed to " + Partial + ": " + std::strerror(errno);
      return std::string();
    }
  }
  Error = Output + ": no free name to keep it under";
  return std::string();
}

}  // namespace vexav::output
