// Where the window keeps config.ini. An installed program cannot write beside
// its executable (/usr/bin), and every user of a machine wants settings of
// their own, so the file lives in the user's configuration folder, as the XDG
// base directory rules place it:
//
//   $XDG_CONFIG_HOME/vexav/config.ini     (by default ~/.config/vexav/config.ini)
//
// A config.ini beside the executable is still used when one is there: a
// portable copy carries its settings along, and the build tree keeps working
// as it did.
#pragma once

#include <QString>

namespace vexav {

// The folder under the configuration folder that holds the window's file.
inline constexpr char kConfigFolderName[] = "vexav";

// The settings file for an executable in appFolder: appFolder/config.ini when
// that is a file; otherwise xdgConfigHome/vexav/config.ini when xdgConfigHome
// is an absolute path (the XDG rules ignore an empty or relative one);
// otherwise homeFolder/.config/vexav/config.ini.
QString ChooseConfigFile(const QString& appFolder, const QString& xdgConfigHome,
                         const QString& homeFolder);

// The user's home folder: $HOME when it is an absolute path, otherwise the
// home folder of the user's account (the password database), otherwise "/".
QString UserHomeFolder();

// ChooseConfigFile with this process's XDG_CONFIG_HOME and UserHomeFolder().
QString UserConfigFile(const QString& appFolder);

// The lines of --help that say which file the program uses and why.
QString ConfigFileHelp(const QString& configFile);

}  // namespace vexav
