// One progress report of a run, as the engine raises it and as the converter
// component and the front ends pass it on: one plain record from the engine
// up to the display, so that every layer reads the same fields by name.
// Part of the component's installed interface; it includes nothing else.
#pragma once

#include <cstdint>

namespace vexav {

struct TRunProgress {
  // Frame number of the first video output (-1 without video).
  int FrameNumber = -1;
  // Frames per second (-1 while not known).
  int Fps = -1;
  // Output time converted so far, in milliseconds.
  int64_t CurrentDurationMs = 0;
  // Quantiser of the last coded picture (-1.0 for stream copy or without
  // video).
  float Quality = -1.0f;
  // Bit rate so far, in kbit/s.
  float BitRate = 0.0f;
  // Bytes of the first output file so far.
  int64_t CurrentSize = 0;
  // The expected total output duration in milliseconds (-1, or 0, when not
  // known).
  int64_t TotalOutputDurationMs = -1;
};

}  // namespace vexav
