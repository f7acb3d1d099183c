// The end of a file converted in segments, once every piece has ended: the
// pieces joined into the file's output and the output put in place, or the
// file failed, or, after a stop, the leading segments joined and kept under
// the partial name. The local run and the cluster's monitor both settle
// their files here, so that a file ends the same way, with the same words,
// wherever its pieces ran.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "batch/ConversionJob.h"
#include "batch/FileReport.h"
#include "batch/OutputFiles.h"
#include "batch/segments/SegmentedFile.h"
#include "batch/segments/StreamJoin.h"

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

// Whether segment K of File can be appended to its join: it and the sound
// pieces that go with it have finished, and no piece has failed.
bool CanAppend(const SegmentedFile& File, int K);

// Closes the join that ran as the pieces ended (none: it never began) as
// Request.End says: the whole file (a join that cannot be finished fails
// the file), or the leading part kept after a stop; for a failed file it
// goes. Request then settles what the join wrote (JoinedBefore); a stopped
// file whose join never began (or broke off) is left to JoinPieces.
void EndJoin(std::unique_ptr<StreamJoin> Join, const std::string& JoinError,
             SettleRequest& Request);

// Joins, commits, keeps or discards as the end says. Done: Output is the
// file put in place. Failed: the output reserved is gone. Stopped: Output
// is the part kept, "" when there is none. Canceled: no piece ran.
FileResult SettleSegmentedFile(const SettleRequest& Request);

}  // namespace vexav::batch::segments
