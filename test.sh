#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite, then the
# cluster tests on a 3-node Slurm cluster started for them, then the
# tests of every layer but the cluster's again under AddressSanitizer,
# LeakSanitizer and UndefinedBehaviorSanitizer, then a short fuzzing run,
# then the Debian packages built, installed, used by an unprivileged user
# and purged. Every stage reuses its build folder (build/, build-asan/,
# build-fuzz/) on a rerun; the packages are built from scratch (build-deb/,
# into dist/).
#
# VEXAV_SKIP_CLUSTER=1 leaves out the cluster stage (it needs root);
# VEXAV_SKIP_SANITIZERS=1 leaves out the sanitizer and fuzzing stages;
# VEXAV_SKIP_FUZZ=1 leaves out only the fuzzing; VEXAV_SKIP_PACKAGES=1 leaves
# out the packages' stage (it needs root). Quick local runs set the last three.
# VEXAV_FUZZ_SECONDS sets the fuzzing time of damaged media (default 60),
# VEXAV_FUZZ_TEXT_SECONDS that of each of the four text targets (default 20
# here). CI runs every stage.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/scripts/common.sh"

stage() {
  printf '\n==== %s ====\n' "$1"
  stage_start=$SECONDS
}
stage_end() {
  printf '==== %s: done in %d s ====\n' "$1" $((SECONDS - stage_start))
}

stage "1/5 Release build and the whole suite ($VEXAV_BUILD)"
vexav_install_packages
vexav_build
# The cluster tests have a stage of their own, with the cluster they need.
ctest --test-dir "$VEXAV_BUILD" --output-on-failure -j"$(nproc)" -LE '^cluster$'
stage_end "1/5 Release build and the whole suite"

if [ "${VEXAV_SKIP_CLUSTER:-0}" = "1" ]; then
  echo "VEXAV_SKIP_CLUSTER=1: the Slurm cluster stage skipped"
else
  stage "2/5 Slurm: a 3-node cluster and the cluster tests (scripts/slurm-local.sh)"
  if [ "$(id -u)" -ne 0 ]; then
    echo "error: the cluster stage starts Slurm's daemons and munge, which needs root." >&2
    echo "Run ./test.sh as root, or leave the stage out with VEXAV_SKIP_CLUSTER=1." >&2
    exit 1
  fi
  # The daemons are stopped on every way out of this script.
  trap '"$VEXAV_ROOT/scripts/slurm-local.sh" stop' EXIT
  # A small MaxArraySize, so that the tests see a batch cut into several job
  # arrays and followed as one.
  VEXAV_SLURM_MAX_ARRAY_SIZE=4 "$VEXAV_ROOT/scripts/slurm-local.sh" start --nodes 3
  eval "$("$VEXAV_ROOT/scripts/slurm-local.sh" env)"
  # A cluster that does not answer fails these tests instead of skipping
  # them, and so does one of fewer nodes for the multi-node cases.
  VEXAV_CLUSTER_REQUIRED=1 VEXAV_CLUSTER_NODES=3 ctest --test-dir "$VEXAV_BUILD" \
    --output-on-failure -L '^cluster$' --no-tests=error
  "$VEXAV_ROOT/scripts/slurm-local.sh" stop
  trap - EXIT
  unset SLURM_CONF
  stage_end "2/5 Slurm"
fi

if [ "${VEXAV_SKIP_SANITIZERS:-0}" = "1" ]; then
  echo "VEXAV_SKIP_SANITIZERS=1: sanitizer build and fuzzing skipped"
else
  stage "3/5 AddressSanitizer + UndefinedBehaviorSanitizer: every layer's tests but the cluster's (build-asan)"
  "$VEXAV_ROOT/scripts/sanitize.sh" address
  stage_end "3/5 AddressSanitizer + UndefinedBehaviorSanitizer"

  if [ "${VEXAV_SKIP_FUZZ:-0}" = "1" ]; then
    echo "VEXAV_SKIP_FUZZ=1: fuzzing skipped"
  else
    # The text targets get 20 s each here, so that the whole run stays well
    # under half an hour on two cores; scripts/fuzz.sh alone gives them 30.
    export VEXAV_FUZZ_TEXT_SECONDS="${VEXAV_FUZZ_TEXT_SECONDS:-20}"
    stage "4/5 libFuzzer: damaged files ${VEXAV_FUZZ_SECONDS:-60} s, option texts, arguments, cluster reports, config.ini ${VEXAV_FUZZ_TEXT_SECONDS} s each (build-fuzz)"
    # A fixed seed, so that a failure here can be replayed the same way; the
    # longer runs of scripts/fuzz.sh alone draw a new seed each time.
    "$VEXAV_ROOT/scripts/fuzz.sh" "${VEXAV_FUZZ_SECONDS:-60}" -seed="${VEXAV_FUZZ_SEED:-1}"
    stage_end "4/5 libFuzzer"
  fi
fi

if [ "${VEXAV_SKIP_PACKAGES:-0}" = "1" ]; then
  echo "VEXAV_SKIP_PACKAGES=1: the Debian packages' stage skipped"
else
  stage "5/5 Debian packages: built, lintian, installed, used by an unprivileged user, purged (scripts/package-check.sh)"
  "$VEXAV_ROOT/scripts/package-check.sh"
  stage_end "5/5 Debian packages"
fi
