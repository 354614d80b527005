#!/usr/bin/env bash
# Runs the unit and end-to-end tests (not the soak) with AddressSanitizer and
# UndefinedBehaviorSanitizer (halting on the first error), then every libFuzzer target for a
# bounded number of runs.
#   scripts/sanitize.sh        FUZZ_RUNS=200000 per target by default
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
need_packages "${L2_BUILD_PACKAGES[@]}" "${L2_TEST_PACKAGES[@]}" clang libclang-rt-dev

export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
cmake -S . -B build-asan -DL2_SANITIZE=ON -DL2_WERROR=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build-asan -j "$(nproc)"
# The soak repeats, for endurance, paths the other suites already take once each; it runs in
# scripts/test.sh, and here would add about three minutes to CI for no new path.
ctest --test-dir build-asan --output-on-failure -LE soak

CC=clang CXX=clang++ cmake -S . -B build-fuzz -DL2_FUZZ=ON -DL2_TESTS=OFF \
    -DL2_FUZZ_RUNS="${FUZZ_RUNS:-200000}" >/dev/null
cmake --build build-fuzz -j "$(nproc)" --target fuzz_frame fuzz_mac fuzz_identity
ctest --test-dir build-fuzz --output-on-failure -L fuzz
