#include "window/OutputName.h"

#include <QFileInfo>

namespace vexav {

namespace {

// Index of the dot that starts the extension of the last path component, or
// -1 when it has none.
qsizetype ExtensionDot(const QString& path) {
  const qsizetype nameStart = path.lastIndexOf(u'/') + 1;
  const qsizetype dot = path.lastIndexOf(u'.');
  if (dot <= nameStart) return -1;  // no dot in the name, or only a leading one
  return dot;
}

}  // namespace

QString FileExtension(const QString& path) {
  const qsizetype dot = ExtensionDot(path);
  return dot < 0 ? QString() : path.mid(dot);
}

QString RemoveExtension(const QString& path) {
  const qsizetype dot = ExtensionDot(path);
  return dot < 0 ? path : path.left(dot);
}

QString FileNamePart(const QString& path) {
  return path.mid(path.lastIndexOf(u'/') + 1);
}

QString PathInFolder(const QString& folder, const QString& sourcePath) {
  QString result = folder;
  if (!result.endsWith(u'/')) result += u'/';
  return result + FileNamePart(sourcePath);
}

QString MakeOutputName(const QString& name, const QString& ext, const QString& label,
                       const TPathExists& exists) {
  const QString base = RemoveExtension(name);
  const QString first = base + QStringLiteral(" (") + label + u')' + ext;
  if (!exists(first)) return first;
  // The counter runs until a free name turns up: returning a taken name would
  // overwrite someone's file.
  for (qint64 n = 1;; ++n) {
    const QString candidate = base + QStringLiteral(" (") + label + QStringLiteral(" [") +
                              QString::number(n) + QStringLiteral("])") + ext;
    if (!exists(candidate)) return candidate;
  }
}

bool PathExists(const QString& path) {
  const QFileInfo info(path);
  return info.exists() || info.isSymLink();
}

QString MakeOutputName(const QString& name, const QString& ext, const QString& label) {
  return MakeOutputName(name, ext, label, PathExists);
}

}  // namespace vexav
