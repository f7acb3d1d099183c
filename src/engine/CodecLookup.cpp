// Finding a codec by the name an option gave: the decoder forced on an
// input's streams, or the encoder of an output stream.
#include "binding/Text.h"
#include "engine/FFmpeg.h"

namespace vexav {

bool TCustomFFmpeg::FindCodec(const std::string& Name, int MediaType, const AVCodec*& Codec,
                              bool Encoder) {
  Codec = nullptr;
  if (Name.empty()) return true;
  const char* Kind = Encoder ? "encoder" : "decoder";
  const AVCodec* Found = Encoder ? ff::avcodec_find_encoder_by_name(Name.c_str())
                                 : ff::avcodec_find_decoder_by_name(Name.c_str());
  if (!Found) {
    LastError = Format("Unknown %s '%s'", Kind, Name.c_str());
    return false;
  }
  if (Found->type != MediaType) {
    LastError = Format("Invalid %s type '%s'", Kind, Name.c_str());
    return false;
  }
  Codec = Found;
  return true;
}

bool TCustomFFmpeg::FindCodecId(const std::string& Name, int MediaType, int& Id, bool Encoder) {
  const AVCodec* Codec = nullptr;
  if (!FindCodec(Name, MediaType, Codec, Encoder)) return false;
  Id = Codec ? static_cast<int>(Codec->id) : static_cast<int>(AV_CODEC_ID_NONE);
  return true;
}

}  // namespace vexav
