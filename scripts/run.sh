#!/usr/bin/env bash
# Installs what is missing, builds the program and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -DORRERY_BUILD_TESTS=OFF -DORRERY_BUILD_BENCH=OFF
cmake --build build -j"$(nproc)" --target orrery
exec build/app/orrery "$@"
