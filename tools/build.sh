#!/usr/bin/env bash
# Installs what is missing (tools/setup.sh, as root or through sudo), then configures and
# cross-builds everything in build/cross. Quiet unless something fails.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "$(id -u)" = 0 ]; then bash tools/setup.sh; else sudo bash tools/setup.sh; fi
cmake --preset cross >/dev/null
cmake --build --preset cross -j"$(nproc)" >/dev/null
