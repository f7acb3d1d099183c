// Outputs of stopped conversions. A stopped conversion still ends its file
// properly (the trailer is written), so what was converted stays playable;
// it is kept under a name that says it is incomplete, "clip (MPEG-4 Video)
// (partial).mp4", so that no one takes it for a finished conversion.
#pragma once

#include <string>
#include <string_view>

#include "component/OutputNaming.h"

namespace vexav::output {

// "<dir>/<stem> (partial)<ext>" for Output "<dir>/<stem><ext>", or the first
// "<stem> (partial [n])<ext>", n = 1, 2, ..., for which Taken is false. The
// same rules as MakeOutputName, the 255-byte file-name limit included.
std::string PartialOutputName(std::string_view Output, const TPathTaken& Taken);

// The same, asking the file system (PathTaken).
std::string PartialOutputName(std::string_view Output);

// Renames a stopped conversion's output to PartialOutputName(Output) and
// returns the new path. Nothing is ever overwritten: the rename fails rather
// than replace an entry that appeared under the chosen name meanwhile, and
// the next free name is tried then. Returns "" with Error when the output is
// not kept:
// - an empty or missing output holds nothing worth keeping: an empty one is
//   removed, so that no zero-byte file is left behind;
// - an output that is not a regular file (a device such as /dev/null, a
//   pipe) is left alone;
// - the rename fails for another reason: the output stays under its own
//   name, and Error says why.
std::string KeepAsPartial(const std::string& Output, std::string& Error);

// The same for an output written under another name than the one it was
// meant to get (a temporary file that was to replace NamedAfter): Written is
// renamed to PartialOutputName(NamedAfter).
std::string KeepAsPartial(const std::string& Written, const std::string& NamedAfter,
                          std::string& Error);

}  // namespace vexav::output
