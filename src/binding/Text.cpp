#include "binding/Text.h"

#include <cstdio>
#include <vector>

namespace vexav {

std::string FormatV(const char* Fmt, va_list Args) {
  va_list Copy;
  va_copy(Copy, Args);
  char Small[512];
  int Needed = std::vsnprintf(Small, sizeof Small, Fmt, Copy);
  va_end(Copy);
  if (Needed < 0) return std::string();
  if (static_cast<std::size_t>(Needed) < sizeof Small) return std::string(Small, Needed);
  std::vector<char> Big(static_cast<std::size_t>(Needed) + 1);
  std::vsnprintf(Big.data(), Big.size(), Fmt, Args);
  return std::string(Big.data(), Needed);
}

std::string Format(const char* Fmt, ...) {
  va_list Args;
  va_start(Args, Fmt);
  std::string Result = FormatV(Fmt, Args);
  va_end(Args);
  return Result;
}

}  // namespace vexav
