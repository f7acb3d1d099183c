// Encoders that write to standard error themselves, past the media
// libraries' log level, which both front ends keep quiet.
#pragma once

namespace vexav::batch {

// SVT-AV1 (the "AV1 Video" preset's encoder) prints its banner and settings
// unless its variable SVT_LOG says otherwise: set to errors only, unless
// Verbose; a user's own SVT_LOG stands. It changes the environment: to be
// called at start, before any thread runs.
void QuietEncoderBanners(bool Verbose);

}  // namespace vexav::batch
