#!/usr/bin/env bash
# The lint test (ctest label lint), in four stages that all run, each reporting on its own:
#   build    everything again with clang and lld in build/clang (preset clang), where any
#            compiler or linker warning is an error;
#   unit     that build's unit tests, under Wine in that build's own test world (only those:
#            the tests that drive the window compare with GBK literals, which only GCC writes);
#   tidy     clang-tidy (.clang-tidy) over the product and the simulator;
#   cppcheck cppcheck over the same sources.
# It fails when any stage does, after listing which.
set -euo pipefail
cd "$(dirname "$0")/.."
sources=(link/*.cpp panel/*.cpp app/*.cpp sim/*.cpp)
jobs=$(nproc)

clang --version | head -1
ld.lld --version
echo "clang-tidy: $(clang-tidy --version | grep -i "llvm version" | sed "s/^ *//")"
cppcheck --version

failed=()
stage() {
    local name=$1
    shift
    echo "== $name"
    if "$@"; then echo "== $name: passed"; else echo "== $name: FAILED"; failed+=("$name"); fi
}

build() { cmake --preset clang >/dev/null && cmake --build --preset clang -j"$jobs"; }
unit() { ctest --preset clang -L unit; }
# Without the count of the warnings it filtered out (those in the system headers).
tidy() {
    printf '%s\n' "${sources[@]}" | xargs -P"$jobs" -n1 clang-tidy -p build/clang --quiet 2>&1 |
        { grep -vE '^[0-9]+ warnings? generated\.$' || true; }
}
# Its bug classes; its style class is left out (in the simulator it flags C-style casts).
cpp_check() {
    cppcheck -q -j"$jobs" --error-exitcode=1 --std=c++17 --platform=win32A --library=windows \
        --enable=warning,performance,portability -D_WIN32_WINNT=0x0601 -DWINVER=0x0601 \
        -Ilink -Ipanel -Iapp -Isim "${sources[@]}"
}

stage build build
if [ ${#failed[@]} -eq 0 ]; then
    stage unit unit
else
    echo "== unit: not run, the build failed"
    failed+=(unit)
fi
# Needs only the configured tree (its compile_commands.json), not a successful build.
stage tidy tidy
stage cppcheck cpp_check

if [ ${#failed[@]} -gt 0 ]; then
    echo "lint: failed: ${failed[*]}"
    exit 1
fi
echo "lint: build, unit, tidy and cppcheck passed"
