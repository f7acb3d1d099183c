#include "batch/segments/PieceFile.h"

#include "binding/Api.h"

namespace vexav::batch::segments {

std::string LibraryWords(int Code) {
  char Text[AV_ERROR_MAX_STRING_SIZE] = {};
  ff::av_strerror(Code, Text, sizeof Text);
  return Text;
}

std::string OpenPieceInput(const std::string& Path, AVMediaType Type, PieceInput& In) {
  AVFormatContext* Raw = nullptr;
  int Ret = ff::avformat_open_input(&Raw, Path.c_str(), nullptr, nullptr);
  if (Ret < 0) return Path + ": " + LibraryWords(Ret);
  In.File.reset(Raw);
  Ret = ff::avformat_find_stream_info(Raw, nullptr);
  if (Ret < 0) return Path + ": " + LibraryWords(Ret);
  for (unsigned I = 0; I < Raw->nb_streams && In.Stream < 0; ++I)
    if (Raw->streams[I]->codecpar->codec_type == Type) In.Stream = static_cast<int>(I);
  return std::string();
}

}  // namespace vexav::batch::segments
