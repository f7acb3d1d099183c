#include <gtest/gtest.h>

#include <QApplication>
#include <QStandardItemModel>
#include <QStyleOptionViewItem>

#include "PixelChecks.h"
#include "window/StatusDelegate.h"

namespace vexav {
namespace {

const QRect kCell(0, 0, 199, 22);

QRgb At(const QImage& image, int x, int y) {
  return image.pixel(x, y) & RGB_MASK;
}

// Paints the delegate for a one-cell model holding text.
QImage PaintCell(const QString& text, bool selected = false) {
  QStandardItemModel model(1, 1);
  model.setData(model.index(0, 0), text);
  TStatusDelegate delegate;
  QStyleOptionViewItem option;
  option.rect = kCell;
  option.font = test::CellFont();
  option.palette = QApplication::palette();
  option.state = QStyle::State_Enabled;
  if (selected) option.state |= QStyle::State_Selected;
  return test::Render(kCell.size(),
                      [&](QPainter& p) { delegate.paint(&p, option, model.index(0, 0)); });
}

TEST(WindowStatusDelegate, ProgressCellIsABar) {
  const QImage image = PaintCell(ProgressCellText(50));
  const auto count = test::CheckProgressCell(image, kCell, 50);
  EXPECT_GT(count.DoneText, 5);
  EXPECT_GT(count.RestText, 5);
  EXPECT_EQ(At(image, 2, 2), kProgressDoneFill & RGB_MASK);
  EXPECT_EQ(At(image, 196, 2), kProgressRestFill & RGB_MASK);
}

TEST(WindowStatusDelegate, ConvertingCellIsAFrameWithText) {
  const QImage image = PaintCell(ConvertingCellText());
  const auto count = test::CheckProgressCell(image, kCell, 0);
  EXPECT_EQ(count.DoneText, 0);
  EXPECT_GT(count.RestText, 20);
}

TEST(WindowStatusDelegate, PlainTextsAreTextWithoutABar) {
  for (const char* text : {kStatusReady, kStatusDone, kStatusCanceled, kStatusFailed}) {
    const QImage image = PaintCell(QLatin1String(text));
    int textPixels = 0;
    for (int y = 0; y < image.height(); ++y) {
      for (int x = 0; x < image.width(); ++x) {
        const QRgb c = At(image, x, y);
        EXPECT_NE(c, kProgressFrame & RGB_MASK) << text << ": " << test::Describe(c, x, y);
        EXPECT_NE(c, kProgressDoneFill & RGB_MASK) << text << ": " << test::Describe(c, x, y);
        if (qRed(c) < 100 && qGreen(c) < 100 && qBlue(c) < 100) ++textPixels;
      }
    }
    EXPECT_GT(textPixels, 5) << text;
  }
}

TEST(WindowStatusDelegate, SelectionShowsAroundTheBar) {
  const QImage image = PaintCell(ProgressCellText(50), true);
  // The view's selection fills the outermost pixel ring; the frame and the
  // bar inside are drawn as usual.
  EXPECT_NE(At(image, 0, 11), test::kOutside & RGB_MASK);
  EXPECT_EQ(At(image, 1, 11), kProgressFrame & RGB_MASK);
  EXPECT_EQ(At(image, 2, 2), kProgressDoneFill & RGB_MASK);
  EXPECT_EQ(At(image, 196, 2), kProgressRestFill & RGB_MASK);
}

}  // namespace
}  // namespace vexav
