// The entries of libavformat that the system calls, in lookup order: one line
// each. Kept free of the library's headers so that tools can use the list.
#pragma once

// clang-format off
#define VEXAV_AVFORMAT_ENTRIES(X) \
  X(avformat_alloc_context) \
  X(avformat_open_input) \
  X(avformat_close_input) \
  X(avformat_find_stream_info) \
  X(av_seek_frame) \
  X(av_dump_format) \
  X(av_find_input_format) \
  X(avformat_alloc_output_context2) \
  X(avformat_free_context) \
  X(avformat_new_stream) \
  X(avio_open) \
  X(avio_closep) \
  X(avformat_write_header) \
  X(av_interleaved_write_frame) \
  X(av_write_trailer) \
  X(av_read_frame) \
  X(av_probe_input_buffer2) \
  X(av_guess_format) \
  X(av_guess_codec) \
  X(av_filename_number_test) \
  X(avformat_get_class) \
  X(av_codec_get_id) \
  X(av_codec_get_tag) \
  X(avio_seek) \
  X(avio_size) \
  X(av_pkt_dump_log2) \
  X(av_sdp_create) \
  X(av_stream_new_side_data) \
  X(avformat_index_get_entries_count) \
  X(avformat_index_get_entry) \
  /* end of list */
// clang-format on
