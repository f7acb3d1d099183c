// The entries of libswscale that the system calls, in lookup order: one line
// each. Kept free of the library's headers so that tools can use the list.
#pragma once

// clang-format off
#define VEXAV_SWSCALE_ENTRIES(X) \
  X(sws_getContext) \
  X(sws_scale) \
  X(sws_freeContext) \
  X(sws_getCachedContext) \
  X(sws_alloc_context) \
  X(sws_init_context) \
  /* end of list */
// clang-format on
