// The exit banner's title fits its banner whole.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFontMetrics>

#include "window/Banner.h"

namespace vexav {
namespace {

TEST(WindowBanner, ExitTitleShrinksToFitInsteadOfBeingCut) {
  const QRect text = BannerTextRect(QRect(0, 0, kExitBannerWidth, kExitBannerHeight));
  QFont bold = QApplication::font();
  bold.setBold(true);
  const int size = FittingPixelSize(bold, ExitBannerTitle(), text.width(), 20);
  EXPECT_GT(size, 9);
  EXPECT_LE(size, 20);
  bold.setPixelSize(size);
  EXPECT_LE(QFontMetrics(bold).horizontalAdvance(ExitBannerTitle()), text.width());
  // A text that fits keeps the size asked for; one that cannot fit gets the
  // smallest.
  EXPECT_EQ(FittingPixelSize(bold, QStringLiteral("Bye"), text.width(), 20), 20);
  EXPECT_EQ(FittingPixelSize(bold, QString(400, u'W'), text.width(), 20), 9);
}

}  // namespace
}  // namespace vexav
