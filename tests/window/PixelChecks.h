// Pixel tests for rendered status cells. Text is antialiased, so a text
// pixel is a blend of the text colour and the fill below it; the checks test
// that every pixel lies on the right blend and that strongly coloured text
// pixels exist, never comparing whole images.
#pragma once

#include <gtest/gtest.h>

#include <QFont>
#include <QImage>
#include <QPainter>
#include <QRect>
#include <cstdlib>
#include <functional>
#include <string>

#include "window/ProgressCellPainter.h"
#include "window/StatusCell.h"

namespace vexav::test {

// Fills the image around a cell, so that pixels the painter must not touch
// can be told apart.
inline constexpr QRgb kOutside = qRgb(255, 0, 255);

inline QFont CellFont() {
  QFont font(QStringLiteral("DejaVu Sans"));
  font.setPixelSize(13);
  return font;
}

inline QImage Render(const QSize& size, const std::function<void(QPainter&)>& paint) {
  QImage image(size, QImage::Format_RGB32);
  image.fill(kOutside);
  QPainter painter(&image);
  painter.setFont(CellFont());
  paint(painter);
  painter.end();
  return image;
}

inline std::string Describe(QRgb c, int x, int y) {
  return "pixel (" + std::to_string(x) + "," + std::to_string(y) + ") = rgb(" +
         std::to_string(qRed(c)) + "," + std::to_string(qGreen(c)) + "," +
         std::to_string(qBlue(c)) + ")";
}

// Sky blue darkened towards black: each channel the same fraction of sky
// blue's (black text blends that way whatever gamma the rasteriser uses).
inline bool OnDoneBlend(QRgb c) {
  const double t = qBlue(c) / 240.0;
  return std::abs(qRed(c) - 166.0 * t) <= 8 && std::abs(qGreen(c) - 202.0 * t) <= 8;
}

// White towards navy: red equals green, and blue stays above them by about
// half of what red lost (a linear blend gives blue = red + 128 × (1 - red /
// 255); the margin allows for gamma). Grey, as black text on white would
// give, is not on this blend.
inline bool OnRestBlend(QRgb c) {
  const int lost = 255 - qRed(c);
  return std::abs(qRed(c) - qGreen(c)) <= 3 && qBlue(c) - qRed(c) >= lost / 4 - 4;
}

// A pixel mostly covered by black text on the done part.
inline bool IsDoneText(QRgb c) {
  return OnDoneBlend(c) && qBlue(c) < 120;
}

// A pixel mostly covered by navy text on the rest.
inline bool IsRestText(QRgb c) {
  return OnRestBlend(c) && qRed(c) < 128;
}

struct TCellCount {
  int DoneText = 0;
  int RestText = 0;
};

// Checks the layout of a progress cell at percent drawn in cell, and counts
// the strong text pixels on each side of the split.
inline TCellCount CheckProgressCell(const QImage& image, const QRect& cell, int percent) {
  TCellCount count;
  const QRect bar = ProgressBarRect(cell);
  const int split = bar.left() + DonePartWidth(bar.width(), percent);
  const QRect frame = cell.adjusted(1, 1, -1, -1);
  for (int y = cell.top(); y <= cell.bottom(); ++y) {
    for (int x = cell.left(); x <= cell.right(); ++x) {
      const QRgb c = image.pixel(x, y) & RGB_MASK;
      const bool inBar = bar.contains(x, y);
      const bool inFrame = frame.contains(x, y) && !inBar;
      if (inBar && x < split) {
        EXPECT_TRUE(OnDoneBlend(c)) << "done part: " << Describe(c, x, y);
        if (IsDoneText(c)) ++count.DoneText;
      } else if (inBar) {
        EXPECT_TRUE(OnRestBlend(c)) << "rest: " << Describe(c, x, y);
        if (IsRestText(c)) ++count.RestText;
      } else if (inFrame) {
        EXPECT_EQ(c, kProgressFrame & RGB_MASK) << "frame: " << Describe(c, x, y);
      } else {
        EXPECT_EQ(c, kOutside & RGB_MASK) << "outside the frame: " << Describe(c, x, y);
      }
    }
  }
  return count;
}

}  // namespace vexav::test
