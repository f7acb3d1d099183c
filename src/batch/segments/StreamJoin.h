// The join of a segmented conversion as its pieces end: the output muxer is
// opened when the first segment has ended, and each following segment is
// appended in order as soon as it (and the sound pieces that cover it) have
// ended, so that once the last piece ends only its own copy is left to do.
// The join writes a hidden temporary file beside the output and puts it in
// the output's place only when it is complete (Finish) or, after a stop,
// when the leading part is closed (FinishPart); in any other outcome the
// temporary file goes.
//
// Each segment gives its kept pictures (from the key frame forced at its
// first kept frame), with the time stamps the concatenation of the kept
// parts gives them: segment k starts at its first frame's time. The sound
// gives each piece's own frames (SoundPieces.h), or the one whole run's
// packets. Both are copied, interleaved by time, never coded again; what is
// written depends only on the order of the appends, which is the plan's,
// not on when the pieces ended.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "batch/segments/SegmentPlan.h"

struct AVCodecParameters;
struct AVStream;

namespace vexav::batch::segments {

// The prefix of the join's temporary file in the output's folder.
inline constexpr const char* JoinTemporaryPrefix = ".vexav-join-";

// Removes what a join into Output that ended before it was done (its
// program killed) left: its temporary files beside Output.
void RemoveStaleJoins(const std::string& Output);

class StreamJoin {
 public:
  // Joins the pieces of Plan, written into Folder, into Output (which may
  // exist: the reserved name, replaced at the end).
  StreamJoin(const SegmentPlan& Plan, std::string Folder, std::string Output);
  StreamJoin(const StreamJoin&) = delete;
  StreamJoin& operator=(const StreamJoin&) = delete;
  // Removes the temporary file unless it was put in place.
  ~StreamJoin();

  // How many segments have been appended.
  int Appended() const { return Segments; }
  // Whether every segment has been appended.
  bool Complete() const;
  // The leading sound pieces that segment K's append reads (all of them for
  // the last segment): they must have ended, with segment K, before it.
  static int SoundPiecesFor(const SegmentPlan& Plan, int K);

  // Appends the next segment (Appended()) and its sound. Returns "" on
  // success, otherwise the reason; the join is then broken (Abort).
  std::string Append();
  // Every segment appended: closes the file and renames it onto Output.
  std::string Finish();
  // After a stop: closes the leading segments appended so far (the sound
  // cut where the pictures end) and renames the file onto Output. An error
  // when nothing was appended.
  std::string FinishPart();
  // Removes the temporary file (nothing is put in place).
  void Abort();

  // The temporary file while the join is open ("" before the first append
  // and after the end).
  const std::string& TemporaryPath() const { return Temporary; }

 private:
  struct State;
  std::string AppendNext();
  std::string OpenOutput(const AVStream* Pictures, const AVCodecParameters* Parameters);
  std::string Close();

  const SegmentPlan& Plan;
  std::string Folder;
  std::string Output;
  std::string Temporary;
  int Segments = 0;
  bool Broken = false;
  std::unique_ptr<State> Open;
};

}  // namespace vexav::batch::segments
