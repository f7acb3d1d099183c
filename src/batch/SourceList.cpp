#include "batch/SourceList.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "component/SourceFolders.h"

namespace vexav::batch {

bool ReadSourceList(const std::string& ListName, std::FILE* Stdin, std::vector<std::string>& Paths,
                    std::string& Error) {
  std::FILE* In = ListName == "-" ? Stdin : std::fopen(ListName.c_str(), "rb");
  if (!In) {
    Error = ListName + ": cannot read the list: " + std::strerror(errno);
    return false;
  }
  std::string Line;
  auto EndLine = [&] {
    if (!Line.empty() && Line.back() == '\r') Line.pop_back();
    if (!Line.empty()) Paths.push_back(Line);
    Line.clear();
  };
  int C;
  while ((C = std::fgetc(In)) != EOF) {
    if (C == '\n')
      EndLine();
    else
      Line.push_back(static_cast<char>(C));
  }
  EndLine();
  const bool Failed = std::ferror(In) != 0;
  const int Code = errno;
  if (In != Stdin) std::fclose(In);
  if (Failed) {
    Error = ListName + ": cannot read the list: " + std::strerror(Code);
    return false;
  }
  return true;
}

std::vector<SourceItem> ExpandSources(const std::vector<std::string>& Arguments,
                                      std::vector<std::string>& Errors) {
  std::vector<SourceItem> Sources;
  for (const std::string& Argument : Arguments) {
    struct stat Info;
    if (::stat(Argument.c_str(), &Info) != 0 || !S_ISDIR(Info.st_mode)) {
      Sources.push_back({Argument, std::string()});
      continue;
    }
    std::string Error;
    const std::vector<output::TSourceFile> Files = output::ListMediaFiles(Argument, Error);
    if (!Error.empty()) Errors.push_back(Error);
    if (Files.empty() && Error.empty()) Errors.push_back(Argument + ": no media files in it");
    for (const output::TSourceFile& File : Files)
      Sources.push_back({File.Path, File.RelativeFolder});
  }
  return Sources;
}

}  // namespace vexav::batch
