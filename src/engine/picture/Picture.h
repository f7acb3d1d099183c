// A picture as the engine passes it around: four plane pointers and four line
// sizes, without ownership. Unused planes hold a null pointer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "binding/FrameHookApi.h"

namespace vexav {

struct TPicture {
  uint8_t* data[4] = {};
  int linesize[4] = {};
};

// The frame-hook contract carries the same two arrays; the conversions below
// rely on the layouts matching.
static_assert(std::is_standard_layout_v<TPicture>);
static_assert(sizeof(TPicture) == sizeof(VexavHookPicture));
static_assert(offsetof(TPicture, data) == offsetof(VexavHookPicture, data));
static_assert(offsetof(TPicture, linesize) == offsetof(VexavHookPicture, linesize));
static_assert(sizeof(TPicture::data) == sizeof(VexavHookPicture::data));
static_assert(sizeof(TPicture::linesize) == sizeof(VexavHookPicture::linesize));

inline VexavHookPicture ToHookPicture(const TPicture& P) {
  VexavHookPicture H{};
  for (int I = 0; I < 4; ++I) {
    H.data[I] = P.data[I];
    H.linesize[I] = P.linesize[I];
  }
  return H;
}

inline TPicture FromHookPicture(const VexavHookPicture& H) {
  TPicture P;
  for (int I = 0; I < 4; ++I) {
    P.data[I] = H.data[I];
    P.linesize[I] = H.linesize[I];
  }
  return P;
}

}  // namespace vexav
