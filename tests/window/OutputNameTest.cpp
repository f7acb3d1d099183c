// The window's path helpers over the shared naming. (The output names
// themselves: tests/component/OutputNamingTest and tests/batch.)
#include <gtest/gtest.h>

#include "QtPrinters.h"
#include "window/OutputName.h"

namespace vexav {
namespace {

TEST(WindowOutputName, NonAsciiNamesPassThroughTheSharedNaming) {
  EXPECT_EQ(FileExtension(QStringLiteral("/v/é.ÀVI")), QStringLiteral(".ÀVI"));
  EXPECT_EQ(FileNamePart(QStringLiteral("/ü/日本.avi")), QStringLiteral("日本.avi"));
  EXPECT_EQ(PathInFolder(QStringLiteral("/v"), QStringLiteral("/ü/Zoë 日本.avi")),
            QStringLiteral("/v/Zoë 日本.avi"));
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

}  // namespace
}  // namespace vexav
