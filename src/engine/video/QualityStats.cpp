#include "engine/video/QualityStats.h"

#include <algorithm>

#include "binding/Api.h"

namespace vexav {

namespace {

uint64_t ReadLE(const uint8_t* P, int Bytes) {
  uint64_t V = 0;
  for (int I = Bytes - 1; I >= 0; --I) V = (V << 8) | P[I];
  return V;
}

}  // namespace

bool ParseQualityStats(const uint8_t* Data, std::size_t Size, TCodedPictureStats& Out) {
  if (!Data || Size < 8) return false;
  TCodedPictureStats S;
  S.Valid = true;
  S.KeyFrame = Out.KeyFrame;
  S.Quality = static_cast<int32_t>(static_cast<uint32_t>(ReadLE(Data, 4)));
  S.PictType = Data[4];
  const std::size_t Fitting = (Size - 8) / 8;
  const std::size_t Count = std::min<std::size_t>({Data[5], Fitting, S.Error.size()});
  S.ErrorCount = static_cast<int>(Count);
  for (std::size_t I = 0; I < Count; ++I) S.Error[I] = ReadLE(Data + 8 + 8 * I, 8);
  Out = S;
  return true;
}

TCodedPictureStats ReadQualityStats(const AVPacket& Packet) {
  TCodedPictureStats S;
  S.KeyFrame = (Packet.flags & AV_PKT_FLAG_KEY) != 0;
  std::size_t Size = 0;
  const uint8_t* Data = ff::av_packet_get_side_data(&Packet, AV_PKT_DATA_QUALITY_STATS, &Size);
  ParseQualityStats(Data, Size, S);
  return S;
}

}  // namespace vexav
