// What an encoder tells about a picture it coded: quality, picture type and
// per-plane squared errors, carried by the packet's quality-statistics side
// data, and the key-frame flag of the packet.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

struct AVPacket;

namespace vexav {

// The encoder's lambda for one quantiser step (FF_QP2LAMBDA).
inline constexpr double QP2LAMBDA = 118.0;

struct TCodedPictureStats {
  // False until a packet with quality statistics was read.
  bool Valid = false;
  // Quality in lambda units (divide by QP2LAMBDA for the quantiser).
  int Quality = 0;
  // AV_PICTURE_TYPE_* (I 1, P 2, B 3, ...), 0 when not known.
  int PictType = 0;
  bool KeyFrame = false;
  // Sum of squared errors per plane (Y, U, V, and a fourth when given);
  // ErrorCount of them were present.
  int ErrorCount = 0;
  std::array<uint64_t, 4> Error{};
};

// Reads the side-data record: bytes 0-3 quality (little-endian int32),
// byte 4 picture type, byte 5 error count, 2 spare bytes, then that many
// little-endian 64-bit errors (at most 4 are kept, and only those that fit
// in Size). False for a record shorter than 8 bytes; Out is then untouched.
bool ParseQualityStats(const uint8_t* Data, std::size_t Size, TCodedPictureStats& Out);

// The statistics of Packet: its quality-statistics side data and its key
// flag. Valid is false when the packet carries no such side data.
TCodedPictureStats ReadQualityStats(const AVPacket& Packet);

}  // namespace vexav
