#include "window/ConfigLocation.h"

#include <pwd.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <vector>

#include "window/ConfigFile.h"

namespace vexav {

namespace {

QString WithoutTrailingSlash(QString path) {
  while (path.size() > 1 && path.endsWith(u'/')) path.chop(1);
  return path;
}

QString JoinPath(const QString& folder, const QString& name) {
  return folder.endsWith(u'/') ? folder + name : folder + u'/' + name;
}

// The home folder of the account running the program, or "" when the
// password database has none.
QString AccountHomeFolder() {
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found ||
      !found->pw_dir)
    return QString();
  return QFile::decodeName(found->pw_dir);
}

}  // namespace

QString ChooseConfigFile(const QString& appFolder, const QString& xdgConfigHome,
                         const QString& homeFolder) {
  const QString beside = ConfigFilePath(appFolder);
  if (QFileInfo(beside).isFile()) return beside;
  const QString base = QDir::isAbsolutePath(xdgConfigHome)
                           ? WithoutTrailingSlash(xdgConfigHome)
                           : JoinPath(WithoutTrailingSlash(homeFolder), QStringLiteral(".config"));
  return JoinPath(JoinPath(base, QLatin1String(kConfigFolderName)), QLatin1String(kConfigFileName));
}

QString UserHomeFolder() {
  const QString home = qEnvironmentVariable("HOME");
  if (QDir::isAbsolutePath(home)) return WithoutTrailingSlash(home);
  const QString account = AccountHomeFolder();
  if (QDir::isAbsolutePath(account)) return WithoutTrailingSlash(account);
  return QStringLiteral("/");
}

QString UserConfigFile(const QString& appFolder) {
  return ChooseConfigFile(appFolder, qEnvironmentVariable("XDG_CONFIG_HOME"), UserHomeFolder());
}

QString ConfigFileHelp(const QString& configFile) {
  return QStringLiteral(
             "Settings file: %1\n"
             "  (config.ini beside the program when there is one; otherwise\n"
             "  $XDG_CONFIG_HOME/vexav/config.ini, by default ~/.config/vexav/config.ini)\n")
      .arg(configFile);
}

}  // namespace vexav
