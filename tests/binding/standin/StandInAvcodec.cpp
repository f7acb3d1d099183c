// A stand-in for libavcodec that exports a function under the name of every
// entry the system looks up, except the one renamed on the command line.
#include "binding/AVCodecHlprEntries.h"

#define VEXAV_STANDIN_ENTRY(Name) \
  extern "C" __attribute__((visibility("default"))) void Name() {}
VEXAV_AVCODEC_ENTRIES(VEXAV_STANDIN_ENTRY)
