#!/usr/bin/env bash
# Builds the engine's and the converter component's tests with a sanitizer
# and runs them through CTest; any sanitizer report fails its test.
#
#   scripts/sanitize.sh [address|thread] [ctest arguments...]
#
# address (default): AddressSanitizer, LeakSanitizer and
# UndefinedBehaviorSanitizer, in build-asan/. thread: ThreadSanitizer, in
# build-tsan/. Extra arguments go to ctest, e.g. `-R RunControl`.
# VEXAV_SANITIZE_BUILD overrides the build folder.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

kind="${1:-address}"
[ "$#" -gt 0 ] && shift
case "$kind" in
  address) dir="${VEXAV_SANITIZE_BUILD:-$VEXAV_ROOT/build-asan}" ;;
  thread) dir="${VEXAV_SANITIZE_BUILD:-$VEXAV_ROOT/build-tsan}" ;;
  *) echo "usage: scripts/sanitize.sh [address|thread] [ctest arguments...]" >&2; exit 2 ;;
esac

vexav_sanitizer_build "$kind" "$dir"
vexav_sanitizer_env
ctest --test-dir "$dir" --output-on-failure -j"$(nproc)" -L "$(vexav_sanitized_labels)" "$@"
