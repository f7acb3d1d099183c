// A QApplication on Qt's offscreen platform for the whole test program, so
// that painting tests need no display. Registered as a GoogleTest global
// environment: it is made before the first test and ended after the last.
#include <gtest/gtest.h>

#include <QApplication>
#include <memory>

namespace {

class TOffscreenApplication : public ::testing::Environment {
 public:
  void SetUp() override {
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
};

[[maybe_unused]] ::testing::Environment* const kOffscreenApplication =
    ::testing::AddGlobalTestEnvironment(new TOffscreenApplication);

}  // namespace
