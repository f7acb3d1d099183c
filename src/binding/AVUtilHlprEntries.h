// The entries of libavutil that the system calls, in lookup order: one line
// each. Kept free of the library's headers so that tools can use the list.
#pragma once

// clang-format off
#define VEXAV_AVUTIL_ENTRIES(X) \
  X(av_log_set_callback) \
  X(av_log_default_callback) \
  X(av_log_get_level) \
  X(av_log_set_level) \
  X(av_log) \
  X(av_strerror) \
  X(av_malloc) \
  X(av_mallocz) \
  X(av_free) \
  X(av_freep) \
  X(av_dict_set) \
  X(av_dict_get) \
  X(av_dict_free) \
  X(av_frame_alloc) \
  X(av_frame_free) \
  X(av_frame_unref) \
  X(av_rescale_q) \
  X(av_channel_layout_default) \
  X(av_channel_layout_uninit) \
  X(av_get_pix_fmt_name) \
  X(av_get_sample_fmt_name) \
  X(av_frame_get_buffer) \
  X(av_get_pix_fmt) \
  X(av_pix_fmt_desc_get) \
  X(av_opt_find) \
  X(av_opt_set) \
  X(av_opt_get) \
  X(av_opt_get_int) \
  X(av_parse_time) \
  X(av_parse_video_rate) \
  X(av_parse_video_size) \
  X(av_get_pix_fmt_string) \
  X(av_pix_fmt_desc_next) \
  X(av_pix_fmt_desc_get_id) \
  X(av_get_sample_fmt) \
  X(av_get_sample_fmt_string) \
  /* end of list */
// clang-format on
