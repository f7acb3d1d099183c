// Every media-library entry the system calls, reachable as ff::name(...).
// Code above the binding includes this header and never calls the libraries'
// functions directly (the programs are not linked against them: a direct
// call fails to link).
#pragma once

#include "binding/AVCodecHlpr.h"
#include "binding/AVFilterHlpr.h"
#include "binding/AVFormatHlpr.h"
#include "binding/AVUtilHlpr.h"
#include "binding/SwResampleHlpr.h"
#include "binding/SwScaleHlpr.h"

namespace vexav::ff {
using namespace vexav::AVCodecHlpr;
using namespace vexav::AVFilterHlpr;
using namespace vexav::AVFormatHlpr;
using namespace vexav::AVUtilHlpr;
using namespace vexav::SwResampleHlpr;
using namespace vexav::SwScaleHlpr;
}  // namespace vexav::ff
