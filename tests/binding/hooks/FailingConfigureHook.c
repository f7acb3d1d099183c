/* Test hook whose Configure always fails; Process and Release count calls
 * so that a test can see neither runs for a rejected hook. */
#include <stdint.h>

#include "binding/FrameHookApi.h"

static int configure_calls;
static int other_calls;

int FailingHookConfigureCalls(void) { return configure_calls; }
int FailingHookOtherCalls(void) { return other_calls; }

int Configure(void** ctx, int argc, char* argv[]) {
  (void)ctx;
  (void)argc;
  (void)argv;
  ++configure_calls;
  return -1;
}

void Process(void* ctx, VexavHookPicture* pict, int pix_fmt, int width, int height,
             int64_t pts) {
  (void)ctx;
  (void)pict;
  (void)pix_fmt;
  (void)width;
  (void)height;
  (void)pts;
  ++other_calls;
}

void Release(void* ctx) {
  (void)ctx;
  ++other_calls;
}
