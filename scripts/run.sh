#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds the viewer and shows a bundled
# sample fingerprint. Extra arguments replace the sample path.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$(nproc 2>/dev/null || echo 2)" --target vellumo
if [ $# -gt 0 ]; then
  exec ./build/viewer/vellumo "$@"
fi
exec ./build/viewer/vellumo samples/loop-500x500.wsq
