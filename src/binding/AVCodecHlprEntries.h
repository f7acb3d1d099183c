// The entries of libavcodec that the system calls, in lookup order: one line
// each. Kept free of the library's headers so that tools can use the list.
#pragma once

// clang-format off
#define VEXAV_AVCODEC_ENTRIES(X) \
  X(avcodec_alloc_context3) \
  X(avcodec_free_context) \
  X(avcodec_find_encoder) \
  X(avcodec_find_encoder_by_name) \
  X(avcodec_find_decoder) \
  X(avcodec_find_decoder_by_name) \
  X(avcodec_open2) \
  X(avcodec_parameters_to_context) \
  X(avcodec_parameters_from_context) \
  X(avcodec_send_packet) \
  X(avcodec_receive_frame) \
  X(avcodec_send_frame) \
  X(avcodec_receive_packet) \
  X(avcodec_flush_buffers) \
  X(avcodec_get_name) \
  X(av_packet_alloc) \
  X(av_packet_free) \
  X(av_packet_unref) \
  X(av_packet_rescale_ts) \
  X(av_bsf_get_by_name) \
  X(avcodec_get_class) \
  X(av_packet_get_side_data) \
  X(avcodec_close) \
  X(avcodec_parameters_copy) \
  X(avcodec_decode_subtitle2) \
  X(avcodec_encode_subtitle) \
  X(avsubtitle_free) \
  X(av_packet_ref) \
  X(av_bsf_alloc) \
  X(av_bsf_init) \
  X(av_bsf_send_packet) \
  X(av_bsf_receive_packet) \
  X(av_bsf_free) \
  X(av_bsf_list_parse_str) \
  X(av_codec_is_encoder) \
  X(av_new_packet) \
  /* end of list */
// clang-format on
