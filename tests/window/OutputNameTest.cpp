#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QSet>
#include <QTemporaryDir>

#include "QtPrinters.h"
#include "window/Formats.h"
#include "window/OutputName.h"

namespace vexav {
namespace {

const QString kExt = QStringLiteral(".mp4");
const QString kLabel = QStringLiteral("MPEG-4 Video");

// A predicate over a fixed set of taken paths that records what it was asked.
struct TTakenNames {
  QSet<QString> Taken;
  QStringList Asked;
  TPathExists Predicate() {
    return [this](const QString& path) {
      Asked.append(path);
      return Taken.contains(path);
    };
  }
};

TEST(WindowOutputName, FreeNameIsBaseLabelAndExtension) {
  TTakenNames names;
  EXPECT_EQ(MakeOutputName("/out/clip.avi", kExt, kLabel, names.Predicate()),
            "/out/clip (MPEG-4 Video).mp4");
  EXPECT_EQ(names.Asked, QStringList{"/out/clip (MPEG-4 Video).mp4"});
}

TEST(WindowOutputName, TakenNamesGetOneThenTwo) {
  TTakenNames names;
  names.Taken.insert("/out/clip (MPEG-4 Video).mp4");
  EXPECT_EQ(MakeOutputName("/out/clip.avi", kExt, kLabel, names.Predicate()),
            "/out/clip (MPEG-4 Video [1]).mp4");
  names.Taken.insert("/out/clip (MPEG-4 Video [1]).mp4");
  EXPECT_EQ(MakeOutputName("/out/clip.avi", kExt, kLabel, names.Predicate()),
            "/out/clip (MPEG-4 Video [2]).mp4");
}

TEST(WindowOutputName, CounterSkipsEveryTakenName) {
  TTakenNames names;
  names.Taken.insert("/o/a (L).x");
  for (int n = 1; n <= 11; ++n) names.Taken.insert(QStringLiteral("/o/a (L [%1]).x").arg(n));
  EXPECT_EQ(MakeOutputName("/o/a.avi", ".x", "L", names.Predicate()), "/o/a (L [12]).x");
}

TEST(WindowOutputName, OnlyTheLastExtensionGoes) {
  TTakenNames names;
  EXPECT_EQ(MakeOutputName("/v/my.holiday.2024.avi", kExt, kLabel, names.Predicate()),
            "/v/my.holiday.2024 (MPEG-4 Video).mp4");
}

TEST(WindowOutputName, SpacesAndDotsInFoldersStay) {
  TTakenNames names;
  EXPECT_EQ(MakeOutputName("/home/a b/v1.0 files/my clip.avi", kExt, kLabel, names.Predicate()),
            "/home/a b/v1.0 files/my clip (MPEG-4 Video).mp4");
  EXPECT_EQ(MakeOutputName("/home/x.y/clip", kExt, kLabel, names.Predicate()),
            "/home/x.y/clip (MPEG-4 Video).mp4");
}

TEST(WindowOutputName, HiddenFileKeepsItsName) {
  TTakenNames names;
  EXPECT_EQ(MakeOutputName("/v/.clip", kExt, kLabel, names.Predicate()),
            "/v/.clip (MPEG-4 Video).mp4");
  EXPECT_EQ(MakeOutputName("/v/.clip.avi", kExt, kLabel, names.Predicate()),
            "/v/.clip (MPEG-4 Video).mp4");
}

TEST(WindowOutputName, LabelAndExtensionComeFromTheFormatItem) {
  TTakenNames names;
  const QString item = QLatin1String(kFormats[0].ItemText);
  EXPECT_EQ(
      MakeOutputName("/out/clip.avi", FormatExtension(item), FormatLabel(item), names.Predicate()),
      "/out/clip (MPEG-4 Video).mp4");
}

TEST(WindowOutputName, NonAsciiNamesPassThroughTheSharedNaming) {
  TTakenNames names;
  names.Taken.insert(QStringLiteral("/v/Zoë 日本 (MPEG-4 Video).mp4"));
  EXPECT_EQ(MakeOutputName(QStringLiteral("/v/Zoë 日本.avi"), kExt, kLabel, names.Predicate()),
            QStringLiteral("/v/Zoë 日本 (MPEG-4 Video [1]).mp4"));
  EXPECT_EQ(FileExtension(QStringLiteral("/v/é.ÀVI")), QStringLiteral(".ÀVI"));
  EXPECT_EQ(FileNamePart(QStringLiteral("/ü/日本.avi")), QStringLiteral("日本.avi"));
}

TEST(WindowOutputName, PathHelpers) {
  EXPECT_EQ(FileExtension("/a/clip.avi"), ".avi");
  EXPECT_EQ(FileExtension("/a.b/clip"), "");
  EXPECT_EQ(FileExtension("/a/.hidden"), "");
  EXPECT_EQ(FileExtension("/a/clip."), ".");
  EXPECT_EQ(RemoveExtension("/a/clip.tar.gz"), "/a/clip.tar");
  EXPECT_EQ(FileNamePart("/a/b/clip.avi"), "clip.avi");
  EXPECT_EQ(FileNamePart("clip.avi"), "clip.avi");
  EXPECT_EQ(PathInFolder("/out", "/in/clip.avi"), "/out/clip.avi");
  EXPECT_EQ(PathInFolder("/out/", "/in/clip.avi"), "/out/clip.avi");
  EXPECT_EQ(PathInFolder("/", "/in/clip.avi"), "/clip.avi");
}

TEST(WindowOutputName, FileSystemOverloadNeverReturnsAnExistingPath) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QString source = dir.path() + "/in dir/clip.avi";
  const QString name = PathInFolder(dir.path(), source);
  const QString first = MakeOutputName(name, kExt, kLabel);
  EXPECT_EQ(first, dir.path() + "/clip (MPEG-4 Video).mp4");

  // A file, a folder and a dangling link each take a name.
  QFile file(first);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.close();
  EXPECT_EQ(MakeOutputName(name, kExt, kLabel), dir.path() + "/clip (MPEG-4 Video [1]).mp4");
  ASSERT_TRUE(QDir(dir.path()).mkdir("clip (MPEG-4 Video [1]).mp4"));
  EXPECT_EQ(MakeOutputName(name, kExt, kLabel), dir.path() + "/clip (MPEG-4 Video [2]).mp4");
  ASSERT_TRUE(QFile::link(dir.path() + "/nowhere", dir.path() + "/clip (MPEG-4 Video [2]).mp4"));
  EXPECT_EQ(MakeOutputName(name, kExt, kLabel), dir.path() + "/clip (MPEG-4 Video [3]).mp4");
}

}  // namespace
}  // namespace vexav
