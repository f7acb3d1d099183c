// Output file naming: an output is named after its source, as in
// "clip (MPEG-4 Video).mp4", and gets a counter, "clip (MPEG-4 Video [1]).mp4",
// "[2]" and so on, when the name is taken. Paths use "/" as separator and are
// byte strings (UTF-8 file names pass through unchanged). The window and the
// command-line program both name their outputs with these functions.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "Export.h"

namespace vexav::output {

// Answers whether something (file, folder or link) already has this path.
using TPathTaken = std::function<bool(const std::string&)>;

// The extension of the last path component, dot included (".avi"); empty when
// that component has no dot. A leading dot alone marks a hidden file, not an
// extension: ".profile" has none. "clip." gives ".".
VEXAV_API std::string FileExtension(std::string_view Path);

// The path without the extension FileExtension finds.
VEXAV_API std::string RemoveExtension(std::string_view Path);

// The last path component (the text after the last "/").
VEXAV_API std::string FileNamePart(std::string_view Path);

// Folder + "/" + the file name of SourcePath, with no doubled "/" when the
// folder already ends in one. An empty folder gives the bare file name (a
// path relative to the current directory).
VEXAV_API std::string PathInFolder(std::string_view Folder, std::string_view SourcePath);

// The most bytes one path component (a file name) may have on the file
// systems in use (NAME_MAX).
inline constexpr std::size_t kMaxFileNameBytes = 255;

// Base + " (" + Label + ")" + Ext, where Base is Name without its extension;
// when that path is taken, the first Base + " (" + Label + " [n])" + Ext with
// n = 1, 2, ... that is not. Never returns a path for which Taken is true.
// When the file name (the last path component) would exceed
// kMaxFileNameBytes, the base's file name is shortened, at a UTF-8 character
// boundary, so that it fits; label, counter and extension are kept whole.
VEXAV_API std::string MakeOutputName(std::string_view Name, std::string_view Ext,
                                     std::string_view Label, const TPathTaken& Taken);

// The same, asking the file system (PathTaken).
VEXAV_API std::string MakeOutputName(std::string_view Name, std::string_view Ext,
                                     std::string_view Label);

// Whether the file system has an entry of this path: a file, a folder, or a
// symbolic link, dangling ones included, since writing through a link would
// create a file elsewhere. A path that cannot be looked at (a folder without
// search permission) counts as free: creating it fails later with the real
// reason, while counting it as taken would make the counter run forever.
VEXAV_API bool PathTaken(const std::string& Path);

}  // namespace vexav::output
