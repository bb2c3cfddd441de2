#!/usr/bin/env bash
# The installed package as a host meets it: installs build/ into a temporary prefix, moves the
# prefix, builds examples/host against it twice (CMake package, pkg-config), runs both on the demo
# sample (model-mode VAD with the packaged model, a session on the example's own engines), and
# checks that nothing installed names the stand-ins and that only the TorchScript plugin needs
# libtorch, that the example's frame probabilities equal
# quern's and that every installed header stands alone; then imports the Python module from it.
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
# libtorch only in the TorchScript plugin, which libvad loads when a TorchScript file must run.
if readelf -d "$prefix"/lib/libvad.so "$prefix"/lib/python3*/site-packages/quern/_quern*.so |
    grep NEEDED | grep -i torch; then
  echo "install: libvad or the Python module needs libtorch" >&2; exit 1
fi
[ -f "$prefix/lib/libquern_vad_torch.so" ] || { echo "install: no TorchScript plugin" >&2; exit 1; }
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

# Its 100 ms chunks through FrameCarry judge every frame exactly as quern vad does.
"$tmp/by-cmake/example_host" "$sample" --probabilities > "$tmp/example.txt" 2> "$tmp/err"
build/tools/quern vad "$sample" --model --probabilities > "$tmp/quern.jsonl"
/usr/bin/python3 - "$tmp/example.txt" "$tmp/quern.jsonl" <<'PY'
import json, sys
example = [tuple(map(float, line.split())) for line in open(sys.argv[1])]
quern = [(d["time"], d["probability"]) for d in map(json.loads, open(sys.argv[2])) if "probability" in d]
assert len(example) == len(quern) > 100, (len(example), len(quern))
for (t, p), (qt, qp) in zip(example, quern):
    assert abs(t - qt) < 1e-9 and p == qp, ((t, p), (qt, qp))
print(f"install: the example host's {len(example)} frame probabilities equal quern vad's")
PY

# Every installed header compiles alone, and includes only what is installed (or the system's).
for h in $(cd "$prefix/include/quern" && find . -name '*.h' | sed 's|^\./||' | sort); do
  for inc in $(sed -n 's/^#include "\([^"]*\)".*/\1/p' "$prefix/include/quern/$h"); do
    [ -f "$prefix/include/quern/$inc" ] ||
      { echo "install: $h includes $inc, which is not installed" >&2; exit 1; }
  done
  echo "#include \"$h\"" > "$tmp/alone.cpp"
  g++ -std=c++20 -fsyntax-only -Wall -Wextra -Werror -I"$prefix/include/quern" \
    $(pkg-config --cflags nlohmann_json 2>/dev/null) "$tmp/alone.cpp" ||
    { echo "install: $h does not compile alone" >&2; exit 1; }
done
echo "install: every installed header compiles alone and includes only installed headers"

# The Python module from the moved prefix (not from the build tree or the user's site directory):
# the packaged model found beside the installed libraries, and examples/python/host.py.
site=$(echo "$prefix"/lib/python3*/site-packages)
PYTHONPATH="$site" /usr/bin/python3 -s -c '
import sys, quern
from quern import vad
assert quern.__file__.startswith(sys.argv[1]), quern.__file__
def torch_loaded():
    return "libtorch" in open("/proc/self/maps").read()
assert vad.VADDetector(vad.VADConfig(use_model=True)).vad_model is not None
assert not torch_loaded(), "the packaged model needs no libtorch"
# A TorchScript file runs through the plugin beside the installed libvad.
jit = sys.argv[1] + "/share/quern/silero_vad.jit"
assert vad.VADDetector(vad.VADConfig(use_model=True, model_path=jit)).config.use_model
assert torch_loaded()
' "$prefix" 2> "$tmp/err" || { cat "$tmp/err" >&2; exit 1; }
out=$(PYTHONPATH="$site" /usr/bin/python3 -s examples/python/host.py "$sample" 2> "$tmp/err") ||
  { cat "$tmp/err" >&2; exit 1; }
echo "$out" | sed "s/^/install (python): /"
[ "$(echo "$out" | grep -c ' s of audio\.$')" = 3 ] || { echo "install: expected 3 utterances" >&2; exit 1; }

# Without the plugin (as without libtorch) a TorchScript file cannot run: the detector says why
# and falls back to energy detection; the packaged model is unaffected.
rm "$prefix/lib/libquern_vad_torch.so"
PYTHONPATH="$site" /usr/bin/python3 -s -c '
import sys, quern
from quern import vad
quern.log.to_stderr()
assert vad.VADDetector(vad.VADConfig(use_model=True)).config.use_model
d = vad.VADDetector(vad.VADConfig(use_model=True, model_path=sys.argv[1] + "/share/quern/silero_vad.jit"))
assert not d.config.use_model
' "$prefix" 2> "$tmp/err" || { cat "$tmp/err" >&2; exit 1; }
grep -q "^WARNING Failed to load VAD model, falling back to energy-based VAD: TorchScript models need libtorch, which could not be loaded: " "$tmp/err" ||
  { cat "$tmp/err" >&2; echo "install: no fallback warning without the plugin" >&2; exit 1; }
echo "install: libvad and the Python module load no libtorch; TorchScript files run through the plugin, and without it fall back to energy detection with a warning"
