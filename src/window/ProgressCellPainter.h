// Drawing of a Status cell that is a progress cell:
//   1. the cell is inset by 2 pixels;
//   2. the done part, from the left edge to width × percent / 100 (rounded,
//      halves to even), is sky blue with black text;
//   3. the rest is white with navy text;
//   4. the text, percent + "%", is centred in the inset rectangle, each part
//      showing only its own share of it;
//   5. a grey frame runs 1 pixel inside the cell, around the inset rectangle.
// The outermost pixel of the cell is left to the view (background, selection).
// A row converting without a known total gets the same frame, filled white,
// with "Converting..." in navy centred in it (cut with "..." when too wide).
#pragma once

#include <QtGui/qrgb.h>

#include <QRect>
#include <QString>

class QPainter;

namespace vexav {

inline constexpr QRgb kProgressDoneFill = qRgb(166, 202, 240);  // sky blue
inline constexpr QRgb kProgressDoneText = qRgb(0, 0, 0);        // black
inline constexpr QRgb kProgressRestFill = qRgb(255, 255, 255);  // white
inline constexpr QRgb kProgressRestText = qRgb(0, 0, 128);      // navy
inline constexpr QRgb kProgressFrame = qRgb(128, 128, 128);     // grey

// The text shown in a converting cell without a percentage.
inline constexpr char kConvertingText[] = "Converting...";

// The rectangle the bar fills: the cell inset by 2 pixels.
QRect ProgressBarRect(const QRect& cell);

// Paints a progress cell at percent (held to 0..100) with the painter's font.
// The painter's state is left as it was.
void PaintProgressCell(QPainter& painter, const QRect& cell, int percent);

// Paints a converting cell without a percentage, with the painter's font.
void PaintConvertingCell(QPainter& painter, const QRect& cell);

}  // namespace vexav
