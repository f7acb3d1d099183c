#include "component/OutputNaming.h"

#include <sys/stat.h>

#include <cstdint>

namespace vexav::output {
namespace {

// Index of the dot that starts the extension of the last path component, or
// npos when it has none.
std::size_t ExtensionDot(std::string_view Path) {
  const std::size_t Slash = Path.rfind('/');
  const std::size_t NameStart = Slash == std::string_view::npos ? 0 : Slash + 1;
  const std::size_t Dot = Path.rfind('.');
  // No dot in the name, or only a leading one.
  if (Dot == std::string_view::npos || Dot <= NameStart) return std::string_view::npos;
  return Dot;
}

}  // namespace

std::string FileExtension(std::string_view Path) {
  const std::size_t Dot = ExtensionDot(Path);
  return Dot == std::string_view::npos ? std::string() : std::string(Path.substr(Dot));
}

std::string RemoveExtension(std::string_view Path) {
  const std::size_t Dot = ExtensionDot(Path);
  return std::string(Dot == std::string_view::npos ? Path : Path.substr(0, Dot));
}

std::string FileNamePart(std::string_view Path) {
  const std::size_t Slash = Path.rfind('/');
  return std::string(Slash == std::string_view::npos ? Path : Path.substr(Slash + 1));
}

std::string PathInFolder(std::string_view Folder, std::string_view SourcePath) {
  std::string Result(Folder);
  if (!Result.empty() && Result.back() != '/') Result += '/';
  return Result + FileNamePart(SourcePath);
}

std::string MakeOutputName(std::string_view Name, std::string_view Ext, std::string_view Label,
                           const TPathTaken& Taken) {
  const std::string Base = RemoveExtension(Name);
  std::string Candidate = Base + " (" + std::string(Label) + ")" + std::string(Ext);
  if (!Taken(Candidate)) return Candidate;
  // The counter runs until a free name turns up: returning a taken name would
  // overwrite someone's file.
  for (int64_t N = 1;; ++N) {
    Candidate =
        Base + " (" + std::string(Label) + " [" + std::to_string(N) + "])" + std::string(Ext);
    if (!Taken(Candidate)) return Candidate;
  }
}

std::string MakeOutputName(std::string_view Name, std::string_view Ext, std::string_view Label) {
  return MakeOutputName(Name, Ext, Label, PathTaken);
}

bool PathTaken(const std::string& Path) {
  struct stat Info;
  return ::lstat(Path.c_str(), &Info) == 0;
}

}  // namespace vexav::output
