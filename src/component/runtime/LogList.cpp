#include "component/runtime/LogList.h"

namespace vexav {

TLogList::~TLogList() { Clear(); }

TLogEntry& TLogList::FindOrAdd(TThreadID Id) {
  if (FInline.ThreadID == 0 || FInline.ThreadID == Id) {
    FInline.ThreadID = Id;
    return FInline;
  }
  if (TLogEntry* Found = Find(Id)) return *Found;
  auto Added = std::make_unique<TChainEntry>();
  Added->Entry.ThreadID = Id;
  Added->Next = std::move(FHead);
  FHead = std::move(Added);
  return FHead->Entry;
}

TLogEntry* TLogList::Find(TThreadID Id) {
  if (FInline.ThreadID != 0 && FInline.ThreadID == Id) return &FInline;
  for (TChainEntry* Node = FHead.get(); Node; Node = Node->Next.get())
    if (Node->Entry.ThreadID == Id) return &Node->Entry;
  return nullptr;
}

void TLogList::Clear() {
  FInline.ThreadID = 0;
  FInline.Text.clear();
  // One entry at a time: a long chain would otherwise be freed recursively.
  while (FHead) FHead = std::move(FHead->Next);
}

std::size_t TLogList::Count() const {
  std::size_t Result = FInline.ThreadID != 0 ? 1 : 0;
  for (const TChainEntry* Node = FHead.get(); Node; Node = Node->Next.get()) ++Result;
  return Result;
}

std::vector<TThreadID> TLogList::ThreadIDs() const {
  std::vector<TThreadID> Result;
  if (FInline.ThreadID != 0) Result.push_back(FInline.ThreadID);
  for (const TChainEntry* Node = FHead.get(); Node; Node = Node->Next.get())
    Result.push_back(Node->Entry.ThreadID);
  return Result;
}

}  // namespace vexav
