// The ordered list of the converter component's tasks (TFFmpeg, TaskList.h),
// which owns them. Declared apart from the tasks so that the component's
// interface needs only the name of the task class, not the engine behind it.
#pragma once

#include <memory>
#include <vector>

#include "../engine/thread/ThreadTypes.h"
#include "Export.h"

namespace vexav {

class TFFmpeg;

// The ordered list of tasks; owns them.
class VEXAV_API TFFmpegList {
 public:
  TFFmpegList() = default;
  ~TFFmpegList();
  TFFmpegList(const TFFmpegList&) = delete;
  TFFmpegList& operator=(const TFFmpegList&) = delete;

  // The task at position I; std::out_of_range outside the list.
  TFFmpeg& Items(int I) const;
  TFFmpeg& operator[](int I) const { return Items(I); }
  int Count() const { return static_cast<int>(FItems.size()); }
  // Appends Task and sets its Index to its position, which it returns.
  int Add(std::unique_ptr<TFFmpeg> Task);
  // Frees task I, removes it and renumbers the tasks after it.
  void Delete(int I);
  // Frees every task and empties the list.
  void Clear();
  // Takes task I out of the list without freeing it (renumbering the tasks
  // after it), or every task; the caller frees them.
  std::unique_ptr<TFFmpeg> Extract(int I);
  std::vector<std::unique_ptr<TFFmpeg>> ExtractAll();
  // The task that runs on thread ID: among the tasks whose ThreadID is ID,
  // the one whose engine is running, else the one started last; nullptr
  // when no task has that id (0 never matches).
  TFFmpeg* FindByThreadID(TThreadID ID) const;

 private:
  std::vector<std::unique_ptr<TFFmpeg>> FItems;
};

}  // namespace vexav
