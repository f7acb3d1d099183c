/* Test hook lacking Process: Configure and Release only, both counted. */
#include "binding/FrameHookApi.h"

static int calls;

int NoProcessHookCalls(void) { return calls; }

int Configure(void** ctx, int argc, char* argv[]) {
  (void)ctx;
  (void)argc;
  (void)argv;
  ++calls;
  return 0;
}

void Release(void* ctx) {
  (void)ctx;
  ++calls;
}
