// printf-style formatting into std::string, used for the texts the system
// fills with names, numbers and library messages.
#pragma once

#include <cstdarg>
#include <string>

namespace vexav {

std::string Format(const char* Fmt, ...) __attribute__((format(printf, 1, 2)));
std::string FormatV(const char* Fmt, va_list Args);

}  // namespace vexav
