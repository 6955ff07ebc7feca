#!/usr/bin/env bash
# Installs what is missing, cross-builds everything and runs every test under Wine.
# Extra arguments go to ctest (for example: -L unit).
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "$(id -u)" = 0 ]; then bash tools/setup.sh; else sudo bash tools/setup.sh; fi
cmake --preset cross >/dev/null
cmake --build --preset cross -j"$(nproc)"
ctest --preset cross "$@"
