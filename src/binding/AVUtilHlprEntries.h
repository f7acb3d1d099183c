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
  X(av_reduce) \
  X(av_channel_layout_default) \
  X(av_channel_layout_uninit) \
  X(av_channel_layout_describe) \
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
  X(av_audio_fifo_alloc) \
  X(av_audio_fifo_free) \
  X(av_audio_fifo_write) \
  X(av_audio_fifo_read) \
  X(av_audio_fifo_size) \
  X(av_get_bytes_per_sample) \
  X(av_sample_fmt_is_planar) \
  X(av_channel_layout_copy) \
  X(av_frame_make_writable) \
  X(av_frame_ref) \
  X(av_frame_is_writable) \
  X(av_frame_copy_props) \
  X(av_image_get_buffer_size) \
  X(av_image_fill_arrays) \
  X(av_image_copy) \
  X(av_gettime) \
  X(av_gettime_relative) \
  X(av_usleep) \
  X(av_rescale) \
  X(av_frame_clone) \
  X(av_dict_copy) \
  X(av_set_options_string) \
  X(av_strdup) \
  /* end of list */
// clang-format on
