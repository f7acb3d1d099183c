/* Test hook with Configure, Process and Release. Each Configure makes a new
 * context; every call is counted per context in a process-wide record.
 * Process appends the context's tag (the first character of argv[1], or 'C'
 * without arguments) to the tape: the first zero byte of the picture's
 * first row. Configure fails only for the single argument "fail". */
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "binding/FrameHookApi.h"
#include "binding/hooks/CountingHook.h"

typedef struct Context {
  int number;
  char tag;
} Context;

static CountingHookStatsData stats;

const CountingHookStatsData* CountingHookStats(void) { return &stats; }

void CountingHookReset(void) { memset(&stats, 0, sizeof stats); }

int Configure(void** ctx, int argc, char* argv[]) {
  if (argc == 2 && strcmp(argv[1], "fail") == 0) return 1;
  const int number = stats.configure_calls++;
  if (number >= COUNTING_HOOK_MAX_CONTEXTS) return 1;
  Context* c = malloc(sizeof *c);
  if (!c) return 1;
  c->number = number;
  c->tag = argc > 1 && argv[1][0] ? argv[1][0] : 'C';
  *ctx = c;

  CountingHookContextStats* s = &stats.contexts[number];
  s->ctx = c;
  s->argc = argc;
  size_t used = 0;
  for (int i = 0; i < argc; ++i) {
    const size_t len = strlen(argv[i]);
    if (used + len + 2 > sizeof s->argv) break;
    if (i > 0) s->argv[used++] = '|';
    memcpy(s->argv + used, argv[i], len);
    used += len;
  }
  s->argv[used] = '\0';
  return 0;
}

void Process(void* ctx, VexavHookPicture* pict, int pix_fmt, int width, int height,
             int64_t pts) {
  (void)pix_fmt;
  (void)height;
  (void)pts;
  Context* c = ctx;
  ++stats.process_calls;
  if (!c) return;
  ++stats.contexts[c->number].processed;
  for (int x = 0; x < width; ++x) {
    if (pict->data[0][x] == 0) {
      pict->data[0][x] = (uint8_t)c->tag;
      break;
    }
  }
}

void Release(void* ctx) {
  Context* c = ctx;
  ++stats.release_calls;
  if (!c) return;
  ++stats.contexts[c->number].released;
  free(c);
}
