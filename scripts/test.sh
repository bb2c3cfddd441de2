#!/usr/bin/env bash
# The test command: installs what is missing, builds everything and runs the whole test suite.
#   scripts/test.sh            normal build in build/, all tests (each suite also as one shuffled
#                              process, three times over)
#   scripts/test.sh asan       AddressSanitizer + UndefinedBehaviorSanitizer build in build-asan/,
#                              the whole suite
#   scripts/test.sh tsan       ThreadSanitizer build in build-tsan/: every suite but vad and tools,
#                              and the VAD's concurrency tests
#   scripts/test.sh install    the package installed from build/ into a prefix that is then moved,
#                              and examples/host built and run against it (after normal)
#   scripts/test.sh locks      clang build of the libraries and quern in build-locks/ with the
#                              thread-safety analysis: a lock misuse is a compile error
#   scripts/test.sh browser    the page of quern serve in headless Chromium with a fake microphone
#                              (after normal)
#   scripts/test.sh faults     the service's fault matrix (after normal; asan runs it too)
#   scripts/test.sh scale      HAProxy in front of two quern serve replicas, one drained under load
#                              (after normal)
set -euo pipefail
cd "$(dirname "$0")/.."

mode=${1:-normal}
scripts/setup.sh

case "$mode" in
  normal)
    scripts/check_layers.py
    cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUERN_WITH_TORCH=ON
    cmake --build build
    # Each suite also passes as one process, shuffled and three times over: no test leans on what
    # another left behind.
    for t in build/tests/*_tests; do
      [ "${t##*/}" = fault_tests ] && continue  # its own mode: long, and timed
      (cd build/tests && "./${t##*/}" --gtest_shuffle --gtest_repeat=3 >"${t##*/}.order.log" 2>&1) ||
        { tail -n 60 "$t.order.log"; echo "test.sh: $t fails as one shuffled process" >&2; exit 1; }
    done
    ctest --test-dir build --no-tests=error --output-on-failure -j2 -LE faults
    ;;
  faults)
    cmake --build build --target fault_tests
    ctest --test-dir build --no-tests=error --output-on-failure -L faults
    ;;
  scale)
    scripts/scale_test.sh build/tools/quern
    ;;
  asan)
    cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DQUERN_SANITIZE=address,undefined -DQUERN_WITH_TORCH=ON -DQUERN_BUILD_BENCH=OFF
    cmake --build build-asan
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
      ctest --test-dir build-asan --no-tests=error --output-on-failure -j2
    # The service soaked for a few minutes, sessions opening and closing all the time.
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
      bench/serve/soak.sh build-asan/tools/quern 3 100
    ;;
  tsan)
    cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUERN_SANITIZE=thread \
      -DQUERN_WITH_TORCH=ON -DQUERN_BUILD_BENCH=OFF
    cmake --build build-tsan
    ctest --test-dir build-tsan --no-tests=error --output-on-failure -j2 \
      -L 'utils|platform|models|stand_ins|dualis|nightjar|pocketsphinx|stream|server'
    # The VAD's concurrency tests (libtorch itself is not instrumented).
    ctest --test-dir build-tsan --no-tests=error --output-on-failure -j2 -R 'SharedModel|SileroCache'
    ;;
  install)
    scripts/check_install.sh
    ;;
  locks)
    CC=clang CXX=clang++ cmake -S . -B build-locks -G Ninja -DCMAKE_BUILD_TYPE=Debug \
      -DQUERN_THREAD_SAFETY=ON -DQUERN_WITH_TORCH=ON -DQUERN_BUILD_TESTS=OFF -DQUERN_BUILD_BENCH=OFF
    cmake --build build-locks
    echo "locks: the thread-safety analysis found no lock misuse"
    ;;
  browser)
    if [ -z "${NODE_EXTRA_CA_CERTS:-}" ] && [ -f /etc/ssl/certs/ca-certificates.crt ]; then
      export NODE_EXTRA_CA_CERTS=/etc/ssl/certs/ca-certificates.crt
    fi
    (cd tests/browser && npm ci --ignore-scripts --no-audit --no-fund --loglevel=error)
    node tests/browser/page_test.mjs "$PWD/build/tools/quern" \
      "$PWD/data/generated/fixtures/sample.wav" "$PWD/data/generated/fixtures/sample.txt"
    echo "browser: the page showed the recording's sentences"
    ;;
  *)
    echo "usage: scripts/test.sh [normal|asan|tsan|install|locks|browser|faults|scale]" >&2
    exit 2
    ;;
esac
