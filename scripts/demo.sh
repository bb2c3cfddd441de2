#!/usr/bin/env bash
# The demo command: installs what is missing, builds, and runs a quern session with the Silero
# VAD over the bundled sample (three spoken sentences with pauses), printing its JSON lines.
# Extra arguments go to `quern session`, e.g. scripts/demo.sh --realtime
# Only quern's JSON lines go to stdout; set-up and build output go to stderr.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh >&2
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >&2
cmake --build build --target quern >&2
exec build/tools/quern session "$@" data/generated/fixtures/sample.wav
