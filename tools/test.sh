#!/usr/bin/env bash
# Installs what is missing, cross-builds everything and runs every test under Wine.
# Extra arguments go to ctest (for example: -L unit).
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/build.sh
# Which build the tests run (cmake/test-arch.cmake), read off the tool's own PE header.
exe=build/cross/app/rq47cfg.exe
machine=$(od -An -tx2 -j$(($(od -An -tu4 -j60 -N4 "$exe") + 4)) -N2 "$exe")
case $machine in
    *14c) echo "tests: the 32-bit build, as released, under 32-bit Wine" ;;
    *8664) echo "tests: an x86-64 build under 64-bit Wine (this host runs no 32-bit code; the release stays 32-bit)" ;;
    *) echo "tests: a build for machine type $machine" ;;
esac
ctest --preset cross "$@"
