#include "batch/OutputFiles.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <utility>
#include <vector>

#include "component/OutputNaming.h"
#include "component/PartialOutput.h"

namespace vexav::batch {
namespace {

// Creates Path exclusively; errno tells why when it fails.
bool CreateExclusively(const std::string& Path) {
  const int Fd = ::open(Path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (Fd < 0) return false;
  ::close(Fd);
  return true;
}

// A new empty file beside Final, named ".vexav-XXXXXX-<name of Final>" so
// that it keeps Final's extension (the container follows the name) and
// stays out of sight; it takes the permissions of Mode.
bool CreateTemporaryBeside(const std::string& Final, mode_t Mode, std::string& Path,
                           std::string& Error) {
  const std::size_t Slash = Final.rfind('/');
  const std::string Folder =
      Slash == std::string::npos ? std::string() : Final.substr(0, Slash + 1);
  const std::string Name = Slash == std::string::npos ? Final : Final.substr(Slash + 1);
  // The name goes into the temporary one whole when it fits the file name
  // limit, otherwise its extension alone.
  const std::string Prefix = ".vexav-XXXXXX";
  const std::string Suffix = "-" + (Prefix.size() + 1 + Name.size() <= output::kMaxFileNameBytes
                                        ? Name
                                        : output::FileExtension(Name));
  std::string Template = Folder + Prefix + Suffix;
  std::vector<char> Buffer(Template.begin(), Template.end());
  Buffer.push_back('\0');
  const int Fd = ::mkstemps(Buffer.data(), static_cast<int>(Suffix.size()));
  if (Fd < 0) {
    Error = Final + ": cannot make a temporary file beside it: " + std::strerror(errno);
    return false;
  }
  ::fchmod(Fd, Mode & 07777);
  ::close(Fd);
  Path = Buffer.data();
  return true;
}

// "name:..." with a name of letters, as the libraries' protocols are
// written ("pipe:1", "file:out.mp4"); never a path with a "/" before the
// colon.
bool IsProtocolName(const std::string& Path) {
  const std::size_t Colon = Path.find(':');
  if (Colon == std::string::npos || Colon < 2) return false;
  for (std::size_t I = 0; I < Colon; ++I)
    if (!std::isalpha(static_cast<unsigned char>(Path[I]))) return false;
  return true;
}

}  // namespace

bool ReserveOutput(const std::string& Name, const std::string& Ext, const std::string& Label,
                   std::string& Path, std::string& Error) {
  for (int Attempt = 0; Attempt < 1000; ++Attempt) {
    Path = output::MakeOutputName(Name, Ext, Label);
    if (CreateExclusively(Path)) return true;
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

std::string SourceLogLine(const std::string& Source, const std::string& Text) {
  std::string Line = "[";
  Line += DisplayName(Source);
  Line += "] ";
  Line += Text;
  return Line;
}

std::string ExistsText(const std::string& Path) {
  return Path + ": already exists (use --overwrite to replace it)";
}

bool PlanDefaultOutput(const std::string& Name, const std::string& Ext, const std::string& Label,
                       bool Overwrite, OutputPlan& Plan, std::string& Error) {
  Plan = OutputPlan();
  if (!Overwrite) {
    if (!ReserveOutput(Name, Ext, Label, Plan.Final, Error)) return false;
    Plan.WriteTo = Plan.Final;
    Plan.Reserved = true;
    return true;
  }
  // The plain name, whatever is there.
  Plan.Final = output::MakeOutputName(Name, Ext, Label, [](const std::string&) { return false; });
  for (int Attempt = 0; Attempt < 3; ++Attempt) {
    struct stat Info;
    if (::lstat(Plan.Final.c_str(), &Info) == 0) {
      if (!S_ISREG(Info.st_mode)) {
        Error = Plan.Final + ": cannot be replaced: not a regular file";
        return false;
      }
      if (!CreateTemporaryBeside(Plan.Final, Info.st_mode, Plan.WriteTo, Error)) return false;
      Plan.Replaces = true;
      Plan.Reserved = true;
      return true;
    }
    if (CreateExclusively(Plan.Final)) {
      Plan.WriteTo = Plan.Final;
      Plan.Reserved = true;
      return true;
    }
    // Something took the name in between: look again.
    if (errno != EEXIST) {
      Error = Plan.Final + ": " + std::strerror(errno);
      return false;
    }
  }
  Error = Plan.Final + ": the name keeps changing";
  return false;
}

bool PlanExplicitOutput(const std::string& Out, bool Overwrite, OutputPlan& Plan,
                        std::string& Error) {
  Plan = OutputPlan();
  Plan.Final = Out;
  Plan.WriteTo = Out;
  // A protocol name ("pipe:1") is the library's to open, not a file.
  if (IsProtocolName(Out)) return true;
  for (int Attempt = 0; Attempt < 3; ++Attempt) {
    struct stat Info;
    if (::stat(Out.c_str(), &Info) == 0) {
      // A device or a pipe holds no file that could be lost.
      if (!S_ISREG(Info.st_mode)) return true;
      if (!Overwrite) {
        Error = ExistsText(Out);
        return false;
      }
      // Through a link, the file it names is replaced and the link kept.
      std::error_code Ignored;
      const std::filesystem::path Target = std::filesystem::canonical(Out, Ignored);
      if (!Target.empty()) Plan.Final = Target.string();
      if (!CreateTemporaryBeside(Plan.Final, Info.st_mode, Plan.WriteTo, Error)) return false;
      Plan.Replaces = true;
      Plan.Reserved = true;
      return true;
    }
    struct stat LinkInfo;
    if (::lstat(Out.c_str(), &LinkInfo) == 0) {
      // A dangling link: writing through it would make a file elsewhere.
      Error = Out + ": cannot be written: a link to nothing";
      return false;
    }
    if (CreateExclusively(Out)) {
      Plan.Reserved = true;
      return true;
    }
    // Not a name this program can create (a missing folder, a protocol
    // such as "pipe:1"): the engine opens it as it is and says why it
    // cannot.
    if (errno != EEXIST) return true;
  }
  Error = Out + ": the name keeps changing";
  return false;
}

std::string AttemptName(const std::string& Target, const std::string& Attempt) {
  const std::size_t Slash = Target.rfind('/');
  const std::string Folder =
      Slash == std::string::npos ? std::string() : Target.substr(0, Slash + 1);
  const std::string Name = Slash == std::string::npos ? Target : Target.substr(Slash + 1);
  // The id goes into a file name: anything but letters, digits, '.', '_'
  // and '-' becomes '_'.
  std::string Prefix = ".vexav-task-";
  for (char C : Attempt)
    Prefix +=
        std::isalnum(static_cast<unsigned char>(C)) || C == '.' || C == '_' || C == '-' ? C : '_';
  Prefix += "-";
  return Folder + Prefix +
         (Prefix.size() + Name.size() <= output::kMaxFileNameBytes ? Name
                                                                   : output::FileExtension(Name));
}

bool PlanAttemptOutput(const std::string& Target, const std::string& Attempt,
                       bool FinalIsReservation, OutputPlan& Plan, std::string& Error) {
  Plan = OutputPlan();
  Plan.Final = Target;
  Plan.WriteTo = AttemptName(Target, Attempt);
  Plan.Replaces = true;
  Plan.FinalIsReservation = FinalIsReservation;
  struct stat Info;
  const bool Known = ::stat(Target.c_str(), &Info) == 0 && S_ISREG(Info.st_mode);
  const int Fd = ::open(Plan.WriteTo.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (Fd < 0) {
    Error = std::strerror(errno);
    return false;
  }
  if (Known) ::fchmod(Fd, Info.st_mode & 07777);
  ::close(Fd);
  Plan.Reserved = true;
  return true;
}

bool CommitOutput(const OutputPlan& Plan, std::string& Error) {
  if (!Plan.Replaces) return true;
  if (std::rename(Plan.WriteTo.c_str(), Plan.Final.c_str()) != 0) {
    Error = Plan.Final + ": cannot replace it: " + std::strerror(errno);
    RemoveOwnOutput(Plan.WriteTo);
    return false;
  }
  return true;
}

StoppedOutput KeepStoppedOutput(const OutputPlan& Plan) {
  StoppedOutput Result;
  if (Plan.Replaces && !Plan.FinalIsReservation)
    Result.Note = "; " + Plan.Final + " was left as it was";
  if (!Plan.Reserved) return Result;
  Result.Path = output::KeepAsPartial(Plan.WriteTo, Plan.Final, Result.Error);
  if (!Result.Path.empty()) {
    Result.Renamed = true;
    Result.Note += "; the part converted so far is kept as " + Result.Path;
    return Result;
  }
  if (!IsNonEmptyFile(Plan.WriteTo)) {
    Result.Note += "; nothing was written";
    return Result;
  }
  if (Plan.Replaces) {
    // A hidden temporary file is no place to keep anything.
    RemoveOwnOutput(Plan.WriteTo);
    Result.Note += "; the part converted could not be kept: " + Result.Error;
    return Result;
  }
  Result.Path = Plan.WriteTo;
  Result.Note += "; the part converted so far stays in " + Result.Path +
                 ", which could not be renamed: " + Result.Error;
  return Result;
}

void DiscardOutput(const OutputPlan& Plan) {
  if (Plan.Reserved) RemoveOwnOutput(Plan.WriteTo);
}

bool MadeFolders::Make(const std::string& Folder, std::string& Error) {
  namespace fs = std::filesystem;
  std::error_code Code;
  fs::path Path = fs::absolute(Folder, Code);
  if (Code) Path = Folder;
  Path = Path.lexically_normal();
  if (!Path.has_filename()) Path = Path.parent_path();  // "out/"
  // The missing folders on the way, deepest first.
  std::vector<std::string> Missing;
  for (fs::path Step = Path; !Step.empty() && Step != Step.root_path(); Step = Step.parent_path()) {
    struct stat Info;
    if (::lstat(Step.c_str(), &Info) == 0 || errno != ENOENT) break;
    Missing.push_back(Step.string());
  }
  fs::create_directories(Path, Code);
  // What was made is noted even when a deeper one failed, so that it goes
  // again.
  for (auto It = Missing.rbegin(); It != Missing.rend(); ++It) {
    struct stat Info;
    if (::lstat(It->c_str(), &Info) == 0 && S_ISDIR(Info.st_mode)) Made.push_back(*It);
  }
  if (!Code && fs::is_directory(Path, Code)) return true;
  Error = Code ? Code.message() : std::string("not a folder");
  return false;
}

void MadeFolders::Adopt(const std::vector<std::string>& Folders) {
  Made.insert(Made.end(), Folders.begin(), Folders.end());
}

void MadeFolders::RemoveEmpty() {
  // rmdir removes only an empty folder.
  for (auto It = Made.rbegin(); It != Made.rend(); ++It) ::rmdir(It->c_str());
  Made.clear();
}

std::vector<std::string> MadeFolders::Release() {
  return std::exchange(Made, {});
}

}  // namespace vexav::batch
