#!/usr/bin/env bash
# Builds the codec library, wsqtool and their tests with AddressSanitizer
# and UndefinedBehaviorSanitizer and runs those tests.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVELLUMO_SANITIZE=ON \
  -DVELLUMO_BUILD_VIEWER=OFF -DVELLUMO_BUILD_TESTS=ON -DVELLUMO_BUILD_BENCH=OFF
cmake --build build-asan -j"$jobs"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir build-asan --output-on-failure -j"$jobs" --timeout 900
