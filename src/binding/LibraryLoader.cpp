#include "binding/LibraryLoader.h"

#include <dlfcn.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>

namespace vexav::binding {
namespace {

std::string Upper(std::string Text) {
  std::transform(Text.begin(), Text.end(), Text.begin(),
                 [](unsigned char C) { return static_cast<char>(std::toupper(C)); });
  return Text;
}

bool IsRegularFile(const std::string& Path) {
  struct stat St {};
  return ::stat(Path.c_str(), &St) == 0 && S_ISREG(St.st_mode);
}

bool IsFolder(const std::string& Path) {
  struct stat St {};
  return ::stat(Path.c_str(), &St) == 0 && S_ISDIR(St.st_mode);
}

std::string LastLoaderError() {
  const char* Text = ::dlerror();
  return Text ? Text : "unknown loader error";
}

}  // namespace

void PutFolderInPath(const std::string& Folder) {
  if (Folder.empty()) return;
  const char* Old = ::getenv("PATH");
  std::string OldPath = Old ? Old : "";
  if (Upper(OldPath).find(Upper(Folder)) != std::string::npos) return;
  std::string NewPath = OldPath.empty() ? Folder : Folder + ":" + OldPath;
  ::setenv("PATH", NewPath.c_str(), 1);
}

std::string JoinPath(const std::string& Folder, const std::string& FileName) {
  if (Folder.empty()) return FileName;
  if (Folder.back() == '/') return Folder + FileName;
  return Folder + "/" + FileName;
}

const char* InstalledLibraryFolderFromPrograms() {
  return VEXAV_INSTALLED_LIB_FOLDER;
}

std::string ProgramLibraryFolder(const std::string& ExecutableFolder) {
  if (ExecutableFolder.empty()) return std::string();
  const std::string Beside = JoinPath(ExecutableFolder, "lib");
  if (IsFolder(Beside)) return Beside;
  // "/usr/bin/../lib/x86_64-linux-gnu/vexav" is said as
  // "/usr/lib/x86_64-linux-gnu/vexav": the executable's folder is the
  // resolved one, so dropping "bin/.." changes nothing but the text.
  const std::string Installed =
      std::filesystem::path(JoinPath(ExecutableFolder, InstalledLibraryFolderFromPrograms()))
          .lexically_normal()
          .string();
  return IsFolder(Installed) ? Installed : Beside;
}

void* LoadLibraryFromFolder(const std::string& Folder, const std::string& FileName,
                            std::string& ErrorText) {
  std::string Target = FileName;
  if (!Folder.empty()) {
    PutFolderInPath(Folder);
    std::string InFolder = JoinPath(Folder, FileName);
    if (IsRegularFile(InFolder)) Target = InFolder;
  }
  ::dlerror();
  void* Handle = ::dlopen(Target.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!Handle) ErrorText = LastLoaderError();
  return Handle;
}

void* LoadLibraryByPath(const std::string& Path, std::string& ErrorText) {
  ::dlerror();
  void* Handle = ::dlopen(Path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!Handle) ErrorText = LastLoaderError();
  return Handle;
}

void* ResolveSymbol(void* Handle, const char* Name, std::string& ErrorText) {
  ::dlerror();
  void* Address = ::dlsym(Handle, Name);
  if (!Address) ErrorText = LastLoaderError();
  return Address;
}

void FreeLibrary(void* Handle) {
  if (Handle) ::dlclose(Handle);
}

}  // namespace vexav::binding
