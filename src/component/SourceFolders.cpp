#include "component/SourceFolders.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "component/OutputNaming.h"
#include "component/Presets.h"

namespace vexav::output {
namespace {

namespace fs = std::filesystem;

// Folder + "/" + Name, without doubling the "/" of the root folder.
std::string Join(const std::string& Folder, const std::string& Name) {
  return Folder.back() == '/' ? Folder + Name : Folder + "/" + Name;
}

// Adds the media files of Folder (whose path inside the given folder is
// Relative) to Files and walks its sub-folders. Sets Error for the first
// folder that cannot be read.
void Walk(const std::string& Folder, const std::string& Relative, std::vector<TSourceFile>& Files,
          std::string& Error) {
  std::error_code Code;
  fs::directory_iterator It(Folder, Code);
  if (Code) {
    if (Error.empty()) Error = Folder + ": " + Code.message();
    return;
  }
  std::vector<std::string> SubFolders;
  for (const fs::directory_iterator End; It != End; It.increment(Code)) {
    const std::string Name = It->path().filename().string();
    if (Name.empty() || Name[0] == '.') continue;
    const std::string Path = Join(Folder, Name);
    std::error_code StatusCode;
    const fs::file_status Own = It->symlink_status(StatusCode);
    if (StatusCode) continue;
    if (fs::is_directory(Own)) {
      SubFolders.push_back(Name);
      continue;
    }
    // A link counts by what it names: a file is listed, a folder is not
    // walked.
    if (!fs::is_regular_file(It->status(StatusCode)) || StatusCode) continue;
    if (IsMediaExtension(FileExtension(Name))) Files.push_back({Path, Relative});
  }
  if (Code && Error.empty()) Error = Folder + ": " + Code.message();
  for (const std::string& Sub : SubFolders)
    Walk(Join(Folder, Sub), Relative.empty() ? Sub : Relative + "/" + Sub, Files, Error);
}

}  // namespace

std::vector<TSourceFile> ListMediaFiles(const std::string& Folder, std::string& Error) {
  Error.clear();
  std::vector<TSourceFile> Files;
  std::string Root = Folder;
  while (Root.size() > 1 && Root.back() == '/') Root.pop_back();
  std::error_code Code;
  if (!fs::is_directory(Root, Code)) {
    Error = Folder + ": " + (Code ? Code.message() : std::string("not a folder"));
    return Files;
  }
  Walk(Root, "", Files, Error);
  std::sort(Files.begin(), Files.end(),
            [](const TSourceFile& A, const TSourceFile& B) { return A.Path < B.Path; });
  return Files;
}

}  // namespace vexav::output
