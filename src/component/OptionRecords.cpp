#include "component/OptionRecords.h"

#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace vexav {

void ResetInputOptions(TInputOptions& Options) { Options = TInputOptions{}; }

void ResetOutputOptions(TOutputOptions& Options) { Options = TOutputOptions{}; }

void SetRecordText(char* Field, std::size_t Size, const std::string& Text) {
  if (Size == 0) return;
  std::memset(Field, 0, Size);
  std::memcpy(Field, Text.data(), std::min(Text.size(), Size - 1));
}

std::string RecordText(const char* Field, std::size_t Size) {
  return std::string(Field, ::strnlen(Field, Size));
}

namespace {

// The offset of local time from UTC, in seconds, at the instant T.
long UtcOffsetAt(time_t T) {
  struct tm Local {};
  if (!::localtime_r(&T, &Local)) return 0;
  return Local.tm_gmtoff;
}

}  // namespace

double LocalDateTimeNow() {
  struct timespec Now {};
  ::clock_gettime(CLOCK_REALTIME, &Now);
  const double Seconds = static_cast<double>(Now.tv_sec) + Now.tv_nsec / 1e9;
  return UNIX_EPOCH_DATE + (Seconds + static_cast<double>(UtcOffsetAt(Now.tv_sec))) / 86400.0;
}

double LocalTimeZoneBias(double Value) {
  // The local wall-clock seconds since 1970, read as if they were UTC, give
  // a first guess of the instant; the offset in effect at the guess then
  // gives the instant itself, whose offset is the answer (this settles the
  // guesses that fall across a daylight-saving change).
  const double Wall = (Value - UNIX_EPOCH_DATE) * 86400.0;
  if (!std::isfinite(Wall) || std::fabs(Wall) > 1e15) return 0;
  const time_t Guess = static_cast<time_t>(std::floor(Wall));
  const long First = UtcOffsetAt(Guess);
  const long Offset = UtcOffsetAt(Guess - First);
  return -static_cast<double>(Offset) / 86400.0;
}

int64_t LocalDateTimeToUnixSeconds(double Value) {
  const double Seconds = (Value - UNIX_EPOCH_DATE + LocalTimeZoneBias(Value)) * 86400.0;
  // The default rounding mode rounds halves to the even neighbour.
  return static_cast<int64_t>(std::nearbyint(Seconds));
}

}  // namespace vexav
