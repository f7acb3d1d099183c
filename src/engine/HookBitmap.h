// The picture handed to the application's custom frame hook: a 24-bit image
// in BGR order, 3 bytes per pixel, rows from top to bottom, each row exactly
// Width * 3 bytes. The hook may paint on it between Lock and Unlock (the
// engine holds the lock for the duration of the call); a painter that wants
// to share the image with another thread takes the same lock.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

namespace vexav {

class THookBitmap {
 public:
  THookBitmap() = default;
  THookBitmap(int Width, int Height) { SetSize(Width, Height); }
  THookBitmap(const THookBitmap&) = delete;
  THookBitmap& operator=(const THookBitmap&) = delete;

  int Width() const { return FWidth; }
  int Height() const { return FHeight; }
  // Bytes per row (Width * 3).
  int RowBytes() const { return FWidth * 3; }
  static constexpr int BytesPerPixel = 3;

  // Row Y (0 = top); nullptr outside 0..Height-1.
  uint8_t* ScanLine(int Y) {
    if (Y < 0 || Y >= FHeight) return nullptr;
    return Pixels.data() + static_cast<std::size_t>(Y) * static_cast<std::size_t>(RowBytes());
  }
  const uint8_t* ScanLine(int Y) const { return const_cast<THookBitmap*>(this)->ScanLine(Y); }

  // Changes the size; the contents become black. Negative sizes count as 0.
  void SetSize(int Width, int Height) {
    FWidth = Width > 0 ? Width : 0;
    FHeight = Height > 0 ? Height : 0;
    Pixels.assign(static_cast<std::size_t>(FWidth) * 3 * static_cast<std::size_t>(FHeight), 0);
  }

  // The drawing surface's lock (re-entrant on one thread).
  void Lock() { Guard.lock(); ++LockCount; }
  void Unlock() { --LockCount; Guard.unlock(); }
  // Whether the surface is locked at the moment (by any thread).
  bool Locked() const { return LockCount > 0; }

  // Paints the rectangle (clipped to the image) with the colour B, G, R.
  void FillRect(int X, int Y, int W, int H, uint8_t B, uint8_t G, uint8_t R) {
    const int X0 = X < 0 ? 0 : X, Y0 = Y < 0 ? 0 : Y;
    const int X1 = X + W > FWidth ? FWidth : X + W, Y1 = Y + H > FHeight ? FHeight : Y + H;
    for (int Row = Y0; Row < Y1; ++Row) {
      uint8_t* P = ScanLine(Row) + X0 * 3;
      for (int Col = X0; Col < X1; ++Col, P += 3) {
        P[0] = B;
        P[1] = G;
        P[2] = R;
      }
    }
  }

 private:
  int FWidth = 0, FHeight = 0;
  std::vector<uint8_t> Pixels;
  std::recursive_mutex Guard;
  std::atomic<int> LockCount{0};
};

}  // namespace vexav
