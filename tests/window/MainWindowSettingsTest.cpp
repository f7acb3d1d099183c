// Where the window keeps its settings: the user's own file, or a portable one
// beside the executable; two users apart; a file that cannot be written.
#include <QCheckBox>
#include <QFile>
#include <QFileInfo>

#include "MainWindowFixture.h"
#include "window/ConfigFile.h"

namespace vexav::test {
namespace {

QByteArray FileText(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(missing)");
}

TEST_F(WindowMain, PortableFileBesideTheExecutableIsKept) {
  const QString beside = AppFolder() + "/config.ini";
  ASSERT_TRUE(WriteConfig(beside, TWindowConfig{"/portable/out", true, 2}));
  {
    TfrmMain w(Dialogs, TMainWindowSetup{AppFolder(), HomeFolder()});
    EXPECT_EQ(w.ConfigFile(), beside);
    EXPECT_EQ(w.txtOutput->text(), "/portable/out");
    EXPECT_TRUE(w.chkSameFolder->isChecked());
    w.SetJobs(5);
    EXPECT_TRUE(w.close());
  }
  EXPECT_EQ(FileText(beside),
            "[Main]\nstrOutput=/portable/out\nbooSameFolder=1\nintJobs=5\n"
            "strFormat=MPEG-4 Video\nintMaxHeight=0\n");
  EXPECT_FALSE(QFileInfo::exists(Dir.path() + "/config"));
  EXPECT_EQ(Dialogs.Count("Warning"), 0);
}

TEST_F(WindowMain, TwoUsersKeepTheirOwnSettings) {
  // No XDG_CONFIG_HOME: each user's file is under their home folder, which
  // also holds their default output folder.
  Environment.Unset("XDG_CONFIG_HOME");
  const QString ann = Dir.path() + "/ann";
  const QString bob = Dir.path() + "/bob";
  const auto session = [&](const QString& home, const QString& expectedFolder, int expectedJobs,
                           const QString& chosenFolder, int chosenJobs) {
    Environment.Set("HOME", home);
    TfrmMain w(Dialogs, TMainWindowSetup{AppFolder(), QString()});
    EXPECT_EQ(w.ConfigFile(), home + "/.config/vexav/config.ini");
    EXPECT_EQ(w.txtOutput->text(), expectedFolder);
    EXPECT_EQ(w.Jobs(), expectedJobs);
    if (!chosenFolder.isEmpty()) {
      Dialogs.FolderToChoose = chosenFolder;
      w.btnFolderChangeClick();
      w.SetJobs(chosenJobs);
    }
    EXPECT_TRUE(w.close());
  };
  session(ann, ann + "/KorvelVideo", 1, "/ann/videos", 3);
  session(bob, bob + "/KorvelVideo", 1, "/bob/films", 2);
  session(ann, "/ann/videos", 3, QString(), 0);
  session(bob, "/bob/films", 2, QString(), 0);
  EXPECT_EQ(FileText(ann + "/.config/vexav/config.ini"),
            "[Main]\nstrOutput=/ann/videos\nbooSameFolder=0\nintJobs=3\n"
            "strFormat=MPEG-4 Video\nintMaxHeight=0\n");
  EXPECT_EQ(FileText(bob + "/.config/vexav/config.ini"),
            "[Main]\nstrOutput=/bob/films\nbooSameFolder=0\nintJobs=2\n"
            "strFormat=MPEG-4 Video\nintMaxHeight=0\n");
  EXPECT_FALSE(QFileInfo::exists(AppFolder() + "/config.ini"));
  EXPECT_EQ(Dialogs.Count("Warning"), 0);
}

TEST_F(WindowMain, SettingsThatCannotBeSavedAreSaidOnce) {
  // The configuration folder is a file: nobody, root included, can make
  // the folder vexav in it.
  const QString blocker = Dir.path() + "/blocker";
  QFile file(blocker);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.close();
  Environment.Set("XDG_CONFIG_HOME", blocker);

  TfrmMain w(Dialogs, TMainWindowSetup{AppFolder(), HomeFolder()});
  const QString config = blocker + "/vexav/config.ini";
  EXPECT_EQ(w.ConfigFile(), config);
  Dialogs.FolderToChoose = "/wanted";
  w.btnFolderChangeClick();
  w.show();
  EXPECT_TRUE(w.close());
  ASSERT_EQ(Dialogs.Texts("Warning"), QStringList({"The settings could not be saved in " + config +
                                                   ": " + blocker + ": Not a directory."}));
  // The window still closes as usual.
  EXPECT_FALSE(w.isVisible());
  EXPECT_EQ(Dialogs.Count("ShowExitBanner"), 1);

  // Closed again, it does not say it again.
  w.show();
  EXPECT_TRUE(w.close());
  EXPECT_EQ(Dialogs.Count("Warning"), 1);
  EXPECT_EQ(Dialogs.Count("ShowExitBanner"), 2);
}

}  // namespace
}  // namespace vexav::test
