/* What the counting test hook records, process-wide, for the tests to read
 * through its exported CountingHookStats() (found with dlsym). */
#ifndef VEXAV_TEST_COUNTING_HOOK_H
#define VEXAV_TEST_COUNTING_HOOK_H

#ifdef __cplusplus
extern "C" {
#endif

#define COUNTING_HOOK_MAX_CONTEXTS 8
#define COUNTING_HOOK_TEXT 256

typedef struct CountingHookContextStats {
  void* ctx;                     /* the context handed out by Configure */
  int argc;                      /* as Configure saw it */
  char argv[COUNTING_HOOK_TEXT]; /* argv[0..argc-1] joined with '|' */
  int processed;                 /* Process calls with this context */
  int released;                  /* Release calls with this context */
} CountingHookContextStats;

typedef struct CountingHookStatsData {
  int configure_calls;
  int process_calls;
  int release_calls;
  /* Indexed by context number: 0 for the first Configure since the reset. */
  CountingHookContextStats contexts[COUNTING_HOOK_MAX_CONTEXTS];
} CountingHookStatsData;

typedef const CountingHookStatsData* (*CountingHookStatsFn)(void);
typedef void (*CountingHookResetFn)(void);

#ifdef __cplusplus
}
#endif

#endif
