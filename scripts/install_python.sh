#!/usr/bin/env bash
# Makes `import quern` work for Debian's python3, offline: installs what is missing, builds the
# libraries and the module in build/ and installs them into PREFIX (default ~/.local, whose
# lib/python3.X/site-packages is the user's own site directory, searched by python3 without any
# setting). The installed module finds its libraries and the packaged model relative to itself.
#   scripts/install_python.sh [PREFIX]
set -euo pipefail
cd "$(dirname "$0")/.."
prefix=$(realpath -m "${1:-$HOME/.local}")
scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUERN_WITH_PYTHON=ON > /dev/null
cmake --build build --target _quern
cmake --install build --prefix "$prefix" > /dev/null
site=$(/usr/bin/python3 -c 'import sys; print("lib/python%d.%d/site-packages" % sys.version_info[:2])')
if [ "$prefix/$site" = "$(/usr/bin/python3 -m site --user-site)" ]; then
  echo "install_python: quern installed for $(whoami): python3 -c 'import quern'"
else
  echo "install_python: quern installed in $prefix/$site: add it to PYTHONPATH"
fi
