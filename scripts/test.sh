#!/usr/bin/env bash
# Installs what is missing, builds with warnings as errors and runs every test through ctest:
# the unit tests and the end-to-end tests on network namespaces (root needed).
#   scripts/test.sh [extra cmake options]      BUILD_DIR=build by default
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
need_packages "${L2_BUILD_PACKAGES[@]}" "${L2_TEST_PACKAGES[@]}"

build=${BUILD_DIR:-build}
cmake -S . -B "$build" -DL2_WERROR=ON "$@"
cmake --build "$build" -j "$(nproc)"
ctest --test-dir "$build" --output-on-failure
