// The set of media libraries as one unit: loaded together in a fixed order,
// unloaded together when any of them fails.
#pragma once

#include <string>

namespace vexav {

// Loads avcodec, avfilter, avformat, avutil, swscale, swresample and the
// runtime module, stopping at the first failure. Does nothing once the set is
// loaded. A failure unloads the whole set and keeps the first error's text.
bool LoadFFmpegLibs(const std::string& Folder, bool Versioned);
void UnloadFFmpegLibs();
std::string LastLoadError();
bool FFmpegLibsLoaded();

// The Folder of the load that bound the set (the program's library folder);
// empty before, after an unload, and when the set was loaded without one.
// Frame-hook libraries named without a folder are looked for there first.
std::string LoadedLibraryFolder();

// The library log level read after every successful load and after every
// change of the level; the log capture filters messages against it.
int RecordedLogLevel();
void RecordLogLevel();

}  // namespace vexav
