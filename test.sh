#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/scripts/common.sh"

vexav_install_packages
vexav_build
ctest --test-dir "$VEXAV_BUILD" --output-on-failure -j"$(nproc)"
