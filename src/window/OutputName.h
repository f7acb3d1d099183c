// The path parts of output naming for the window, with Qt's strings: thin
// adapters over the component's naming (component/OutputNaming.h). The
// output's own name, "clip (MPEG-4 Video).mp4" or with a counter when taken,
// is chosen and reserved by the batch layer (batch/OutputFiles.h), as for
// the command-line program. Paths use "/" as separator.
#pragma once

#include <QString>

namespace vexav {

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

}  // namespace vexav
