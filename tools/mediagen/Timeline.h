// Where things happen in a generated file: how many frames and samples it
// has and which of them carry the marks. Pure arithmetic, no libraries.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "MediaGenerator.h"

namespace vexav::mediagen {

enum class Container { Avi, Mkv, Mp3, Wav };

struct Timeline {
  int64_t FrameCount = 0;                 // 0 without video
  int64_t SampleCount = 0;                // per channel and stream, 0 without audio
  std::vector<int64_t> FlashFrames;       // frame indices, increasing
  std::vector<int64_t> ClickSamples;      // sample indices, increasing
  std::vector<int64_t> MarkUs;            // the marks' instants, increasing
};

// Picks the container from Path's extension and checks that it can hold
// what is asked for. Returns "" or the reason.
std::string ChooseContainer(const std::string& Path, const MediaRequest& Request, Container& Kind);

// Checks the numbers asked for and works out the timeline. Returns "" or
// the reason the file cannot be written.
std::string PlanTimeline(const MediaRequest& Request, Timeline& Out);

}  // namespace vexav::mediagen
