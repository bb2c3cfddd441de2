#!/usr/bin/env bash
# The benchmark command: a Release build in build-release/ and every benchmark program in it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUERN_BUILD_TESTS=OFF
cmake --build build-release
for b in build-release/bench/*_bench; do
  echo "== $(basename "$b")"
  "$b" --benchmark_min_time=0.2
done
