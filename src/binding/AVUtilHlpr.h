// Run-time binding of libavutil: the module's entry variables and its
// loading operations.
#pragma once

#include <string>

#include "binding/LibModule.h"
#include "binding/AVUtilHlprEntries.h"

extern "C" {
#include <libavutil/audio_fifo.h>
#include <libavutil/avutil.h>
#include <libavutil/channel_layout.h>
#include <libavutil/dict.h>
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
#include <libavutil/log.h>
#include <libavutil/mathematics.h>
#include <libavutil/mem.h>
#include <libavutil/opt.h>
#include <libavutil/parseutils.h>
#include <libavutil/pixdesc.h>
#include <libavutil/samplefmt.h>
#include <libavutil/time.h>
}

namespace vexav::AVUtilHlpr {

VEXAV_AVUTIL_ENTRIES(VEXAV_DECLARE_ENTRY)

std::string LibFileName();
bool LoadLib(std::string& ErrorText, const std::string& Folder, bool Versioned);
void UnloadLib();
bool LibLoaded();
binding::LibModule& Module();

}  // namespace vexav::AVUtilHlpr
