#include "binding/FFmpegLibs.h"

#include <atomic>
#include <mutex>

#include "binding/AVCodecHlpr.h"
#include "binding/AVFilterHlpr.h"
#include "binding/AVFormatHlpr.h"
#include "binding/AVUtilHlpr.h"
#include "binding/MyUtilHlpr.h"
#include "binding/SwResampleHlpr.h"
#include "binding/SwScaleHlpr.h"

namespace vexav {
namespace {

bool AllLoaded = false;
std::string SetError;
std::atomic<int> LogLevel{0};
// Read by engines adding frame hooks, possibly on their worker threads.
std::mutex FolderMutex;
std::string SetFolder;

void KeepFolder(const std::string& Folder) {
  std::lock_guard<std::mutex> Guard(FolderMutex);
  SetFolder = Folder;
}

// The set counts as loaded only while every module still is: a caller that
// unloaded one module on its own (the probe unloads its four) must not leave
// the set claiming entries that are gone.
bool EveryModuleLoaded() {
  return AVCodecHlpr::LibLoaded() && AVFilterHlpr::LibLoaded() && AVFormatHlpr::LibLoaded() &&
         AVUtilHlpr::LibLoaded() && SwScaleHlpr::LibLoaded() && SwResampleHlpr::LibLoaded() &&
         MyUtilHlpr::LibLoaded();
}

}  // namespace

bool LoadFFmpegLibs(const std::string& Folder, bool Versioned) {
  if (FFmpegLibsLoaded()) return true;
  SetError.clear();
  bool Ok = AVCodecHlpr::LoadLib(SetError, Folder, Versioned, true) &&
            AVFilterHlpr::LoadLib(SetError, Folder, Versioned, true) &&
            AVFormatHlpr::LoadLib(SetError, Folder, Versioned, true) &&
            AVUtilHlpr::LoadLib(SetError, Folder, Versioned) &&
            SwScaleHlpr::LoadLib(SetError, Folder, Versioned) &&
            SwResampleHlpr::LoadLib(SetError, Folder, Versioned) &&
            MyUtilHlpr::LoadLib(SetError, Folder);
  AllLoaded = Ok;
  if (Ok) {
    KeepFolder(Folder);
    RecordLogLevel();
  } else {
    UnloadFFmpegLibs();
  }
  return Ok;
}

void UnloadFFmpegLibs() {
  AllLoaded = false;
  KeepFolder(std::string());
  AVCodecHlpr::UnloadLib();
  AVFilterHlpr::UnloadLib();
  AVFormatHlpr::UnloadLib();
  AVUtilHlpr::UnloadLib();
  SwScaleHlpr::UnloadLib();
  SwResampleHlpr::UnloadLib();
  MyUtilHlpr::UnloadLib();
}

std::string LastLoadError() { return SetError; }

bool FFmpegLibsLoaded() { return AllLoaded && EveryModuleLoaded(); }

std::string LoadedLibraryFolder() {
  std::lock_guard<std::mutex> Guard(FolderMutex);
  return SetFolder;
}

int RecordedLogLevel() { return LogLevel.load(std::memory_order_relaxed); }

void RecordLogLevel() {
  if (AVUtilHlpr::LibLoaded())
    LogLevel.store(AVUtilHlpr::av_log_get_level(), std::memory_order_relaxed);
}

}  // namespace vexav
