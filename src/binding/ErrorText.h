// Turning a media-library error code into the system's message: one of seven
// templates, filled with the name of the file or operation concerned.
#pragma once

#include <string>

namespace vexav {

// The template row a library error code belongs to, by meaning: -2 no such
// file, -5 I/O error (also an early end of data), -12 out of memory, -22
// invalid data, -33 bad image-number file name, -42 unknown format; any
// other code gives 0 ("Error while opening file").
int ErrorRow(int Code);

// The filled template for Code.
std::string LibraryErrorText(const std::string& Subject, int Code);

}  // namespace vexav
