// Building output streams from the option fields. Output files and their
// streams are created by the output side of the engine; until it is in
// place, adding a stream to an output file is refused with a clear message
// and changes nothing.
#include "engine/FFmpeg.h"

namespace vexav {

void TCustomFFmpeg::NewVideoStream(AVFormatContext*) {
  throw FFMpegException("Adding a video stream to an output file is not supported yet");
}

void TCustomFFmpeg::NewAudioStream(AVFormatContext*) {
  throw FFMpegException("Adding an audio stream to an output file is not supported yet");
}

void TCustomFFmpeg::NewSubtitleStream(AVFormatContext*) {
  throw FFMpegException("Adding a subtitle stream to an output file is not supported yet");
}

}  // namespace vexav
