#!/usr/bin/env bash
# The word error rate benchmark: builds quern and the Python module (Release, build-release/),
# makes the labelled long-form set in build-release/wer/ and prints the streaming, two-pass and
# true-span WER per condition with each pass's real-time factor (bench/wer/wer.py).
set -euo pipefail
cd "$(dirname "$0")/../.."
scripts/setup.sh >&2
cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUERN_BUILD_TESTS=OFF >&2
cmake --build build-release --target quern _quern >&2
export OMP_NUM_THREADS=1
PYTHONPATH=build-release/python /usr/bin/python3 bench/wer/wer.py build-release/tools/quern \
  build-release/wer
