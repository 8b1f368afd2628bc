#!/usr/bin/env bash
# Installs what is missing, builds with warnings as errors and runs the whole test suite,
# then builds again with AddressSanitizer and UndefinedBehaviorSanitizer and runs it again.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

jobs="$(nproc)"
export QT_QPA_PLATFORM=offscreen

echo "== Build (warnings as errors)"
cmake -S . -B build-test -DORRERY_WERROR=ON
cmake --build build-test -j"$jobs"
echo "== Tests"
ctest --test-dir build-test --output-on-failure -j"$jobs" --timeout 300

echo "== Build (AddressSanitizer + UndefinedBehaviorSanitizer)"
cmake -S . -B build-asan -DORRERY_WERROR=ON -DORRERY_SANITIZE=ON -DORRERY_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug
cmake --build build-asan -j"$jobs"
echo "== Tests under the sanitizers"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j"$jobs" --timeout 600
