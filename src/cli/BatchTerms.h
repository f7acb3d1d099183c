// The command line works in the batch layer's terms: its plans, outcomes,
// progress records and segments are named in the front end as they are in
// src/batch, without a qualifier.
#pragma once

namespace vexav::batch {
namespace segments {}
}  // namespace vexav::batch

namespace vexav::cli {
using namespace ::vexav::batch;
}  // namespace vexav::cli
