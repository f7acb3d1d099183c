// The window's two banner pictures, drawn in code so that they follow the
// window's width and need no image files: the main banner across the top of
// the window, and the exit banner shown when the window closes. Both are a
// dark blue band with the product's film-strip mark and its title.
#pragma once

#include <QFont>
#include <QRect>
#include <QString>

class QPainter;

namespace vexav {

// The main banner's height in pixels; it stretches to any width.
inline constexpr int kBannerHeight = 78;
// The exit banner's size.
inline constexpr int kExitBannerWidth = 500;
inline constexpr int kExitBannerHeight = 100;

// The main banner: mark, title and tagline, left-aligned in rect.
void PaintMainBanner(QPainter& painter, const QRect& rect);

// The exit banner: mark, a farewell line and the home page's address.
void PaintExitBanner(QPainter& painter, const QRect& rect);

// The text lines of a banner in rect: where the mark leaves room for them.
QRect BannerTextRect(const QRect& rect);

// The largest pixel size, at most pixels, at which text set in font fits
// width; a text too long even at the smallest readable size (9) gets that
// size (and is then cut with an ellipsis where it is drawn).
int FittingPixelSize(QFont font, const QString& text, int width, int pixels);

// The farewell line of the exit banner.
QString ExitBannerTitle();

}  // namespace vexav
