#!/usr/bin/env bash
# Installs what is missing, builds the program and starts it. Without a display the program
# says how to run it on a virtual one (xvfb-run) instead of starting.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
# A build directory of its own, so that a developer's build/ keeps its tests switched on.
cmake -S . -B build-run -DORRERY_BUILD_TESTS=OFF -DORRERY_BUILD_BENCH=OFF
cmake --build build-run -j"$(nproc)" --target orrery
exec build-run/app/orrery "$@"
