/* Test hook with Process only: appends 'P' to the tape (the first zero byte
 * of the picture's first row) and counts its calls. */
#include <stdint.h>

#include "binding/FrameHookApi.h"

static int calls;

int ProcessOnlyHookCalls(void) { return calls; }

void Process(void* ctx, VexavHookPicture* pict, int pix_fmt, int width, int height,
             int64_t pts) {
  (void)pix_fmt;
  (void)height;
  (void)pts;
  ++calls;
  if (ctx) return; /* never configured: a context would be a fault */
  for (int x = 0; x < width; ++x) {
    if (pict->data[0][x] == 0) {
      pict->data[0][x] = 'P';
      break;
    }
  }
}
