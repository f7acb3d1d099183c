// The pictures of a file's first video stream, decoded one at a time: what
// the generator's readers (picture comparison, picture counters) go
// through.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "binding/Owners.h"

namespace vexav::mediagen {

class PictureSource {
 public:
  // "" when the file and its first video stream's decoder are open,
  // otherwise the reason.
  std::string Open(const std::string& Path);
  // The next picture's luma, scaled to W x H (0 x 0: the picture's own
  // size), into Luma; false at the end. A picture the decoder cannot make
  // is skipped.
  bool Next(int W, int H, std::vector<uint8_t>& Luma);

  // The stream's picture size.
  int Width = 0;
  int Height = 0;
  // The size of the picture Next gave last.
  int TakenWidth = 0;
  int TakenHeight = 0;

 private:
  bool Take(int W, int H, std::vector<uint8_t>& Luma);

  InputFormatPtr Input;
  CodecContextPtr Ctx;
  PacketPtr Packet;
  FramePtr Frame;
  ScalerPtr Scaler;
  int StreamIndex = -1;
  bool Drained = false;
};

}  // namespace vexav::mediagen
