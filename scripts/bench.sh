#!/usr/bin/env bash
# The benchmark command: a Release build in build-release/, every benchmark program, the anchors
# (ONNX Runtime via Node, Python torch, NumPy) in the same run, the quern Python module's cost
# beside the C++ calls, and one table of ratios.
# Model runs use one thread (OMP_NUM_THREADS=1), as the anchors do; vad_bench's model runs are
# repeated with the default thread pools.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUERN_BUILD_TESTS=OFF > /dev/null
cmake --build build-release
out=build-release/bench-results
rm -rf "$out" && mkdir -p "$out"
export OMP_NUM_THREADS=1 QUERN_NODE_MODULES="$PWD/third_party/npm/node_modules"
[ -n "${NODE_EXTRA_CA_CERTS:-}" ] || export NODE_EXTRA_CA_CERTS=/etc/ssl/certs/ca-certificates.crt
for b in dualis_bench vad_bench sessions_bench torch_settings_bench; do
  echo "running $b" >&2
  "build-release/bench/$b" --benchmark_min_time=0.5 --benchmark_repetitions=3 \
    --benchmark_out="$out/$b.json" --benchmark_out_format=json > /dev/null
done
# The same model runs with torch's and OpenBLAS's default thread pools (one thread per core each).
echo "running vad_bench with default thread settings" >&2
mkdir -p "$out/default_threads"
env -u OMP_NUM_THREADS build-release/bench/vad_bench --benchmark_filter='OwnStream|Model100ms' \
  --benchmark_min_time=0.5 --benchmark_repetitions=3 \
  --benchmark_out="$out/default_threads/vad_bench.json" --benchmark_out_format=json > /dev/null
echo "running the anchors" >&2
node bench/anchors/ort_predict.js data/generated/silero_vad_v6.onnx > "$out/ort.json"
/usr/bin/python3 bench/anchors/torch_predict.py data/generated/silero_vad.jit > "$out/python.json"
/usr/bin/python3 bench/anchors/numpy_energy.py > "$out/numpy.json"
echo "running quern vad and ONNX Runtime over 10 minutes of speech" >&2
bench/anchors/whole_file.sh build-release > "$out/whole_file.json"
echo "running the start-up figures (whole processes)" >&2
/usr/bin/python3 bench/startup.py build-release > "$out/startup.json"
echo "running quern streams: many streams of one recording through batched detection" >&2
for spec in "1 1" "64 1" "256 1" "256 2"; do
  read -r streams threads <<< "$spec"
  build-release/tools/quern streams data/generated/fixtures/speech_16k.wav --streams "$streams" \
    --threads "$threads" |
    /usr/bin/python3 -c 'import json, sys; d = json.load(sys.stdin)
print(json.dumps({"quern_streams_%d_%d" % (d["streams"], d["threads"]): d}))' \
    > "$out/streams_${streams}_${threads}.json"
done
echo "running the Python module's benchmark" >&2
PYTHONPATH=build-release/python /usr/bin/python3 bench/python/python_bench.py > "$out/python_module.json"
/usr/bin/python3 bench/report.py "$out"
