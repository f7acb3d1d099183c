// The entries of libswresample that the system calls, in lookup order: one line
// each. Kept free of the library's headers so that tools can use the list.
#pragma once

// clang-format off
#define VEXAV_SWRESAMPLE_ENTRIES(X) \
  X(swr_alloc_set_opts2) \
  X(swr_init) \
  X(swr_free) \
  X(swr_convert) \
  X(swr_set_compensation) \
  X(swr_get_delay) \
  X(swr_get_out_samples) \
  /* end of list */
// clang-format on
