#include "window/FileProblems.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace vexav {

namespace {

QString SystemText(int code) {
  return QString::fromLocal8Bit(std::strerror(code));
}

}  // namespace

QString SourceProblem(const QString& path, const std::string& probeError) {
  // A dangling link counts as gone too: there is nothing to read.
  if (!QFileInfo::exists(path)) return QStringLiteral("no longer exists");
  QString reason = QString::fromStdString(probeError);
  const QString prefix = path + QStringLiteral(": ");
  if (reason.startsWith(prefix)) reason.remove(0, prefix.size());
  // Some of the library's texts run over two lines; here they are one.
  reason.replace(QStringLiteral("\r\n"), QStringLiteral(" "));
  if (reason.isEmpty()) return QStringLiteral("not a readable media file");
  return QStringLiteral("not a readable media file (") + reason + u')';
}

QString FolderProblem(const QString& folder) {
  const QByteArray name = QFile::encodeName(folder);
  struct stat info;
  if (::stat(name.constData(), &info) != 0) return SystemText(errno);
  if (!S_ISDIR(info.st_mode)) return SystemText(ENOTDIR);
  if (::access(name.constData(), W_OK | X_OK) != 0) return SystemText(errno);
  return QString();
}

QString PrepareOutputFolder(const QString& folder) {
  const std::filesystem::path path(QFile::encodeName(folder).toStdString());
  std::error_code error;
  if (!std::filesystem::is_directory(path, error)) {
    std::filesystem::create_directories(path, error);
    if (error) return SystemText(error.value());
  }
  return FolderProblem(folder);
}

QString OutputProblem(const QString& output, const QString& engineError) {
  if (engineError != QStringLiteral("Could not open '%1'").arg(output)) return engineError;
  const QString reason = FolderProblem(QFileInfo(output).absolutePath());
  return reason.isEmpty() ? engineError : engineError + QStringLiteral(": ") + reason;
}

QString ErrorFoundText(const QStringList& failures) {
  return QStringLiteral("Error found\n\n") + failures.join(u'\n');
}

}  // namespace vexav
