#include <gtest/gtest.h>

#include <QFontMetrics>

#include "PixelChecks.h"
#include "window/ProgressCellPainter.h"
#include "window/StatusCell.h"

namespace vexav {
namespace {

using test::CheckProgressCell;
using test::Render;

// The Status column's width in the window, and a usual row height.
const QRect kWideCell(0, 0, 199, 22);
// A narrow cell, where the centred text crosses the split at 37%.
const QRect kNarrowCell(0, 0, 60, 22);

QRgb At(const QImage& image, int x, int y) {
  return image.pixel(x, y) & RGB_MASK;
}
constexpr QRgb Rgb(QRgb c) {
  return c & RGB_MASK;
}

QImage RenderProgress(const QRect& cell, int percent) {
  return Render(cell.size(), [&](QPainter& p) { PaintProgressCell(p, cell, percent); });
}

// Where the split falls, for the edge checks below.
int Split(const QRect& cell, int percent) {
  const QRect bar = ProgressBarRect(cell);
  return bar.left() + DonePartWidth(bar.width(), percent);
}

TEST(WindowProgressCell, BarIsTheCellInsetByTwo) {
  EXPECT_EQ(ProgressBarRect(kWideCell), QRect(2, 2, 195, 18));
  EXPECT_EQ(ProgressBarRect(QRect(10, 40, 199, 22)), QRect(12, 42, 195, 18));
}

TEST(WindowProgressCell, ZeroPercentIsAllWhiteWithNavyText) {
  const QImage image = RenderProgress(kWideCell, 0);
  const auto count = CheckProgressCell(image, kWideCell, 0);
  EXPECT_EQ(count.DoneText, 0);
  EXPECT_GT(count.RestText, 10);
  EXPECT_EQ(At(image, 2, 2), Rgb(kProgressRestFill));
  EXPECT_EQ(At(image, 2, 11), Rgb(kProgressRestFill));
  EXPECT_EQ(At(image, 196, 19), Rgb(kProgressRestFill));
}

TEST(WindowProgressCell, ThirtySevenPercentSplitsSkyBlueAndWhite) {
  const QImage image = RenderProgress(kWideCell, 37);
  const int split = Split(kWideCell, 37);
  EXPECT_EQ(split, 2 + 72);  // 195 × 37 / 100 = 72.15
  for (int y = 2; y <= 19; ++y) {
    EXPECT_EQ(At(image, 2, y), Rgb(kProgressDoneFill)) << y;
    EXPECT_EQ(At(image, split - 1, y), Rgb(kProgressDoneFill)) << y;
    EXPECT_EQ(At(image, split, y), Rgb(kProgressRestFill)) << y;
    EXPECT_EQ(At(image, 196, y), Rgb(kProgressRestFill)) << y;
  }
  const auto count = CheckProgressCell(image, kWideCell, 37);
  // "37%" is centred at x = 99, well right of the split: all of it is navy.
  EXPECT_EQ(count.DoneText, 0);
  EXPECT_GT(count.RestText, 10);
}

TEST(WindowProgressCell, TextCrossingTheSplitIsBlackThenNavy) {
  const QImage image = RenderProgress(kNarrowCell, 37);
  const int split = Split(kNarrowCell, 37);
  EXPECT_EQ(split, 2 + 21);  // 56 × 37 / 100 = 20.72
  const QFontMetrics metrics(test::CellFont());
  const int textWidth = metrics.horizontalAdvance(QStringLiteral("37%"));
  ASSERT_LT(30 - textWidth / 2, split - 3);  // the text does cross the split
  ASSERT_GT(30 + textWidth / 2, split + 3);
  EXPECT_EQ(At(image, 2, 2), Rgb(kProgressDoneFill));
  EXPECT_EQ(At(image, split - 1, 2), Rgb(kProgressDoneFill));
  EXPECT_EQ(At(image, split, 2), Rgb(kProgressRestFill));
  const auto count = CheckProgressCell(image, kNarrowCell, 37);
  EXPECT_GT(count.DoneText, 5);
  EXPECT_GT(count.RestText, 5);
}

TEST(WindowProgressCell, HundredPercentIsAllSkyBlueWithBlackText) {
  const QImage image = RenderProgress(kWideCell, 100);
  EXPECT_EQ(At(image, 2, 2), Rgb(kProgressDoneFill));
  EXPECT_EQ(At(image, 196, 19), Rgb(kProgressDoneFill));
  const auto count = CheckProgressCell(image, kWideCell, 100);
  EXPECT_GT(count.DoneText, 10);
  EXPECT_EQ(count.RestText, 0);
}

TEST(WindowProgressCell, PercentOutOfRangeIsHeld) {
  const QImage over = RenderProgress(kWideCell, 130);
  CheckProgressCell(over, kWideCell, 100);
  EXPECT_EQ(At(over, 196, 2), Rgb(kProgressDoneFill));
  const QImage under = RenderProgress(kWideCell, -20);
  CheckProgressCell(under, kWideCell, 0);
  EXPECT_EQ(At(under, 2, 2), Rgb(kProgressRestFill));
}

TEST(WindowProgressCell, DrawsAtTheCellPositionOnly) {
  const QRect cell(30, 10, 80, 20);
  const QImage image = Render(QSize(140, 40), [&](QPainter& p) { PaintProgressCell(p, cell, 50); });
  const auto count = CheckProgressCell(image, cell, 50);
  EXPECT_GT(count.DoneText + count.RestText, 10);
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      if (!cell.contains(x, y)) {
        ASSERT_EQ(At(image, x, y), Rgb(test::kOutside)) << x << "," << y;
      }
    }
  }
}

TEST(WindowProgressCell, TinyCellsDoNotBreak) {
  for (const QRect cell :
       {QRect(0, 0, 0, 0), QRect(0, 0, 2, 2), QRect(0, 0, 4, 4), QRect(0, 0, 5, 5)}) {
    const QImage image = Render(QSize(6, 6), [&](QPainter& p) {
      PaintProgressCell(p, cell, 50);
      PaintConvertingCell(p, cell);
    });
    EXPECT_EQ(At(image, 5, 5), Rgb(test::kOutside));
  }
}

TEST(WindowProgressCell, ConvertingWithoutTotalShowsNavyTextInTheFrame) {
  const QImage image =
      Render(kWideCell.size(), [&](QPainter& p) { PaintConvertingCell(p, kWideCell); });
  // The layout of a 0% cell: white inside the grey frame, navy text only.
  const auto count = CheckProgressCell(image, kWideCell, 0);
  EXPECT_EQ(count.DoneText, 0);
  EXPECT_GT(count.RestText, 20);
  // "Converting..." is wider than any percentage: text reaches well left and
  // right of the centre.
  const QFontMetrics metrics(test::CellFont());
  const int half = metrics.horizontalAdvance(QLatin1String(kConvertingText)) / 2;
  ASSERT_GT(half, 25);
  int left = 0, right = 0;
  for (int y = 2; y <= 19; ++y) {
    for (int x = 2; x <= 196; ++x) {
      if (!test::IsRestText(At(image, x, y))) continue;
      if (x < 99 - 20) ++left;
      if (x > 99 + 20) ++right;
    }
  }
  EXPECT_GT(left, 3);
  EXPECT_GT(right, 3);
}

TEST(WindowProgressCell, ConvertingTextIsCutInANarrowCell) {
  const QRect cell(0, 0, 40, 22);
  const QImage image = Render(cell.size(), [&](QPainter& p) { PaintConvertingCell(p, cell); });
  const auto count = CheckProgressCell(image, cell, 0);
  EXPECT_GT(count.RestText, 5);
}

}  // namespace
}  // namespace vexav
