// What the window says about files it cannot use, checked against a real
// temporary folder.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include "QtPrinters.h"
#include "window/FileProblems.h"

namespace vexav::test {
namespace {

class WindowFileProblems : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Dir.isValid());
    QFile file(Path("file.txt"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("text");
  }
  QString Path(const QString& name) const { return Dir.path() + u'/' + name; }
  QTemporaryDir Dir;
};

TEST_F(WindowFileProblems, SourcesNameTheirPathOnce) {
  // Gone: said so, whatever the probe said.
  EXPECT_EQ(SourceProblem(Path("gone.avi"),
                          (Path("gone.avi") + ": no such file or directory").toStdString()),
            "no longer exists");
  // There but unreadable: the probe's words without the path.
  EXPECT_EQ(SourceProblem(Path("file.txt"), (Path("file.txt") + ": Unknown format").toStdString()),
            "not a readable media file (Unknown format)");
  EXPECT_EQ(SourceProblem(
                Path("file.txt"),
                (Path("file.txt") + ": I/O error occurred\r\nUsually that means x").toStdString()),
            "not a readable media file (I/O error occurred Usually that means x)");
  EXPECT_EQ(SourceProblem(Path("file.txt"), "could not find codec parameters"),
            "not a readable media file (could not find codec parameters)");
  EXPECT_EQ(SourceProblem(Path("file.txt"), ""), "not a readable media file");
}

TEST_F(WindowFileProblems, FoldersSayWhyNothingCanBeWritten) {
  EXPECT_EQ(FolderProblem(Dir.path()), "");
  EXPECT_EQ(FolderProblem(Path("missing")), "No such file or directory");
  EXPECT_EQ(FolderProblem(Path("file.txt")), "Not a directory");
  EXPECT_EQ(FolderProblem(Path("file.txt/below")), "Not a directory");

  // Made with its parents when missing.
  EXPECT_EQ(PrepareOutputFolder(Path("new/nested")), "");
  EXPECT_TRUE(QFileInfo(Path("new/nested")).isDir());
  EXPECT_EQ(PrepareOutputFolder(Path("new/nested")), "");
  EXPECT_EQ(PrepareOutputFolder(Path("file.txt/out")), "Not a directory");
  EXPECT_EQ(PrepareOutputFolder(Path("file.txt")), "Not a directory");
}

TEST_F(WindowFileProblems, OutputsThatCannotBeOpenedGetTheirFoldersReason) {
  const QString blocked = Path("file.txt/clip (MPEG-4 Video).mp4");
  EXPECT_EQ(OutputProblem(blocked, "Could not open '" + blocked + "'"),
            "Could not open '" + blocked + "': Not a directory");
  const QString missing = Path("missing/clip (MPEG-4 Video).mp4");
  EXPECT_EQ(OutputProblem(missing, "Could not open '" + missing + "'"),
            "Could not open '" + missing + "': No such file or directory");
  // The folder is fine: nothing to add. Other errors stay as they are.
  const QString fine = Path("clip (MPEG-4 Video).mp4");
  EXPECT_EQ(OutputProblem(fine, "Could not open '" + fine + "'"), "Could not open '" + fine + "'");
  EXPECT_EQ(OutputProblem(blocked, "Frame size must be a multiple of 2"),
            "Frame size must be a multiple of 2");

  EXPECT_EQ(ErrorFoundText({"/a.avi: no longer exists", "/b.avi: x"}),
            "Error found\n\n/a.avi: no longer exists\n/b.avi: x");
}

}  // namespace
}  // namespace vexav::test
