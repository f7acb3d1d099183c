#!/usr/bin/env bash
# Builds the project with a sanitizer and runs every layer's tests through
# CTest (selected by label: a new layer is included without naming it; the
# labels left out, each with its reason, are in scripts/common.sh). Any
# sanitizer report fails the run, including one from a child process that a
# test started.
#
#   scripts/sanitize.sh [address|thread] [ctest arguments...]
#
# address (default): AddressSanitizer, LeakSanitizer and
# UndefinedBehaviorSanitizer, in build-asan/. thread: ThreadSanitizer, in
# build-tsan/. Extra arguments go to ctest, e.g. `-R RunControl` or
# `-L '^(cli|component)$'`. VEXAV_SANITIZE_BUILD overrides the build folder.
# The reports are written to BUILD/sanitizer-reports/ and shown at the end.
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
reports="$dir/sanitizer-reports"
vexav_sanitizer_reports "$reports"

# Labels, not layers' targets: every test is selected unless its label is
# left out; --no-tests=error catches an expression that selects nothing.
run_ctest() {
  ctest --test-dir "$dir" --output-on-failure -j"$(nproc)" --no-tests=error \
    -LE "$(vexav_unsanitized_labels "$kind")" "$@"
}
status=0
if [ "$kind" = address ]; then
  # The tests that unload the media libraries (scripts/common.sh says why)
  # run apart, with the leak check off; with ctest arguments of the caller's
  # they are left out.
  run_ctest -E "$(vexav_test_names "${VEXAV_UNSANITIZED_TESTS[@]}" \
    "${VEXAV_LEAK_UNCHECKED_TESTS[@]}")" "$@" || status=$?
  if [ "$#" -eq 0 ]; then
    echo "The tests that unload the media libraries, without the leak check:"
    ASAN_OPTIONS="$ASAN_OPTIONS:detect_leaks=0" \
      run_ctest -R "$(vexav_test_names "${VEXAV_LEAK_UNCHECKED_TESTS[@]}")" || status=$?
  fi
else
  run_ctest -E "$(vexav_test_names "${VEXAV_UNSANITIZED_TESTS[@]}")" "$@" || status=$?
fi

shopt -s nullglob
found=("$reports"/*)
if [ "${#found[@]}" -gt 0 ]; then
  echo "error: ${#found[@]} sanitizer report(s) in $reports:" >&2
  for f in "${found[@]}"; do
    printf '\n---- %s ----\n' "${f##*/}" >&2
    cat "$f" >&2
  done
  [ "$status" -eq 0 ] && status=1
fi
exit "$status"
