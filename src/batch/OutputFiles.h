// The command line's handling of its output files: names reserved so that
// nothing is ever overwritten unless asked for, replacement through a
// temporary file beside the old one, and removal of what it created itself.
#pragma once

#include <string>
#include <vector>

namespace vexav::batch {

// Chooses the output name for Name/Ext/Label and creates it exclusively, so
// that a file that appeared since its name was chosen is never overwritten:
// the name is chosen again then.
bool ReserveOutput(const std::string& Name, const std::string& Ext, const std::string& Label,
                   std::string& Path, std::string& Error);
// Removes an output this program created, when it is still a plain file.
void RemoveOwnOutput(const std::string& Path);
bool IsNonEmptyFile(const std::string& Path);
// The file name shown for a source: its last path part.
std::string DisplayName(const std::string& Path);
// A log line about a source, as the conversion's own log lines are shown:
// "[<display name>] <text>".
std::string SourceLogLine(const std::string& Source, const std::string& Text);

// Where a conversion writes and what becomes of it afterwards.
struct OutputPlan {
  // The name the user asked for (or the free name chosen).
  std::string Final;
  // What the engine opens: Final itself, or a temporary name in Final's
  // folder that replaces Final only once the conversion has succeeded.
  std::string WriteTo;
  // WriteTo is such a temporary name.
  bool Replaces = false;
  // This program created WriteTo (and removes it when nothing comes of it).
  bool Reserved = false;
  // Final is only the empty file that keeps the name for WriteTo (one
  // attempt of a cluster task writes beside it), not an old file of the
  // user's: a stop does not say that it was left as it was.
  bool FinalIsReservation = false;
};

// The text of an explicit output that exists and may not be replaced.
std::string ExistsText(const std::string& Path);

// Default mode. Without Overwrite: ReserveOutput (a free name). With it:
// the plain name "<base> (<label>)<ext>"; when a regular file is there it
// is replaced through a temporary file, otherwise the name is created
// exclusively. False with Error when neither can be done (the plain name
// is a folder, a link or a device, or the folder cannot be written).
bool PlanDefaultOutput(const std::string& Name, const std::string& Ext, const std::string& Label,
                       bool Overwrite, OutputPlan& Plan, std::string& Error);

// Explicit mode. Nothing at Out: Out is created exclusively. A regular file
// at Out (or a link to one): Error ExistsText without Overwrite; with it, a
// temporary file beside the file it names replaces that file on success.
// Anything else at Out (a device such as /dev/null, a pipe) is written to
// as it is: there is no file to lose.
bool PlanExplicitOutput(const std::string& Out, bool Overwrite, OutputPlan& Plan,
                        std::string& Error);

// The hidden name under which attempt Attempt (the scheduler's id of one
// submission of a task) writes what is to become Target, in Target's folder:
// ".vexav-task-<attempt>-<name of Target>" (the name's extension alone when
// the whole would be too long), so that two attempts of one task never
// write into one file and each is known by its id.
std::string AttemptName(const std::string& Target, const std::string& Attempt);

// Creates AttemptName(Target, Attempt) exclusively, with the permissions of
// the file at Target (the reservation or the old file), and plans it to
// replace Target on success: WriteTo the attempt's own name, Replaces and
// Reserved set, FinalIsReservation as given. False with Error (the reason
// alone) when it cannot be made.
bool PlanAttemptOutput(const std::string& Target, const std::string& Attempt,
                       bool FinalIsReservation, OutputPlan& Plan, std::string& Error);

// After a conversion that succeeded: a temporary file takes Final's place
// (keeping the old file's permissions). False with Error when the rename
// fails; the temporary file is removed then and Final left as it was.
bool CommitOutput(const OutputPlan& Plan, std::string& Error);
// What became of a stopped conversion's output.
struct StoppedOutput {
  // Where the part converted now is: the partial name, or WriteTo itself
  // when it could not be renamed; "" when nothing was kept.
  std::string Path;
  bool Renamed = false;  // Path is the partial name
  std::string Error;     // why it was not renamed (or not kept)
  // "; <old file> was left as it was; the part converted so far is kept as
  // <Path>" and the like, for the line that says the file was stopped.
  std::string Note;
};

// After a stopped conversion: what was converted is kept under the partial
// name of Final ("<base> (partial).mp4", output::KeepAsPartial), never in
// Final's place, so that it cannot pass for a complete conversion; an old
// file that was to be replaced stays as it was. An empty output is removed;
// one this program did not create (a device such as /dev/null) is left
// alone. When the rename fails, a temporary file is removed (the old file
// stays) and any other output stays where it is, which Note says.
StoppedOutput KeepStoppedOutput(const OutputPlan& Plan);

// After a conversion that came to nothing (or that is not to replace the
// old file): what this program created is removed.
void DiscardOutput(const OutputPlan& Plan);

// The folders a run makes for its outputs (a missing output folder with its
// missing parents, the sub-folders that mirror a source tree): those that
// nothing was written into are removed again when the run ends, so that a
// run that converted nothing leaves no empty folder behind. A folder that
// was there before is never removed.
class MadeFolders {
 public:
  MadeFolders() = default;
  MadeFolders(const MadeFolders&) = delete;
  MadeFolders& operator=(const MadeFolders&) = delete;
  ~MadeFolders() { RemoveEmpty(); }

  // Makes Folder with its missing parents and notes each one made. False
  // with Error (the reason alone) when it cannot be made or is not a folder.
  bool Make(const std::string& Folder, std::string& Error);
  // Notes folders made earlier (by another run of the program) as made.
  void Adopt(const std::vector<std::string>& Folders);
  // Removes the folders made that are empty, the deepest first; a folder
  // that holds anything stays, and so do the folders above it.
  void RemoveEmpty();
  // Lets go of the folders without removing them; returns them (parents
  // first).
  std::vector<std::string> Release();
  const std::vector<std::string>& List() const { return Made; }

 private:
  std::vector<std::string> Made;  // absolute, parents before their sub-folders
};

}  // namespace vexav::batch
