#!/usr/bin/env bash
# Installs what is missing (tools/setup.sh, as root or through sudo), then configures and
# cross-builds everything in build/cross, or what the preset named builds (release: the archive
# in build/release). Quiet unless something fails.
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-cross}
if [ "$(id -u)" = 0 ]; then bash tools/setup.sh; else sudo bash tools/setup.sh; fi
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j"$(nproc)" >/dev/null
