// The system's own log levels (-1 a failure that ended an operation, 0 errors
// and warnings, 1 information, 2 debug, 3 everything) and the media
// libraries' numeric levels, in both directions.
#pragma once

namespace vexav {

// -1..3 to the library's QUIET, ERROR, INFO, DEBUG, TRACE.
constexpr int LibraryLogLevel(int Level) {
  return Level <= -1 ? -8 : Level == 0 ? 16 : Level == 1 ? 32 : Level == 2 ? 48 : 56;
}

// A library level back to -1..3: panic and fatal count as failures, errors
// and warnings as 0, information and verbose as 1, debug as 2, trace as 3.
constexpr int SystemLogLevel(int LibraryLevel) {
  return LibraryLevel <= 8 ? -1 : LibraryLevel <= 24 ? 0 : LibraryLevel <= 40 ? 1
                                                      : LibraryLevel <= 48 ? 2 : 3;
}

}  // namespace vexav
