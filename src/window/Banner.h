// The window's two banner pictures, drawn in code so that they follow the
// window's width and need no image files: the main banner across the top of
// the window, and the exit banner shown when the window closes. Both are a
// dark blue band with the product's film-strip mark and its title.
#pragma once

#include <QRect>

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

}  // namespace vexav
