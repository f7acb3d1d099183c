#include "binding/FrameHook.h"

#include <map>
#include <mutex>
#include <string>

#include "binding/Api.h"
#include "binding/FFmpegLibs.h"
#include "binding/LibraryLoader.h"
#include "binding/LogLevels.h"

namespace vexav {
namespace {

// Hook libraries stay loaded until the process ends: chains of other engines
// may still point into them.
struct HookLibraryCache {
  std::mutex Mutex;
  std::map<std::string, void*> Handles;
};

HookLibraryCache& Cache() {
  static HookLibraryCache* Instance = new HookLibraryCache;
  return *Instance;
}

std::string FolderOf(const std::string& Path) {
  auto Slash = Path.rfind('/');
  return Slash == std::string::npos ? std::string() : Path.substr(0, Slash);
}

void LogError(const char* Fmt, const char* Text) {
  ff::av_log(nullptr, LibraryLogLevel(0), Fmt, Text);
}

}  // namespace

int AddFrameHook(TFrameHookEntry*& Chain, int ArgCount, char* Args[]) {
  if (ArgCount < 1 || !Args || !Args[0]) return HookBadEntryPoints;
  const std::string Path = Args[0];
  void* Handle = nullptr;
  {
    HookLibraryCache& C = Cache();
    std::lock_guard<std::mutex> Guard(C.Mutex);
    binding::PutFolderInPath(FolderOf(Path));
    auto Found = C.Handles.find(Path);
    if (Found != C.Handles.end()) {
      Handle = Found->second;
    } else {
      std::string LoaderText;
      // A name without a folder is looked for in the program's library
      // folder first (where the hooks of an installed program lie), then
      // through the system's search path.
      const std::string Folder = FolderOf(Path);
      Handle = Folder.empty()
                   ? binding::LoadLibraryFromFolder(LoadedLibraryFolder(), Path, LoaderText)
                   : binding::LoadLibraryByPath(Path, LoaderText);
      if (!Handle) {
        LogError("%s\n", LoaderText.c_str());
        return HookLoadFailed;
      }
      C.Handles.emplace(Path, Handle);
    }
  }

  auto* Entry = static_cast<TFrameHookEntry*>(ff::av_mallocz(sizeof(TFrameHookEntry)));
  if (!Entry) return HookOutOfMemory;
  std::string Ignored;
  Entry->Configure = reinterpret_cast<VexavHookConfigure>(
      binding::ResolveSymbol(Handle, "Configure", Ignored));
  Entry->Process =
      reinterpret_cast<VexavHookProcess>(binding::ResolveSymbol(Handle, "Process", Ignored));
  Entry->Release =
      reinterpret_cast<VexavHookRelease>(binding::ResolveSymbol(Handle, "Release", Ignored));

  if (!Entry->Process) {
    LogError("Failed to find Process entrypoint in %s\n", Args[0]);
    ff::av_free(Entry);
    return HookBadEntryPoints;
  }
  if (!Entry->Configure && ArgCount > 1) {
    LogError("Failed to find Configure entrypoint in %s\n", Args[0]);
    ff::av_free(Entry);
    return HookBadEntryPoints;
  }
  if (Entry->Configure && Entry->Configure(&Entry->ctx, ArgCount, Args) != 0) {
    LogError("Failed to Configure %s\n", Args[0]);
    ff::av_free(Entry);
    return HookConfigureFailed;
  }

  TFrameHookEntry** Tail = &Chain;
  while (*Tail) Tail = &(*Tail)->next;
  *Tail = Entry;
  return 0;
}

void ProcessFrameHooks(TFrameHookEntry* Chain, VexavHookPicture* Picture, int PixelFormat,
                       int Width, int Height, int64_t PTS) {
  for (TFrameHookEntry* Entry = Chain; Entry; Entry = Entry->next)
    Entry->Process(Entry->ctx, Picture, PixelFormat, Width, Height, PTS);
}

void ReleaseFrameHooks(TFrameHookEntry*& Chain) {
  TFrameHookEntry* Entry = Chain;
  while (Entry) {
    TFrameHookEntry* Next = Entry->next;
    if (Entry->Release) Entry->Release(Entry->ctx);
    ff::av_free(Entry);
    Entry = Next;
  }
  Chain = nullptr;
}

}  // namespace vexav
