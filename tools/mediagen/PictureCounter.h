// A picture's index drawn into the picture itself: a row of black and white
// blocks across its top, one bit each, that survives lossy coding. A file
// made from such pictures says, picture by picture, which source picture
// it shows: a conversion that repeats, drops or reorders pictures can be
// checked exactly, and two conversions of one source compared.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vexav::mediagen {

// Bits of the index: pictures 0 to 16383.
inline constexpr int CounterBits = 14;
// The smallest picture that holds the row of blocks.
inline constexpr int CounterMinWidth = 64;
inline constexpr int CounterMinHeight = 32;

// Draws Index into the luma plane of a Width x Height picture (video or,
// with FullRange, full levels). Needs at least the minimum size.
void DrawCounter(int64_t Index, bool FullRange, int Width, int Height, uint8_t* Luma, int Linesize);

// The index a luma plane shows, -1 when a block is neither clearly black
// nor clearly white (a picture without the row, or blended from two).
int64_t ReadCounter(const uint8_t* Luma, int Linesize, int Width, int Height);

// The index each picture of Path's first video stream shows, in order.
// Error says why when the file cannot be read. Needs the media libraries.
std::vector<int64_t> ReadCounters(const std::string& Path, std::string& Error);

}  // namespace vexav::mediagen
