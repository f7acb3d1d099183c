// The times at which a conversion meets a source's pictures, read without
// decoding anything: what a segment plan needs to know where a run over the
// whole source would drop and repeat pictures.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "binding/Owners.h"

namespace vexav::batch::segments {

// The presentation times of the pictures of Path's first video stream, in
// microseconds from the file's start and in order, as the engine computes
// them when it converts the whole file: every packet that carries a
// picture (an empty one, a capture's dropped frame, carries none) counts
// with its presentation time, else its decode time. At least the pictures
// up to UntilUs are read (all of them when UntilUs is -1); an AVI file's
// index gives them without reading the file's data. False with Error when
// the file or its picture cannot be read.
bool ReadPictureTimes(const std::string& Path, int64_t UntilUs, std::vector<int64_t>& Times,
                      std::string& Error);

// Whether a run that seeks its input to a time meets the pictures after it
// at the times a run from the start does. Some demuxers number what they
// read after a seek differently: in an AVI file, a seek to a key frame that
// follows a dropped frame's empty chunk shifts every later picture by a
// frame. A segment seeks only where this holds.
class SeekCheck {
 public:
  // Opens Path as the engine opens an input; false with Error when it
  // cannot.
  bool Open(const std::string& Path, std::string& Error);
  // Seeks as the engine does for an input "ss" of SeekUs and reads on to
  // UntilUs: true when every picture met has one of Times (rising, from
  // ReadPictureTimes) and none of Times between the first met and UntilUs
  // is missed.
  bool Faithful(int64_t SeekUs, int64_t UntilUs, const std::vector<int64_t>& Times);

 private:
  InputFormatPtr File;
  PacketPtr Packet;
  int Index = -1;
};

}  // namespace vexav::batch::segments
