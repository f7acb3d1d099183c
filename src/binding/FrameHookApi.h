/* The contract between the converter and a frame-hook library: a shared
 * object exporting these C functions. Process is required; Configure is
 * required when the hook is given arguments; Release is optional. */
#ifndef VEXAV_FRAME_HOOK_API_H
#define VEXAV_FRAME_HOOK_API_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* A picture as four plane pointers followed by their four line sizes. */
typedef struct VexavHookPicture {
  uint8_t* data[4];
  int linesize[4];
} VexavHookPicture;

/* Fills *ctx; argv[0] is the library path itself. 0 means success. The
 * argument strings belong to the caller and do not outlive the call: copy
 * what must be kept. When Configure fails, Release is not called for that
 * hook, so Configure frees whatever it allocated before failing. */
typedef int (*VexavHookConfigure)(void** ctx, int argc, char* argv[]);
/* Changes the picture in place. pix_fmt is the library's pixel-format code,
 * pts the picture's time in microseconds. */
typedef void (*VexavHookProcess)(void* ctx, VexavHookPicture* picture, int pix_fmt, int width,
                                 int height, int64_t pts);
typedef void (*VexavHookRelease)(void* ctx);

#ifdef __cplusplus
}
#endif

#endif
