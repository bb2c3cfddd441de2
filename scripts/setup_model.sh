#!/usr/bin/env bash
# Packages the Silero VAD model and makes the test fixtures, into data/generated/:
#   silero_vad_v6.onnx   the Silero VAD v6 release (MIT, Silero Team), from npm @ricky0123/vad-web
#   silero_vad.jit       that model converted to TorchScript (scripts/silero/convert.py)
#   silero_vad.qvw       its weights in libvad's own format (scripts/silero/weights_file.py)
#   fixtures/            synthetic speech with pauses (espeak-ng), a demo sample, and ONNX Runtime
#                        reference probabilities for them and for ../shared/testdata when present
# Each step is skipped when its output is newer than its inputs.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
npm_dir="$here/third_party/npm"
out="$here/data/generated"
mkdir -p "$npm_dir" "$out/fixtures"

# Node.js trusts only its own CA list unless told otherwise; trust the system's too, so that npm
# works wherever the system's certificate store does.
if [ -z "${NODE_EXTRA_CA_CERTS:-}" ] && [ -f /etc/ssl/certs/ca-certificates.crt ]; then
  export NODE_EXTRA_CA_CERTS=/etc/ssl/certs/ca-certificates.crt
fi

newer() {  # newer OUTPUT INPUT...: true when OUTPUT exists and is newer than every INPUT
  local o=$1; shift
  [ -e "$o" ] || return 1
  for i in "$@"; do [ "$o" -nt "$i" ] || return 1; done
}

# 1. The model release and ONNX Runtime (install scripts off: nothing downloads at install).
if ! newer "$out/silero_vad_v6.onnx" "$here/scripts/setup_model.sh"; then
  echo "setup: fetching @ricky0123/vad-web@0.0.31 from npm"
  tgz=$(cd "$npm_dir" && npm pack --silent @ricky0123/vad-web@0.0.31 | tail -n 1)
  tar -xzmf "$npm_dir/$tgz" -C "$npm_dir" package/dist/silero_vad_v6.onnx
  mv "$npm_dir/package/dist/silero_vad_v6.onnx" "$out/silero_vad_v6.onnx"
  rm -rf "$npm_dir/package" "$npm_dir/$tgz"
fi
if ! newer "$npm_dir/node_modules/onnxruntime-node/package.json" "$here/scripts/npm/package-lock.json"; then
  echo "setup: installing onnxruntime-node from npm"
  cp "$here/scripts/npm/package.json" "$here/scripts/npm/package-lock.json" "$npm_dir/"
  (cd "$npm_dir" && npm ci --ignore-scripts --no-audit --no-fund --loglevel=error)
  touch "$npm_dir/node_modules/onnxruntime-node/package.json"
fi

# 2. The conversion, with Debian's Python (which has torch and onnx).
model="$out/silero_vad.jit" weights="$out/silero_vad.qvw"
if ! newer "$model" "$out/silero_vad_v6.onnx" "$here/scripts/silero/convert.py" \
    "$here/scripts/silero/silero_module.py" ||
   ! newer "$weights" "$here/scripts/silero/weights_file.py" "$model"; then
  echo "setup: converting the Silero VAD model to TorchScript and libvad's weights file"
  /usr/bin/python3 "$here/scripts/silero/convert.py" "$out/silero_vad_v6.onnx" "$model" "$weights"
fi

# 3. Fixtures.
"$here/scripts/make_fixtures.sh"
