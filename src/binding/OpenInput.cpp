#include "binding/OpenInput.h"

#include "binding/Api.h"
#include "binding/ErrorText.h"

namespace vexav {

bool InputDataRecognised(const std::string& Url) {
  AVIOContext* Source = nullptr;
  if (ff::avio_open(&Source, Url.c_str(), AVIO_FLAG_READ) < 0) return true;
  const AVInputFormat* Found = nullptr;
  // An empty name: the demuxers judge the bytes only, and no extension can
  // win the detection.
  int Score = ff::av_probe_input_buffer2(Source, &Found, "", nullptr, 0, 0);
  ff::avio_closep(&Source);
  // Scores up to the retry mark are guesses the library itself would only
  // settle for when the data has run out (random bytes score 1 as MP3).
  return Found != nullptr && Score > AVPROBE_SCORE_RETRY;
}

InputOpenResult OpenInputFile(AVFormatContext** Context, const std::string& Url,
                              const AVInputFormat* Format, AVDictionary** Options) {
  InputOpenResult Result;
  Result.Code = ff::avformat_open_input(Context, Url.c_str(), Format, Options);
  if (Result.Code >= 0) return Result;
  Result.TextCode = Result.Code;
  if (Result.Code == AVERROR_INVALIDDATA && !Format && !InputDataRecognised(Url))
    Result.TextCode = AVERROR_DEMUXER_NOT_FOUND;
  Result.Row = ErrorRow(Result.TextCode);
  return Result;
}

}  // namespace vexav
