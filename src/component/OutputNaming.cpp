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

// Base + " (" + Label + Counter + ")" + Ext, with the last path component of
// Base shortened so that the whole last component fits in kMaxFileNameBytes.
// The cut falls on a UTF-8 character boundary (never before a continuation
// byte), so a shortened name stays valid UTF-8 when it was. When the label,
// counter and extension alone do not fit, the base is cut to nothing and the
// name stays too long: creating it then fails with the system's own reason.
std::string Compose(const std::string& Base, std::string_view Label, std::string_view Counter,
                    std::string_view Ext) {
  std::string Tail = " (" + std::string(Label) + std::string(Counter) + ")" + std::string(Ext);
  const std::size_t Slash = Base.rfind('/');
  const std::size_t NameStart = Slash == std::string::npos ? 0 : Slash + 1;
  const std::size_t NameBytes = Base.size() - NameStart;
  if (NameBytes + Tail.size() <= kMaxFileNameBytes) return Base + Tail;
  std::size_t Keep = Tail.size() >= kMaxFileNameBytes ? 0 : kMaxFileNameBytes - Tail.size();
  while (Keep > 0 && (static_cast<unsigned char>(Base[NameStart + Keep]) & 0xC0) == 0x80) --Keep;
  return Base.substr(0, NameStart + Keep) + Tail;
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
  std::string Candidate = Compose(Base, Label, "", Ext);
  if (!Taken(Candidate)) return Candidate;
  // The counter runs until a free name turns up: returning a taken name would
  // overwrite someone's file.
  for (int64_t N = 1;; ++N) {
    Candidate = Compose(Base, Label, " [" + std::to_string(N) + "]", Ext);
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
