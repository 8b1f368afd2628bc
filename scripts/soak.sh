#!/usr/bin/env bash
# The soak: builds the soak driver and runs it headless against a real nginx that it starts
# on a free loopback port: sequential requests (default 10,000), mixed GET/HEAD/POST with
# every tenth one failing (refused port, 404, reset), on one component and on fresh ones.
# Prints open descriptors and resident memory after the first 100 requests and at the end.
#   scripts/soak.sh [requests]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build-soak -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORRERY_BUILD_APP=OFF \
  -DORRERY_BUILD_BENCH=OFF >/dev/null
cmake --build build-soak -j2 --target orrery_soak >/dev/null
exec build-soak/tests/hostile/orrery_soak "${1:-10000}"
