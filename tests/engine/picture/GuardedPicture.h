// Test pictures whose planes are surrounded by guard bytes: a zone before and
// after every plane and the unused tail of every line. A routine that writes
// outside the planes changes a guard byte.
#pragma once

#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

#include "engine/picture/Picture.h"

namespace vexav::test {

struct TPlaneSize {
  int Width;
  int Height;
};

class TGuardedPicture {
 public:
  static constexpr uint8_t GuardByte = 0xA5;
  static constexpr int GuardZone = 64;
  static constexpr int LineTail = 7;

  // Planes of the given sizes (in bytes per line and lines); each line is
  // LineTail bytes longer than the plane is wide. Tight planes have no guard
  // bytes at all: each is a heap block of exactly its samples, so that an
  // address-sanitizer build catches any access beyond it.
  enum class TKind { Guarded, Tight };
  explicit TGuardedPicture(std::vector<TPlaneSize> Sizes, TKind Kind = TKind::Guarded);

  TPicture& Picture() { return Pic; }
  int PlaneCount() const { return static_cast<int>(Sizes.size()); }
  TPlaneSize Size(int Plane) const { return Sizes[static_cast<size_t>(Plane)]; }
  uint8_t& At(int Plane, int X, int Y) {
    return Pic.data[Plane][static_cast<std::ptrdiff_t>(Y) * Pic.linesize[Plane] + X];
  }

  // Sets every sample of every plane to Value(Plane, X, Y).
  void Fill(const std::function<uint8_t(int, int, int)>& Value);
  void Fill(uint8_t Value) {
    Fill([Value](int, int, int) { return Value; });
  }
  bool GuardsIntact() const;
  // Every byte, guards included, for "left untouched" comparisons.
  std::vector<std::vector<uint8_t>> Snapshot() const { return Storage; }

 private:
  std::vector<TPlaneSize> Sizes;
  int Zone, Tail;
  std::vector<std::vector<uint8_t>> Storage;
  TPicture Pic;
};

// Plane sizes of a planar picture of Width x Height with chroma shifts.
std::vector<TPlaneSize> PlanarSizes(int Width, int Height, int ShiftW, int ShiftH,
                                    int ChromaPlanes = 2);

// Loads the media libraries once for the whole test program.
void LoadLibsOrFail();

}  // namespace vexav::test
