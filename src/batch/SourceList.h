// The sources of vexav-convert's default mode: the FILE arguments, folders
// among them standing for the media files inside, and the paths of a list
// file (--from-list).
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace vexav::batch {

struct SourceItem {
  std::string Path;
  // For a file found in a folder argument: the sub-folder of that folder
  // that holds it ("" directly inside). The output goes into the same
  // sub-folder of the output folder, so that the source tree is mirrored.
  std::string RelativeFolder;
};

// Reads one path a line from the file ListName, or from Stdin when ListName
// is "-". Empty lines are skipped and a line's final carriage return is
// dropped (lists written on Windows). False with Error when the list
// cannot be read.
bool ReadSourceList(const std::string& ListName, std::FILE* Stdin, std::vector<std::string>& Paths,
                    std::string& Error);

// Each argument that names a folder becomes the media files inside it
// (output::ListMediaFiles: recursively, sorted by name); any other argument
// stays as it is. A folder that cannot be read, or holds no media file,
// adds a line to Errors.
std::vector<SourceItem> ExpandSources(const std::vector<std::string>& Arguments,
                                      std::vector<std::string>& Errors);

}  // namespace vexav::batch
