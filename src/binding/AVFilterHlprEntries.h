// The entries of libavfilter that the system calls, in lookup order: one line
// each. Kept free of the library's headers so that tools can use the list.
#pragma once

// clang-format off
#define VEXAV_AVFILTER_ENTRIES(X) \
  X(avfilter_graph_alloc) \
  X(avfilter_graph_free) \
  /* end of list */
// clang-format on
