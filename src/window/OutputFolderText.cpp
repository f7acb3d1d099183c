#include "window/OutputFolderText.h"

#include <QDir>

namespace vexav {

QString TypedOutputFolder(const QString& text, const QString& homeFolder) {
  QString path = QDir::fromNativeSeparators(text.trimmed());
  if (path.isEmpty()) return QString();
  if (path == u'~')
    path = homeFolder;
  else if (path.startsWith(QStringLiteral("~/")))
    path = homeFolder + path.mid(1);
  else if (!path.startsWith(u'/'))
    path = homeFolder + u'/' + path;
  return QDir::cleanPath(path);
}

}  // namespace vexav
