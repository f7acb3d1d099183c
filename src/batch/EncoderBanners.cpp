#include "batch/EncoderBanners.h"

#include <cstdlib>

namespace vexav::batch {

void QuietEncoderBanners(bool Verbose) {
  if (!Verbose) ::setenv("SVT_LOG", "1", 0);
}

}  // namespace vexav::batch
