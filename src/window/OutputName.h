// Output file naming for the window, with Qt's strings: thin adapters over
// the component's naming (component/OutputNaming.h), which the command-line
// program uses too. An output is named after its source, as in
// "clip (MPEG-4 Video).mp4", and gets a counter, "clip (MPEG-4 Video [1]).mp4",
// "[2]" and so on, when the name is taken. Paths use "/" as separator.
#pragma once

#include <QString>
#include <functional>

namespace vexav {

// Answers whether something (file, folder or link) already has this path.
using TPathExists = std::function<bool(const QString&)>;

// The extension of the last path component, dot included (".avi"); empty when
// that component has no dot. A leading dot alone marks a hidden file, not an
// extension: ".profile" has none. "clip." gives ".".
QString FileExtension(const QString& path);

// The path without the extension FileExtension finds.
QString RemoveExtension(const QString& path);

// The last path component (the text after the last "/").
QString FileNamePart(const QString& path);

// folder + "/" + the file name of sourcePath, with no doubled "/" when the
// folder already ends in one.
QString PathInFolder(const QString& folder, const QString& sourcePath);

// Base + " (" + label + ")" + ext, where Base is name without its extension;
// when that path exists, the first Base + " (" + label + " [n])" + ext with
// n = 1, 2, ... that does not. Never returns a path for which exists() is true.
QString MakeOutputName(const QString& name, const QString& ext, const QString& label,
                       const TPathExists& exists);

// The same, asking the file system. A dangling symbolic link counts as taken,
// since writing through it would create a file elsewhere.
QString MakeOutputName(const QString& name, const QString& ext, const QString& label);

// The file-system test the overload above uses.
bool PathExists(const QString& path);

}  // namespace vexav
