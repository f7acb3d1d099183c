// The end of a file converted in segments, once every piece has ended: the
// pieces joined into the file's output and the output put in place, or the
// file failed, or, after a stop, the leading segments joined and kept under
// the partial name. The local run and the cluster's monitor both settle
// their files here, so that a file ends the same way, with the same words,
// wherever its pieces ran.
#pragma once

#include <optional>
#include <string>

#include "batch/ConversionJob.h"
#include "batch/FileReport.h"
#include "batch/OutputFiles.h"
#include "batch/segments/SegmentedFile.h"

namespace vexav::batch::segments {

struct SettleRequest {
  FileEnd End;                        // SegmentedFile::Settle
  const SegmentPlan* Plan = nullptr;  // the file's pieces
  std::string WorkFolder;             // where they are; removed in every case
  OutputPlan Output;                  // the file's reserved output
  // The last progress of the whole file; none when no piece ever ran.
  std::optional<ProgressInfo> Last;
  JobFactory MakeJob;  // for the join's run
  bool Verbose = false;
  // The pieces were joined into Output.WriteTo already, by a run that ended
  // before it had settled the file: what it wrote is the join.
  bool JoinedBefore = false;
};

// Joins, commits, keeps or discards as the end says. Done: Output is the
// file put in place. Failed: the output reserved is gone. Stopped: Output
// is the part kept, "" when there is none. Canceled: no piece ran.
FileResult SettleSegmentedFile(const SettleRequest& Request);

}  // namespace vexav::batch::segments
