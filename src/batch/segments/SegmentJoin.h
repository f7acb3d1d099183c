// The pieces of a segmented conversion on disk, and their join into the
// final output: a hidden work folder beside the output holds the pieces and
// goes in every outcome; the join copies the kept pictures of the segments
// (through the libraries' concatenating demuxer) and the sound (the kept
// packets of its pieces, SoundPieces.h) into one file, without encoding
// anything again.
#pragma once

#include <string>
#include <utility>

#include "batch/ConversionJob.h"
#include "batch/segments/SegmentPlan.h"

namespace vexav::batch::segments {

// A hidden folder ".vexav-seg-XXXXXX" in the output's folder, removed with
// everything in it when the owner goes (or on Remove).
class WorkFolder {
 public:
  WorkFolder() = default;
  WorkFolder(const WorkFolder&) = delete;
  WorkFolder& operator=(const WorkFolder&) = delete;
  WorkFolder(WorkFolder&& Other) noexcept;
  WorkFolder& operator=(WorkFolder&& Other) noexcept;
  ~WorkFolder() { Remove(); }

  // Makes the folder beside OutputPath; false with Error when it cannot be
  // made.
  bool Make(const std::string& OutputPath, std::string& Error);
  void Remove();
  // Lets go of the folder without removing it (a later run of the program
  // takes it over); returns its path.
  std::string Release() { return std::exchange(Folder, std::string()); }
  const std::string& Path() const { return Folder; }
  std::string File(const std::string& Name) const { return Folder + "/" + Name; }

 private:
  std::string Folder;
};

struct JoinRequest {
  const SegmentPlan* Plan = nullptr;
  std::string Folder;  // where the pieces are
  // The leading picture segments to join: all of them for a complete
  // output, fewer for the part of a stopped conversion.
  int Segments = 0;
  int SoundPieces = 0;     // the leading sound pieces to add (0: none)
  std::string Output;      // created (exclusively) already, or to be created
};

// Checks that every joined segment but the plan's last holds the pictures
// it should (a source that ends before its stated duration leaves a segment
// short), writes the demuxer's list into the folder, and joins into
// Request.Output through a job of MakeJob; the sound is cut to the pictures'
// length when fewer than all segments are joined. Returns "" on success,
// otherwise the reason (the output is then left to the caller to remove).
std::string JoinPieces(const JoinRequest& Request, const JobFactory& MakeJob, bool Verbose);

// How many pictures the first video stream of a piece holds as its
// container states them; -1 when it cannot be read.
int64_t PictureCount(const std::string& Path);

}  // namespace vexav::batch::segments
