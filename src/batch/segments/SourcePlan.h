// What the default mode makes of one source before converting it: the
// preset's engine options for its streams, its duration, and whether (and
// how) it is converted in segments. Shared by the runs that plan segments
// from a look at the source.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "batch/ConversionJob.h"
#include "batch/segments/SegmentPlan.h"
#include "component/AVProbe.h"
#include "component/Presets.h"

namespace vexav::batch::segments {

// What a source is converted to: a row of the format table and the size
// limit (0: the source's size).
struct PresetChoice {
  int Format = output::kDefaultFormatIndex;
  int MaxHeight = 0;
  const output::TFormatPreset& Preset() const { return output::kFormats[Format]; }
};

struct SourcePlan {
  std::vector<TEngineOption> Options;  // the preset's, for this source
  // How the preset changes the source's picture (an odd size cropped), for
  // the log; empty when it does not.
  std::string Note;
  SourceFacts Facts;                   // VideoStreams is 0 when only its sound is converted
  int64_t DurationUs = -1;             // -1: not known
};

// The options of the preset chosen for Source, opened by Probe, with its
// duration (the container's, else the video stream's). False with Error
// when it has nothing to convert.
bool PlanSource(const TAVProbe& Probe, const std::string& Source, const PresetChoice& Choice,
                SourcePlan& Plan, std::string& Error);

// The segments for --segments Requested (N, or -1 for auto with Workers at
// most, none shorter than MinUs): 1 when the source has no picture or no
// known duration.
int SegmentCountFor(int Requested, const SourcePlan& Plan, int Workers,
                    int64_t MinUs = MinSegmentUs);

// The pieces of Source (planned by PlanSource) in Count segments: reads the
// times of its pictures and makes the segment plan, its sound in pieces
// where that can be done exactly (SplitSound). Empty Pieces with Error
// when it cannot be cut so.
SegmentPlan PlanSegments(const std::string& Source, const SourcePlan& Plan, int Count,
                         std::string& Error);

}  // namespace vexav::batch::segments
