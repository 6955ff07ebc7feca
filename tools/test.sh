#!/usr/bin/env bash
# Installs what is missing, cross-builds everything and runs every test under Wine, on each
# build this host can run: the 32-bit build, as released, where the host runs 32-bit code, then
# the x86-64 build, which every host runs. Fails when any build's tests fail.
#   test.sh [--build 32|64] [CTEST ARGUMENTS...]
#       --build: that build only, for a quick loop (64 on any host, 32 where it runs);
#       the rest goes to ctest, for example -L unit or -R state_tests.
set -euo pipefail
cd "$(dirname "$0")/.."
only=
if [ "${1-}" = --build ]; then only=${2:?"usage: $0 [--build 32|64] [ctest arguments]"}; shift 2; fi
bash tools/build.sh cross
# Which build preset cross made (cmake/test-arch.cmake), read off the tool's own PE header.
exe=build/cross/app/rq47cfg.exe
machine=$(od -An -tx2 -j$(($(od -An -tu4 -j60 -N4 "$exe") + 4)) -N2 "$exe")
case $machine in
    *14c) builds="32:cross 64:cross64" ;;
    *8664) builds="64:cross"
           echo "tests: this host runs no 32-bit code: the x86-64 build only (the release stays 32-bit)" ;;
    *) echo "tests: preset cross built for machine type $machine" >&2; exit 1 ;;
esac
case $only in
    '') ;;
    32|64) builds=$(tr ' ' '\n' <<<"$builds" | grep "^$only:") ||
               { echo "tests: this host cannot run the $only-bit build" >&2; exit 2; } ;;
    *) echo "usage: $0 [--build 32|64] [ctest arguments]" >&2; exit 2 ;;
esac
name() { [ "$1" = 32 ] && echo "the 32-bit build, as released, under 32-bit Wine" ||
                          echo "the x86-64 build under 64-bit Wine"; }
results=() rc=0
for b in $builds; do
    size=${b%%:*} preset=${b##*:}
    [ "$preset" = cross ] || bash tools/build.sh "$preset"
    echo "tests: $(name "$size") (preset $preset)"
    if ctest --preset "$preset" "$@"; then
        results+=("tests: $(name "$size"): passed")
    else
        results+=("tests: $(name "$size"): FAILED")
        rc=1
    fi
done
printf '%s\n' "${results[@]}"
exit $rc
