// The entries of libavfilter that the system calls, in lookup order: one line
// each. Kept free of the library's headers so that tools can use the list.
#pragma once

// clang-format off
#define VEXAV_AVFILTER_ENTRIES(X) \
  X(avfilter_graph_alloc) \
  X(avfilter_graph_free) \
  X(avfilter_get_by_name) \
  X(avfilter_graph_alloc_filter) \
  X(avfilter_graph_create_filter) \
  X(avfilter_init_str) \
  X(avfilter_link) \
  X(avfilter_graph_parse_ptr) \
  X(avfilter_graph_config) \
  X(avfilter_inout_alloc) \
  X(avfilter_inout_free) \
  X(av_buffersrc_add_frame_flags) \
  X(av_buffersink_get_frame) \
  X(av_buffersink_get_w) \
  X(av_buffersink_get_h) \
  X(av_buffersink_get_format) \
  X(av_buffersink_get_time_base) \
  /* end of list */
// clang-format on
