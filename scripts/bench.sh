#!/usr/bin/env bash
# Builds the codec benchmark in a Release tree (build-bench) and runs it in
# full: our decoder on one thread and on all cores beside TurboJPEG and
# OpenJPEG, our encoder, peak heap per pixel. Prints the machine and the
# markdown summary, ready to paste; the whole output is kept in
# build-bench/bench_codec.log. Extra arguments go to bench_codec (Google
# Benchmark flags, e.g. --benchmark_filter=/1608x1000/).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DVELLUMO_BUILD_VIEWER=OFF -DVELLUMO_BUILD_BENCH=ON >/dev/null
cmake --build build-bench -j"$jobs" --target bench_codec >&2

log=build-bench/bench_codec.log
status=0
build-bench/bench/codec/bench_codec --benchmark_color=false "$@" >"$log" 2>&1 || status=$?

cpu=$(sed -n 's/^model name[[:space:]]*:[[:space:]]*//p' /proc/cpuinfo | head -n1)
cores=$(nproc)
compiler=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' build-bench/CMakeCache.txt)
compiler_version=$("${compiler:-c++}" --version | head -n1)
flags=$(sed -n 's/^CMAKE_CXX_FLAGS_RELEASE:[A-Z]*=//p' build-bench/CMakeCache.txt)
echo
echo "## Machine"
echo
echo "- CPU: ${cpu:-unknown}"
echo "- cores: ${cores}"
echo "- compiler: ${compiler_version} (Release: ${flags} -ffp-contract=off)"
echo "- load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
echo
sed -n '/^## Codec benchmark summary/,$p' "$log"
grep '^bench_codec:' "$log" || true
if [ "$status" -ne 0 ]; then
  echo "bench_codec failed (exit $status); see $log" >&2
  grep -i 'error' "$log" >&2 || true
fi
exit "$status"
