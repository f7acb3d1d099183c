// A QApplication on Qt's offscreen platform for the whole test program, so
// that painting tests need no display. Registered as a GoogleTest global
// environment: it is made before the first test and ended after the last.
// XDG_CONFIG_HOME points into a folder of the test program's own, so that a
// window made by a test never reads or writes the settings of the user who
// runs the tests (tests that need a folder of their own set another).
#include <gtest/gtest.h>

#include <QApplication>
#include <QFile>
#include <QTemporaryDir>
#include <memory>

namespace {

class TOffscreenApplication : public ::testing::Environment {
 public:
  void SetUp() override {
    ASSERT_TRUE(ConfigHome.isValid());
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(ConfigHome.path()));
    qputenv("QT_QPA_PLATFORM", "offscreen");
    App = std::make_unique<QApplication>(Argc, Argv);
  }
  void TearDown() override { App.reset(); }

 private:
  // QApplication keeps references to these for its whole life.
  int Argc = 1;
  char Name[20] = "window_paint_tests";
  char* Argv[2] = {Name, nullptr};
  std::unique_ptr<QApplication> App;
  QTemporaryDir ConfigHome;
};

[[maybe_unused]] ::testing::Environment* const kOffscreenApplication =
    ::testing::AddGlobalTestEnvironment(new TOffscreenApplication);

}  // namespace
