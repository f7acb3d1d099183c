// Opening shared libraries by file name from a folder, with the system's
// search path as the fall-back, and the PATH rule that goes with it.
#pragma once

#include <string>

namespace vexav::binding {

// Puts Folder in front of the PATH environment variable, separated by ':',
// unless it already occurs in PATH in any letter case. The rest of PATH is
// kept exactly as it was.
void PutFolderInPath(const std::string& Folder);

// Loads FileName from Folder. With an empty Folder, or when Folder holds no
// such file, the bare file name goes through the system's search order.
// Returns the handle, or nullptr with ErrorText set to the loader's own text.
void* LoadLibraryFromFolder(const std::string& Folder, const std::string& FileName,
                            std::string& ErrorText);

// Loads a library exactly by the path given (hook libraries).
void* LoadLibraryByPath(const std::string& Path, std::string& ErrorText);

// Resolves a symbol; nullptr with ErrorText set when it is missing.
void* ResolveSymbol(void* Handle, const char* Name, std::string& ErrorText);

void FreeLibrary(void* Handle);

// Joins a folder and a file name with exactly one '/' between them.
std::string JoinPath(const std::string& Folder, const std::string& FileName);

// The folder a program lying in ExecutableFolder loads its run-time
// libraries from: the media libraries when the folder holds them, and the
// frame-hook libraries named without a folder. That is ExecutableFolder/lib
// when it exists (a copy of the program with its libraries beside it, as in
// a portable folder); otherwise the folder the install rules put them in,
// found from the program's own (bin/../lib/<multiarch>/vexav), when it
// exists; otherwise ExecutableFolder/lib, which holds nothing then, so that
// everything comes through the system's search path (the build tree).
// Empty for an empty ExecutableFolder.
std::string ProgramLibraryFolder(const std::string& ExecutableFolder);

// The installed library folder relative to the installed programs' folder
// (for example "../lib/x86_64-linux-gnu/vexav"), as the build was configured.
const char* InstalledLibraryFolderFromPrograms();

}  // namespace vexav::binding
