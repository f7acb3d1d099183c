// The pending incomplete log line of each thread that has logged through the
// log capture: one inline entry plus a singly linked chain of further
// entries, each new one pushed at the head.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "engine/thread/Thread.h"

namespace vexav {

struct TLogEntry {
  TThreadID ThreadID = 0;  // 0: the inline entry is free
  std::string Text;        // the line started but not yet ended by "\n"
};

// Not synchronised: its owner guards it (the log capture keeps one behind a
// lock of its own).
class TLogList {
 public:
  TLogList() = default;
  ~TLogList();
  TLogList(const TLogList&) = delete;
  TLogList& operator=(const TLogList&) = delete;

  // The entry of thread Id: the inline entry when it is free or already
  // Id's (claiming it), else the chain's entry for Id, else a new entry with
  // empty text pushed at the head of the chain. The reference stays valid
  // until Clear.
  TLogEntry& FindOrAdd(TThreadID Id);
  // The entry of thread Id, or nullptr when the thread has none.
  TLogEntry* Find(TThreadID Id);
  // Frees the inline entry (id 0, empty text) and every chain entry.
  void Clear();

  // The number of entries in use, the inline one included.
  std::size_t Count() const;
  // The thread ids in use, the inline entry's first, then the chain's from
  // the head (the newest first).
  std::vector<TThreadID> ThreadIDs() const;

 private:
  struct TChainEntry {
    TLogEntry Entry;
    std::unique_ptr<TChainEntry> Next;
  };

  TLogEntry FInline;
  std::unique_ptr<TChainEntry> FHead;
};

}  // namespace vexav
