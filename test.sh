#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite, then the
# engine's and the converter component's tests again under AddressSanitizer
# and UndefinedBehaviorSanitizer, then a short fuzzing run. Every stage
# reuses its build folder (build/, build-asan/, build-fuzz/) on a rerun.
#
# VEXAV_SKIP_SANITIZERS=1 stops after the normal suite (quick local runs);
# VEXAV_SKIP_FUZZ=1 leaves out only the fuzzing. VEXAV_FUZZ_SECONDS sets the
# fuzzing time (default 60). CI runs every stage.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/scripts/common.sh"

stage() {
  printf '\n==== %s ====\n' "$1"
  stage_start=$SECONDS
}
stage_end() {
  printf '==== %s: done in %d s ====\n' "$1" $((SECONDS - stage_start))
}

stage "1/3 Release build and the whole suite ($VEXAV_BUILD)"
vexav_install_packages
vexav_build
ctest --test-dir "$VEXAV_BUILD" --output-on-failure -j"$(nproc)"
stage_end "1/3 Release build and the whole suite"

if [ "${VEXAV_SKIP_SANITIZERS:-0}" = "1" ]; then
  echo "VEXAV_SKIP_SANITIZERS=1: sanitizer build and fuzzing skipped"
  exit 0
fi

stage "2/3 AddressSanitizer + UndefinedBehaviorSanitizer: engine and component tests (build-asan)"
"$VEXAV_ROOT/scripts/sanitize.sh" address
stage_end "2/3 AddressSanitizer + UndefinedBehaviorSanitizer"

if [ "${VEXAV_SKIP_FUZZ:-0}" = "1" ]; then
  echo "VEXAV_SKIP_FUZZ=1: fuzzing skipped"
  exit 0
fi

stage "3/3 libFuzzer: probe and conversion of damaged files, ${VEXAV_FUZZ_SECONDS:-60} s (build-fuzz)"
# A fixed seed, so that a failure here can be replayed the same way; the
# longer runs of scripts/fuzz.sh alone draw a new seed each time.
"$VEXAV_ROOT/scripts/fuzz.sh" "${VEXAV_FUZZ_SECONDS:-60}" -seed="${VEXAV_FUZZ_SEED:-1}"
stage_end "3/3 libFuzzer"
