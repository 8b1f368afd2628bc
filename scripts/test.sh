#!/usr/bin/env bash
# Installs what is missing, builds with warnings as errors and runs the whole test suite,
# then builds again with AddressSanitizer and UndefinedBehaviorSanitizer and runs it again,
# and last builds the platform, socket and HTTP tests with ThreadSanitizer and runs those:
# host look-up workers post into the owning thread's queue from threads of their own.
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

echo "== Build (ThreadSanitizer: platform, socket and HTTP tests)"
tsan_targets=(platform_tests tls_tests socket_tests orrery_http_tests velhttp_tests)
cmake -S . -B build-tsan -DORRERY_WERROR=ON -DORRERY_TSAN=ON -DORRERY_BUILD_BENCH=OFF \
  -DORRERY_BUILD_APP=OFF
cmake --build build-tsan -j"$jobs" --target "${tsan_targets[@]}"

# ThreadSanitizer needs its fixed memory layout. Kernels that randomise mmap with more than
# 28 bits (vm.mmap_rnd_bits) break it: the program dies at start with "unexpected memory
# mapping". Then run without address randomisation, which the kernel grants per process.
tsan_run=()
if ! build-tsan/tests/platform/platform_tests --gtest_list_tests >/dev/null 2>&1; then
  if setarch "$(uname -m)" -R build-tsan/tests/platform/platform_tests --gtest_list_tests \
      >/dev/null 2>&1; then
    echo "ThreadSanitizer: running without address randomisation (setarch -R)"
    tsan_run=(setarch "$(uname -m)" -R)
  else
    echo "ThreadSanitizer cannot start here; try: sysctl vm.mmap_rnd_bits=28" >&2
    build-tsan/tests/platform/platform_tests --gtest_list_tests >/dev/null
    exit 1
  fi
fi

echo "== Tests under ThreadSanitizer"
# Only the targets above were built; the other suites' unbuilt executables stand in ctest
# as "<target>_NOT_BUILT" placeholders, so those are left out by name.
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 "${tsan_run[@]}" \
  ctest --test-dir build-tsan --output-on-failure -j"$jobs" --timeout 600 -E '_NOT_BUILT$'
