#!/usr/bin/env bash
# Installs what building and testing the project needs on a Debian 12 machine.
# Idempotent: packages already present are skipped, so a second run takes a second or two.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)

packages=(
  build-essential cmake ninja-build pkg-config git ca-certificates
  libgtest-dev libgmock-dev libbenchmark-dev
  nlohmann-json3-dev libsndfile1-dev libsoxr-dev libcli11-dev libboost1.81-dev zlib1g-dev
  clang clang-format
)
if [ "${QUERN_WITH_TORCH:-1}" = 1 ]; then
  packages+=(libtorch-dev libopenblas0-pthread python3 python3-torch python3-onnx python3-numpy
             python3-dev pybind11-dev python3-pytest espeak-ng flite sox bc
             libpocketsphinx-dev pocketsphinx-en-us chromium haproxy curl)
  # A machine may carry Node.js from elsewhere (whose npm conflicts with Debian's): take Debian's
  # only when the commands are missing.
  command -v node >/dev/null || packages+=(nodejs)
  command -v npm >/dev/null || packages+=(npm)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -q
  "${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

if [ "${QUERN_WITH_TORCH:-1}" = 1 ] && [ -x "$here/scripts/setup_model.sh" ]; then
  "$here/scripts/setup_model.sh"
fi
