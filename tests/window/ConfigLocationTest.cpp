// Where the window's settings live, and writing them where no folder is yet.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include "QtPrinters.h"
#include "ScopedEnvironment.h"
#include "window/ConfigFile.h"
#include "window/ConfigLocation.h"

namespace vexav {
namespace {

using test::TScopedEnvironment;

class WindowConfigLocation : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Dir.isValid());
    ASSERT_TRUE(QDir(Dir.path()).mkpath("app"));
  }
  QString App() const { return Dir.path() + "/app"; }

  QTemporaryDir Dir;
};

TEST_F(WindowConfigLocation, UserFileByTheXdgRules) {
  // XDG_CONFIG_HOME set: the folder vexav under it.
  EXPECT_EQ(ChooseConfigFile(App(), "/cfg", "/home/ann"), "/cfg/vexav/config.ini");
  EXPECT_EQ(ChooseConfigFile(App(), "/cfg/", "/home/ann"), "/cfg/vexav/config.ini");
  // Unset, empty or relative (which the rules say to ignore): under the home
  // folder's .config.
  EXPECT_EQ(ChooseConfigFile(App(), "", "/home/ann"), "/home/ann/.config/vexav/config.ini");
  EXPECT_EQ(ChooseConfigFile(App(), QString(), "/home/ann/"), "/home/ann/.config/vexav/config.ini");
  EXPECT_EQ(ChooseConfigFile(App(), "cfg", "/home/ann"), "/home/ann/.config/vexav/config.ini");
  EXPECT_EQ(ChooseConfigFile(App(), "", "/"), "/.config/vexav/config.ini");
}

TEST_F(WindowConfigLocation, FileBesideTheExecutableWinsWhenThere) {
  // A folder of that name is no settings file.
  ASSERT_TRUE(QDir(App()).mkdir("config.ini"));
  EXPECT_EQ(ChooseConfigFile(App(), "/cfg", "/home/ann"), "/cfg/vexav/config.ini");
  ASSERT_TRUE(QDir(App()).rmdir("config.ini"));

  ASSERT_TRUE(WriteConfig(App() + "/config.ini", {"/portable", false, 1}));
  EXPECT_EQ(ChooseConfigFile(App(), "/cfg", "/home/ann"), App() + "/config.ini");
  EXPECT_EQ(ChooseConfigFile(App() + "/", "", "/home/ann"), App() + "/config.ini");
}

TEST_F(WindowConfigLocation, TheProcessEnvironmentDecides) {
  TScopedEnvironment environment;
  environment.Set("XDG_CONFIG_HOME", Dir.path() + "/xdg");
  environment.Set("HOME", Dir.path() + "/ann");
  EXPECT_EQ(UserHomeFolder(), Dir.path() + "/ann");
  EXPECT_EQ(UserConfigFile(App()), Dir.path() + "/xdg/vexav/config.ini");

  // HOME only.
  environment.Unset("XDG_CONFIG_HOME");
  EXPECT_EQ(UserConfigFile(App()), Dir.path() + "/ann/.config/vexav/config.ini");

  // Without HOME (or with a relative one), the account's own home folder.
  const passwd* account = ::getpwuid(::getuid());
  ASSERT_NE(account, nullptr);
  const QString accountHome = QDir::cleanPath(QFile::decodeName(account->pw_dir));
  environment.Unset("HOME");
  EXPECT_EQ(UserHomeFolder(), accountHome);
  environment.Set("HOME", "relative/home");
  EXPECT_EQ(UserHomeFolder(), accountHome);
  EXPECT_EQ(UserConfigFile(App()), QDir(accountHome).filePath(".config/vexav/config.ini"));
}

TEST_F(WindowConfigLocation, WritingMakesTheFolderForTheUserAlone) {
  const QString file = Dir.path() + "/home/.config/vexav/config.ini";
  QString problem = "untouched";
  ASSERT_TRUE(WriteConfig(file, {"/out", true, 2}, &problem));
  EXPECT_EQ(problem, "untouched");
  EXPECT_EQ(ReadConfig(file, "/home/x"), (TWindowConfig{"/out", true, 2}));
  for (const QString& folder :
       {Dir.path() + "/home", Dir.path() + "/home/.config", Dir.path() + "/home/.config/vexav"}) {
    struct stat info;
    ASSERT_EQ(::stat(QFile::encodeName(folder).constData(), &info), 0) << folder.toStdString();
    EXPECT_EQ(info.st_mode & 07777, 0700u) << folder.toStdString();
  }
  // A folder that is there keeps its mode.
  ASSERT_TRUE(QFile::setPermissions(
      Dir.path() + "/home/.config/vexav",
      QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup | QFile::ExeGroup));
  ASSERT_TRUE(WriteConfig(file, {"/again", false, 1}));
  EXPECT_EQ(QFileInfo(Dir.path() + "/home/.config/vexav").permissions() & QFile::ReadGroup,
            QFile::ReadGroup);
}

TEST_F(WindowConfigLocation, WhyAFileCannotBeWritten) {
  // A file where a folder should be: even root cannot make a folder in it.
  QFile blocker(Dir.path() + "/blocker");
  ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
  blocker.close();
  QString problem;
  EXPECT_FALSE(WriteConfig(Dir.path() + "/blocker/vexav/config.ini", {"/o", false, 1}, &problem));
  EXPECT_EQ(problem, Dir.path() + "/blocker: Not a directory");
  EXPECT_FALSE(QFileInfo::exists(Dir.path() + "/blocker/vexav"));

  ASSERT_TRUE(QDir(Dir.path()).mkpath("cfg/config.ini"));  // a folder where the file should be
  problem.clear();
  EXPECT_FALSE(WriteConfig(Dir.path() + "/cfg/config.ini", {"/o", false, 1}, &problem));
  EXPECT_FALSE(problem.isEmpty());

  problem.clear();
  EXPECT_FALSE(WriteConfig(Dir.path() + "/ok.ini", {"/a\nb", false, 1}, &problem));
  EXPECT_EQ(problem, "the output folder's name holds a line break");
}

TEST(WindowConfigHelp, NamesTheFileAndTheRule) {
  const QString help = ConfigFileHelp("/home/ann/.config/vexav/config.ini");
  EXPECT_TRUE(help.startsWith("Settings file: /home/ann/.config/vexav/config.ini\n"))
      << help.toStdString();
  EXPECT_TRUE(help.contains("$XDG_CONFIG_HOME/vexav/config.ini")) << help.toStdString();
  EXPECT_TRUE(help.contains("~/.config/vexav/config.ini")) << help.toStdString();
}

}  // namespace
}  // namespace vexav
