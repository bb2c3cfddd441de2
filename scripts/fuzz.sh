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
# The shared sanitizer runtime lives beside clang's other runtimes.
LD_LIBRARY_PATH=$(dirname "$(clang++ -print-file-name=libclang_rt.asan-x86_64.so)")
export LD_LIBRARY_PATH
# Libraries the targets link pull in libstdc++ ahead of the runtime; the order is harmless here.
export ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0 UBSAN_OPTIONS=halt_on_error=1
status=0
for target in audio_samples_fuzz dualis_fuzz vad_detector_fuzz server_protocol_fuzz; do
  echo "== $target (${seconds}s)"
  mkdir -p "build-fuzz/corpus/$target"
  log="build-fuzz/$target.log"
  # A failing input is kept beside the log, not in the working directory.
  if ! "build-fuzz/fuzz/$target" -max_total_time="$seconds" -print_final_stats=1 \
      -artifact_prefix="build-fuzz/$target-" "build-fuzz/corpus/$target" > "$log" 2>&1; then
    status=1
    tail -n 40 "$log"
  fi
  grep -E "^stat::(number_of_executed_units|peak_rss_mb)" "$log" || true
done
exit $status
