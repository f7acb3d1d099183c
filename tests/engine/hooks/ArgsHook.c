/* A frame hook for the engine's tests: it keeps the words Configure was
 * given, readable through ArgsHookCount and ArgsHookWord (found with
 * dlsym). A second word "fail" makes Configure fail. */
#include <string.h>

#include "binding/FrameHookApi.h"

#define ARGS_HOOK_EXPORT __attribute__((visibility("default")))
#define ARGS_HOOK_WORDS 80
#define ARGS_HOOK_TEXT 256

static int Count;
static char Words[ARGS_HOOK_WORDS][ARGS_HOOK_TEXT];

ARGS_HOOK_EXPORT int Configure(void** ctx, int argc, char* argv[]) {
  Count = argc;
  for (int i = 0; i < argc && i < ARGS_HOOK_WORDS; ++i) {
    strncpy(Words[i], argv[i], ARGS_HOOK_TEXT - 1);
    Words[i][ARGS_HOOK_TEXT - 1] = '\0';
  }
  *ctx = 0;
  return argc > 1 && strcmp(argv[1], "fail") == 0 ? 1 : 0;
}

ARGS_HOOK_EXPORT void Process(void* ctx, VexavHookPicture* picture, int pix_fmt, int width,
                              int height, int64_t pts) {
  (void)ctx;
  (void)picture;
  (void)pix_fmt;
  (void)width;
  (void)height;
  (void)pts;
}

ARGS_HOOK_EXPORT int ArgsHookCount(void) { return Count; }

ARGS_HOOK_EXPORT const char* ArgsHookWord(int index) {
  return index >= 0 && index < ARGS_HOOK_WORDS ? Words[index] : "";
}
