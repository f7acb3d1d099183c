// The command line's handling of its output files: names reserved so that
// nothing is ever overwritten, and removal of what it created itself.
#pragma once

#include <string>

namespace vexav::cli {

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

}  // namespace vexav::cli
