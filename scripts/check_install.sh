#!/usr/bin/env bash
# The installed package as a host meets it: installs build/ into a temporary prefix, moves the
# prefix, builds examples/host against it twice (CMake package, pkg-config), runs both on the demo
# sample (model-mode VAD with the packaged model, a session on the example's own engines), and
# checks that nothing installed names the stand-ins; then imports the Python module from it.
#   scripts/check_install.sh        (after scripts/test.sh has built build/)
set -euo pipefail
cd "$(dirname "$0")/.."
sample=data/generated/fixtures/sample.wav
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

cmake --install build --prefix "$tmp/installed" > /dev/null
mv "$tmp/installed" "$tmp/moved"
prefix="$tmp/moved"

if readelf -d "$prefix"/lib/lib*.so | grep -q stand_ins; then
  echo "install: an installed library needs the stand-ins" >&2; exit 1
fi
if grep -rl stand_in "$prefix/include"; then
  echo "install: an installed header names the stand-ins" >&2; exit 1
fi

cmake -S examples/host -B "$tmp/by-cmake" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" > /dev/null
cmake --build "$tmp/by-cmake" > /dev/null
PKG_CONFIG_PATH="$prefix/lib/pkgconfig" \
  cmake -S examples/host -B "$tmp/by-pkg-config" -G Ninja -DUSE_PKG_CONFIG=ON > /dev/null
cmake --build "$tmp/by-pkg-config" > /dev/null

for build in by-cmake by-pkg-config; do
  out=$("$tmp/$build/example_host" "$sample" 2> "$tmp/err") || { cat "$tmp/err" >&2; exit 1; }
  echo "$out" | sed "s/^/install ($build): /"
  [ "$(echo "$out" | grep -c '^utterance ')" = 3 ] || { echo "install: expected 3 utterances" >&2; exit 1; }
done
echo "install: the example host, built with the CMake package and with pkg-config, ran on the moved prefix"

# The Python module from the moved prefix (not from the build tree or the user's site directory):
# model-mode VAD with the packaged model found beside the installed libraries.
PYTHONPATH="$(echo "$prefix"/lib/python3*/site-packages)" /usr/bin/python3 -s -c '
import sys, wave, numpy as np, quern
from quern import vad
assert quern.__file__.startswith(sys.argv[2]), quern.__file__
with wave.open(sys.argv[1]) as w:
    x = np.frombuffer(w.readframes(w.getnframes()), "<i2").astype(np.float32) / 32768
d = vad.VADDetector(vad.VADConfig(use_model=True))
speech = sum(d.process_audio(x[i:i + 1600])[0] for i in range(0, len(x), 1600))
assert d.vad_model is not None and speech > 10, speech
print("install (python): %d of %d chunks with speech" % (speech, len(x) // 1600))
' "$sample" "$prefix"
