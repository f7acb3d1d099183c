#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer and
# UndefinedBehaviorSanitizer) into build-fuzz/, makes their seed corpora and
# fuzzes each in turn for a bounded time:
#
#   scripts/fuzz.sh [SECONDS] [libFuzzer options...]
#
#   vexav_probe_convert_fuzzer   damaged media files, probed and converted;
#                                SECONDS (default 60)
#   vexav_option_text_fuzzer     option texts through SetOption and ExtOptions
#   vexav_command_line_fuzzer    vexav-convert's arguments
#   vexav_cluster_report_fuzzer  the cluster's task reports and job.json
#   vexav_config_ini_fuzzer      the window's config.ini, read and written back
#                                the text targets: VEXAV_FUZZ_TEXT_SECONDS
#                                each (default 30)
#
# VEXAV_FUZZ_ONLY=NAME runs one target alone (its name without "vexav_" and
# "_fuzzer", e.g. option_text). Seeds: the media target's are made by the
# test-media generator, the text targets write their own
# (VEXAV_FUZZ_WRITE_SEEDS); nothing binary is kept in the repository. Each
# corpus grows in build-fuzz/corpus (media) or build-fuzz/corpus-NAME (kept
# between runs; the seeds are only read); a crash, leak or time-out is
# written to build-fuzz/artifacts/ and the script fails. Replay one input
# with build-fuzz/bin/vexav_NAME_fuzzer FILE. VEXAV_FUZZ_BUILD overrides the
# build folder.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

seconds="${1:-60}"
[ "$#" -gt 0 ] && shift
text_seconds="${VEXAV_FUZZ_TEXT_SECONDS:-30}"
only="${VEXAV_FUZZ_ONLY:-}"
dir="${VEXAV_FUZZ_BUILD:-$VEXAV_ROOT/build-fuzz}"

vexav_fuzz_build "$dir"
mkdir -p "$dir/artifacts"
vexav_sanitizer_env

# -timeout: one input may take this long (a tiny conversion takes well under
# a second; ten leave room for a loaded machine). -rss_limit_mb: the libraries
# decode whole pictures, so a forged size may ask for a lot, but never for
# more than this. New inputs go into the corpus, the seeds are only read.
if [ -z "$only" ] || [ "$only" = probe_convert ]; then
  vexav_fuzz_seeds "$dir/bin/vexav-mediagen" "$dir/seeds"
  mkdir -p "$dir/corpus"
  fuzzer="$dir/bin/vexav_probe_convert_fuzzer"
  echo "Fuzzing for ${seconds} s: $fuzzer"
  "$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 -max_len=65536 \
    -print_final_stats=1 -artifact_prefix="$dir/artifacts/" "$@" "$dir/corpus" "$dir/seeds"
fi

# The texts: short inputs (an option list, an argument vector, a report of a
# few lines); one input takes milliseconds, so a second is already a hang.
for name in option_text command_line cluster_report config_ini; do
  [ -n "$only" ] && [ "$only" != "$name" ] && continue
  fuzzer="$dir/bin/vexav_${name}_fuzzer"
  VEXAV_FUZZ_WRITE_SEEDS="$dir/seeds-$name" "$fuzzer"
  mkdir -p "$dir/corpus-$name"
  echo "Fuzzing for ${text_seconds} s: $fuzzer"
  "$fuzzer" -max_total_time="$text_seconds" -timeout=5 -rss_limit_mb=2048 -max_len=8192 \
    -print_final_stats=1 -artifact_prefix="$dir/artifacts/$name-" "$@" \
    "$dir/corpus-$name" "$dir/seeds-$name"
done
