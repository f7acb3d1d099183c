// Small helpers over the media libraries' types shared by the writer and the
// reader: error texts and sample access in any sample format.
#pragma once

#include <string>

#include "binding/Api.h"

namespace vexav::mediagen {

// The library's text for an error code, e.g. "No such file or directory".
std::string ErrorString(int Code);

// Whether samples in format Fmt can be read and written here.
bool SampleFormatKnown(AVSampleFormat Fmt);

// Sample Index of Channel in Frame (in the frame's own format), -1..1.
double ReadSample(const AVFrame& Frame, int Channels, int Channel, int Index);

// Stores Value (-1..1, clipped) as sample Index of Channel.
void WriteSample(AVFrame& Frame, int Channels, int Channel, int Index, double Value);

}  // namespace vexav::mediagen
