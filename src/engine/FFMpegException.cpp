#include "engine/FFMpegException.h"

#include <cstring>

#include "binding/Text.h"

namespace vexav {

void RaiseAssertion(const std::string& Message, const char* File, int Line) {
  const char* Base = std::strrchr(File, '/');
  throw EAssertionFailed(Format("%s (%s, line %d)", Message.c_str(), Base ? Base + 1 : File, Line));
}

}  // namespace vexav
