#!/usr/bin/env bash
# Builds the libFuzzer target (clang, AddressSanitizer and
# UndefinedBehaviorSanitizer) into build-fuzz/, makes its seed corpus with
# the test-media generator, and fuzzes for the given time.
#
#   scripts/fuzz.sh [SECONDS] [libFuzzer options...]
#
# SECONDS defaults to 60. The corpus grows in build-fuzz/corpus (kept between
# runs, seeds in build-fuzz/seeds); a crash, leak or time-out is written to
# build-fuzz/artifacts/ and the script fails. Replay one input with
#   build-fuzz/bin/vexav_probe_convert_fuzzer FILE
# VEXAV_FUZZ_BUILD overrides the build folder.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

seconds="${1:-60}"
[ "$#" -gt 0 ] && shift
dir="${VEXAV_FUZZ_BUILD:-$VEXAV_ROOT/build-fuzz}"
fuzzer="$dir/bin/vexav_probe_convert_fuzzer"

vexav_fuzz_build "$dir"
vexav_fuzz_seeds "$dir/bin/vexav-mediagen" "$dir/seeds"
mkdir -p "$dir/corpus" "$dir/artifacts"
vexav_sanitizer_env

# -timeout: one input may take this long (a tiny conversion takes well under
# a second; ten leave room for a loaded machine). -rss_limit_mb: the libraries
# decode whole pictures, so a forged size may ask for a lot, but never for
# more than this. New inputs go into corpus/, the seeds are only read.
echo "Fuzzing for ${seconds} s: $fuzzer"
"$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 -max_len=65536 \
  -print_final_stats=1 -artifact_prefix="$dir/artifacts/" "$@" "$dir/corpus" "$dir/seeds"
