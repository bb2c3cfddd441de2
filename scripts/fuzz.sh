#!/usr/bin/env bash
# The fuzz command: builds the libFuzzer targets with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer on) in build-fuzz/ and runs each for a fixed time.
#   scripts/fuzz.sh [SECONDS_PER_TARGET]    default 60
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
scripts/setup.sh
for p in clang libclang-rt-14-dev; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=" $p"
done
if [ -n "${missing:-}" ]; then
  sudo_cmd=""; [ "$(id -u)" -ne 0 ] && sudo_cmd=sudo
  $sudo_cmd apt-get install -y -q --no-install-recommends $missing
fi
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUERN_FUZZ=ON -DQUERN_SANITIZE=address,undefined -DQUERN_BUILD_TESTS=OFF -DQUERN_BUILD_BENCH=OFF
cmake --build build-fuzz
for target in audio_samples_fuzz dualis_fuzz vad_detector_fuzz; do
  echo "== $target (${seconds}s)"
  mkdir -p "build-fuzz/corpus/$target"
  "build-fuzz/fuzz/$target" -max_total_time="$seconds" -print_final_stats=1 \
    "build-fuzz/corpus/$target" 2>&1 | grep -E "^(stat::number_of_executed_units|#[0-9]+ *DONE|==)" || true
done
