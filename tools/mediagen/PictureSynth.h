// The generated picture: a dark colour gradient with a lighter square that
// moves a few pixels each frame, or a white flash frame at a mark.
#pragma once

#include <cstdint>

#include "MediaGenerator.h"

namespace vexav::mediagen {

// Luma of the flash frame in video range; full range gives 255.
inline constexpr int FlashLuma = 235;

// Draws frame Index into 4:2:0 planes (Y, then Cb and Cr of half size
// rounded up). FullRange selects 0..255 levels (JPEG) over 16..235.
// Pattern picks what the picture shows (a flash frame stays a flash frame).
void DrawPicture(int64_t Index, bool Flash, bool FullRange, int Width, int Height,
                 uint8_t* const Planes[3], const int Linesize[3], PicturePattern Pattern);

}  // namespace vexav::mediagen
