// A piece of a segmented conversion opened for reading its packets back:
// the sound join and the streaming join read the pieces alike.
#pragma once

#include <string>

#include "binding/Owners.h"

namespace vexav::batch::segments {

// A piece's file and its first stream of one type (-1: none).
struct PieceInput {
  InputFormatPtr File;
  int Stream = -1;
  AVStream* Get() const { return File->streams[Stream]; }
};

// Opens Path and finds its first stream of Type; "" on success, otherwise
// "<Path>: <the library's words>".
std::string OpenPieceInput(const std::string& Path, AVMediaType Type, PieceInput& In);

// The media library's words for an error code.
std::string LibraryWords(int Code);

}  // namespace vexav::batch::segments
