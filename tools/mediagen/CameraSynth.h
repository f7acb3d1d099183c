// Camera-like generated pictures: a wide still scene (a smooth sky over
// textured ground, with darker trunks standing in it) filmed by a moving
// camera, with fresh sensor grain in every picture. They cost an encoder
// what footage from a camera does: detail at every scale, motion by
// fractions of a pixel, and noise that no prediction removes.
#pragma once

#include <cstdint>

#include "MediaGenerator.h"

namespace vexav::mediagen {

// Draws picture Index of a camera-like Pattern (PicturePattern::Pan or
// PicturePattern::Handheld) into 4:2:0 planes, as DrawPicture does. The
// samples are drawn in video range and go through LumaLevel and
// ChromaLevel (256 entries each), which map them to the stored range.
void DrawCameraPicture(int64_t Index, int Width, int Height, uint8_t* const Planes[3],
                       const int Linesize[3], PicturePattern Pattern, const uint8_t* LumaLevel,
                       const uint8_t* ChromaLevel);

}  // namespace vexav::mediagen
