// What the window says about files it cannot use: a source that cannot be
// opened, an output folder that cannot be written, an output that cannot be
// created, and the one "Error found" list of a Convert. Each text names the
// reason the file system or the probe gives, and a path once.
#pragma once

#include <QString>
#include <QStringList>
#include <string>

namespace vexav {

// Why a source cannot be listed: "no longer exists" when nothing is at path
// any more; otherwise "not a readable media file (" + the probe's error + ")",
// the probe's error without the path it starts with.
QString SourceProblem(const QString& path, const std::string& probeError);

// Why files cannot be written into folder: empty when they can; otherwise
// the system's words ("Not a directory", "Permission denied", "No such file
// or directory").
QString FolderProblem(const QString& folder);

// Makes folder with its missing parents, then checks it as FolderProblem
// does: empty when outputs can be written into it, else why not.
QString PrepareOutputFolder(const QString& folder);

// The error of an output that could not be set. The engine's "Could not open
// '<output>'" gets the reason its folder gives appended ("Could not open
// '/a/b.mp4': Not a directory"); other errors come back as they are.
QString OutputProblem(const QString& output, const QString& engineError);

// "Error found" and the files, one "path: reason" a line.
QString ErrorFoundText(const QStringList& failures);

}  // namespace vexav
