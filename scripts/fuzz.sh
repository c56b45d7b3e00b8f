#!/usr/bin/env bash
# Builds the libFuzzer harnesses of fuzz/ with clang in build-fuzz and runs
# them.
#
#   scripts/fuzz.sh --ci                     every harness for a bounded time
#   scripts/fuzz.sh [--time SECONDS] [--jobs N] [HARNESS...]
#                                            longer campaigns (default 600 s
#                                            each, all harnesses, one job)
#   scripts/fuzz.sh --build                  build only
#
# Harnesses: decode header comment nist segments roundtrip. Each works in
# build-fuzz/corpus/<harness> (kept between runs) and starts from the seeds
# in fuzz/corpus, the samples and fuzz/regressions/<harness>. Crashes,
# leaks, timeouts and out-of-memory inputs are written to
# build-fuzz/findings/<harness>/; any of them makes the script fail.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

mode=campaign
seconds=600
jobs=1
harnesses=()
while [ $# -gt 0 ]; do
  case "$1" in
    --ci) mode=ci ;;
    --build) mode=build ;;
    --time) seconds="$2"; shift ;;
    --jobs) jobs="$2"; shift ;;
    -h|--help) sed -n '2,16p' "$0"; exit 0 ;;
    -*) echo "fuzz.sh: unknown option $1" >&2; exit 2 ;;
    *) harnesses+=("$1") ;;
  esac
  shift
done
all=(decode header comment nist segments roundtrip)
[ ${#harnesses[@]} -gt 0 ] || harnesses=("${all[@]}")
if [ "$mode" = ci ]; then
  seconds=${VELLUMO_FUZZ_SECONDS:-50}
  jobs=2
fi

if [ "${VELLUMO_FUZZ_SKIP_SETUP:-0}" != 1 ]; then
  bash scripts/setup.sh
fi

build=build-fuzz
flags="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
  -DVELLUMO_BUILD_FUZZ=ON -DVELLUMO_BUILD_VIEWER=OFF -DVELLUMO_BUILD_TOOLS=OFF \
  -DVELLUMO_BUILD_TESTS=OFF -DVELLUMO_BUILD_BENCH=OFF -DVELLUMO_SANITIZE=OFF >/dev/null
targets=()
for h in "${harnesses[@]}"; do targets+=("${h}_fuzzer"); done
cmake --build "$build" -j2 --target "${targets[@]}"
[ "$mode" = build ] && exit 0

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:allocator_may_return_null=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

# Seed folders (and single files) for one harness.
seeds() {
  local h=$1 s=()
  case "$h" in
    segments) s=("$root/fuzz/corpus/segments") ;;
    roundtrip) s=("$root/fuzz/corpus/roundtrip") ;;
    nist) s=("$root/fuzz/corpus/codestream" "$root/fuzz/corpus/nist" "$build/seeds-samples") ;;
    *) s=("$root/fuzz/corpus/codestream" "$build/seeds-samples") ;;
  esac
  [ -d "$root/fuzz/regressions/$h" ] && s+=("$root/fuzz/regressions/$h")
  printf '%s\n' "${s[@]}"
}
# libFuzzer takes folders only: the samples go into one of their own.
mkdir -p "$build/seeds-samples"
cp -f samples/*.wsq "$build/seeds-samples/"

max_len() {
  case "$1" in
    roundtrip) echo 9300 ;;   # 4 + 96 x 96 pixels and some
    segments) echo 16384 ;;
    *) echo 65536 ;;
  esac
}

# Runs one harness for $seconds; returns non-zero on any finding.
run_one() {
  local h=$1 bin="$build/fuzz/${1}_fuzzer" work="$build/corpus/$1" found="$build/findings/$1"
  mkdir -p "$work" "$found"
  # Only what this run finds counts; earlier findings stay for reading.
  touch "$found/.start"
  local dirs=()
  mapfile -t dirs < <(seeds "$h")
  local log="$build/findings/$h.log"
  # First the regressions and seeds once, as the corpus replay does.
  if ! "$bin" -runs=0 -rss_limit_mb=2048 -timeout=10 "${dirs[@]}" >"$log.replay" 2>&1; then
    echo "fuzz: $h: replay of the seeds failed, see $log.replay" >&2
    grep -E 'ERROR|SUMMARY|check failed|runtime error' "$log.replay" | head -5 >&2 || true
    return 1
  fi
  local status=0
  "$bin" "$work" "${dirs[@]}" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 \
    -dict="$root/fuzz/wsq.dict" -max_len="$(max_len "$h")" -print_final_stats=1 \
    -artifact_prefix="$found/" >"$log" 2>&1 || status=$?
  local execs cov ft
  execs=$(awk '/^stat::number_of_executed_units/ {print $2}' "$log")
  cov=$(grep -oE 'cov: [0-9]+' "$log" | tail -1 | awk '{print $2}')
  ft=$(grep -oE 'ft: [0-9]+' "$log" | tail -1 | awk '{print $2}')
  echo "fuzz: $h: ${execs:-?} runs in ${seconds} s, coverage ${cov:-?} edges, ${ft:-?} features, corpus $(ls "$work" | wc -l) files"
  local new
  new=$(find "$found" -maxdepth 1 -type f -newer "$found/.start" \
          \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' -o -name 'oom-*' \) | head -5)
  if [ $status -ne 0 ] || [ -n "$new" ]; then
    echo "fuzz: $h: FINDING (exit $status), see $log" >&2
    [ -n "$new" ] && echo "$new" >&2
    grep -E 'ERROR|SUMMARY|check failed|runtime error' "$log" | head -5 >&2 || true
    return 1
  fi
  return 0
}

# $jobs harnesses at a time.
failed=0
i=0
while [ $i -lt ${#harnesses[@]} ]; do
  pids=()
  for ((k = 0; k < jobs && i < ${#harnesses[@]}; k++, i++)); do
    run_one "${harnesses[$i]}" &
    pids+=($!)
  done
  for p in "${pids[@]}"; do
    wait "$p" || failed=1
  done
done
if [ $failed -ne 0 ]; then
  echo "fuzz: failures; inputs in $build/findings/" >&2
  exit 1
fi
echo "fuzz: no findings"
