// The engine's exception classes. Every option error is an FFMpegException
// carrying the text the user sees; a value that is not a number raises
// EConvertError, and a broken precondition of an option raises
// EAssertionFailed. All three derive from std::runtime_error, the general
// class the component catches.
#pragma once

#include <stdexcept>
#include <string>

namespace vexav {

class FFMpegException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class EConvertError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class EAssertionFailed : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Raises EAssertionFailed with Message and the source position, as
// "%s (%s, line %d)" with the file's base name.
[[noreturn]] void RaiseAssertion(const std::string& Message, const char* File, int Line);

}  // namespace vexav
