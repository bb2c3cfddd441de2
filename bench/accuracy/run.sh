#!/usr/bin/env bash
# The accuracy benchmark: builds quern (Release, build-release/), makes the labelled set in
# build-release/accuracy/ and prints the segment accuracy of model and energy mode beside each
# other (bench/accuracy/accuracy.py). Extra arguments go to every `quern vad` run, e.g.
#   bench/accuracy/run.sh --pad 0.1
# except --second-set: the set made from other voices, sentences and speaking rates, in
# build-release/accuracy-second/.
set -euo pipefail
cd "$(dirname "$0")/../.."
scripts/setup.sh >&2
cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUERN_BUILD_TESTS=OFF >&2
cmake --build build-release --target quern >&2
export OMP_NUM_THREADS=1
out=build-release/accuracy
for arg in "$@"; do [[ $arg == --second-set ]] && out=build-release/accuracy-second; done
/usr/bin/python3 bench/accuracy/accuracy.py build-release/tools/quern "$out" "$@"
