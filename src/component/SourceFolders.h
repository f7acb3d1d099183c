// Folders given as sources: the media files inside them, found recursively,
// for the window's Add and drop and for vexav-convert's folder arguments.
#pragma once

#include <string>
#include <vector>

namespace vexav::output {

struct TSourceFile {
  std::string Path;            // the folder given, "/", then the path inside it
  std::string RelativeFolder;  // the sub-folder holding the file ("" directly inside)
};

// The media files inside Folder and its sub-folders, sorted by Path in byte
// order. A media file is a regular file (or a link to one) whose extension is,
// ignoring case, a known video or audio extension (IsMediaExtension). Entries
// whose names begin with "." are skipped, and links to folders are not
// followed, so that a link cannot make the walk go round in a loop.
// Error is empty when everything could be read. When Folder itself cannot be
// read, the list is empty and Error says why; when only some sub-folder
// cannot, Error names the first one and the files found elsewhere are still
// listed.
std::vector<TSourceFile> ListMediaFiles(const std::string& Folder, std::string& Error);

}  // namespace vexav::output
