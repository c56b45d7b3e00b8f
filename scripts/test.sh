#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds everything (program, tools,
# tests, benchmarks) and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELLUMO_BUILD_TESTS=ON -DVELLUMO_BUILD_BENCH=ON
cmake --build build -j"$jobs"
QT_QPA_PLATFORM=offscreen ctest --test-dir build --output-on-failure -j"$jobs" --timeout 600
