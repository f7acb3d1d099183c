// The converter component's tasks: TFFmpeg (one conversion task, an engine of
// its own with a few task fields), plus the translation of the option records
// into engine options. The list that owns them is TFFmpegList (FFmpegList.h).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "component/AVProbe.h"
#include "component/FFmpegList.h"
#include "component/OptionRecords.h"
#include "engine/FFmpeg.h"

namespace vexav {

class TCustomAVConverter;

// The hook time ranges of a "start-end, start-end" text (milliseconds), in
// microseconds and in text order: each piece is trimmed and cut at its first
// "-"; a part that is not a whole number counts as -1; a range is kept when
// End >= Start and End >= 0.
std::vector<THookRange> ParseHookRanges(const std::string& Text);

// The name of the target preset of TargetType (1 "vcd", 2 "svcd", 3 "dvd"),
// or empty for no preset; the norm texts of NormType and NormDefault.
std::string TargetTypeName(int TargetType);
std::string NormTypeName(int NormType);
std::string NormDefaultName(int NormDefault);

// One conversion task: an engine with its position in the list, the thread
// it runs on, the records it was given and a probe of its input.
class TFFmpeg : public TCustomFFmpeg {
 public:
  // Engine creation; Index -1, ThreadID 0, both records reset, probe made.
  TFFmpeg();
  // Waits until no worker thread uses the task any more (unless called from
  // its own run), frees the probe, then the engine.
  ~TFFmpeg() override;

  // Position in the list; -1 until added; renumbered after a removal.
  int Index = -1;
  // Kernel id of the thread that runs (or ran) the task; 0 before start.
  // Read by the log capture on other threads, hence atomic.
  std::atomic<TThreadID> ThreadID{0};
  // Copies of the records given with the input and the output.
  TInputOptions InputOptions;
  TOutputOptions OutputOptions;

  // The task's probe; attached to the task's input once it is opened, and
  // let go when the run has released the input.
  TAVProbe& Probe() { return *FProbe; }
  const TAVProbe& Probe() const { return *FProbe; }

  // Free option lines: the text is trimmed, its line breaks (CR LF, CR, LF)
  // made LF; each line is cut at its first "=" into name and value (a line
  // without "=" is all name, with an empty value) and handed to SetOption
  // untrimmed. Empty lines are skipped. Raises what SetOption raises.
  void ApplyExtOptions(const std::string& Text);
  // The input record's options in their order: ExtOptions, FileFormat,
  // StartTime (x 1000 microseconds when > 0), ProgramID (when >= 0).
  void ApplyInputOptions(const TInputOptions& Options);
  // The output record: ExtOptions first, then every field in the record's
  // order through the engine's typed setters and generic options, then the
  // target preset. (The hook choice is the component's.)
  void ApplyOutputOptions(const TOutputOptions& Options);

 private:
  friend class TCustomAVConverter;
  friend class TFFmpegList;

  // How the component has dealt with the task so far. Guarded by the
  // component's lock.
  enum class TClaim {
    Free,     // not started and not stopped
    Started,  // handed to a run (a thread, the owner's thread, a start thread)
    Stopped,  // stopped before it ran: its notice comes from a terminate thread
  };
  TClaim FClaim = TClaim::Free;
  // The terminate notice of the claim has reached the component.
  std::atomic<bool> FNoticeDelivered{false};
  // Stop was asked for a task that had been started; passed on to the
  // engine at its next event should the engine not have been running yet.
  std::atomic<bool> FStopAsked{false};
  // The task can run in the current run (taken at Start).
  bool FUsable = false;
  // When it was started, counted per component (the latest start wins when
  // several tasks share a thread id).
  std::atomic<uint64_t> FStartSequence{0};

  std::unique_ptr<TAVProbe> FProbe;
};

}  // namespace vexav
