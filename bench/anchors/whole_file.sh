#!/usr/bin/env bash
# Whole processes over 10 minutes of speech (the fixture sentences repeated), best of three each:
# `quern vad --model` (start-up included) against ONNX Runtime via Node (one thread) on
# the same frames. Prints {"quern_vad_10min_s": S, "ort_vad_10min_s": S}.
#   bench/anchors/whole_file.sh BUILD_DIR   (QUERN_NODE_MODULES set, as scripts/bench.sh does)
set -euo pipefail
build=$1
wav="$build/bench-results/ten_minutes.wav"
src=data/generated/fixtures/speech_16k.wav
reps=$(echo "600 / $(soxi -D "$src") + 1" | bc)
sox $(for _ in $(seq "$reps"); do echo "$src"; done) "$wav" trim 0 600

best() {  # seconds of the fastest of three runs of "$@"
  local b=""
  for _ in 1 2 3; do
    local start end t
    start=$(date +%s.%N)
    "$@" > /dev/null
    end=$(date +%s.%N)
    t=$(echo "$end - $start" | bc)
    if [ -z "$b" ] || [ "$(echo "$t < $b" | bc)" = 1 ]; then b=$t; fi
  done
  echo "$b"
}
q=$(best "$build/tools/quern" vad --model "$wav")
o=$(best node scripts/silero/ort_reference.js data/generated/silero_vad_v6.onnx "$wav")
# printf: bc prints .9 for 0.9, which JSON does not take.
printf '{"quern_vad_10min_s": %.4f, "ort_vad_10min_s": %.4f}\n' "$q" "$o"
