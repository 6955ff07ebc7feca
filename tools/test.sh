#!/usr/bin/env bash
# Installs what is missing, cross-builds everything and runs every test under Wine.
# Extra arguments go to ctest (for example: -L unit).
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/build.sh
ctest --preset cross "$@"
