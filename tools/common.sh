# Sourced by run.sh and bench.sh: builds, then sets up a private test world in build/cross/NAME
# (Wine prefix, virtual lines, display) and ends everything it started on exit.
#   world_up NAME [--host-display]     sets $build, $world and DISPLAY
#   started PID                        one more process to end on exit
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
top=$PWD
bash tools/build.sh
build=$top/build/cross
# The build's own Wine, for its word size: run it as "$RQ47_WINE" PROGRAM.
export RQ47_WINE=$build/wine WINEDEBUG=-all LANG=zh_CN.UTF-8 LC_ALL=zh_CN.UTF-8

pids=()
world=
started() { pids+=("$1"); }
world_down() {
    local p
    # A process that has ended already must not stop the rest of the tidying (errexit).
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    [ -z "$world" ] || bash "$top/world/world.sh" stop "$world"
}
trap world_down EXIT

world_up() {
    world=$build/$1
    export RQ47_DRIVE=$build/tools/rq47drive.exe
    export WINEPREFIX=$world/wineprefix
    bash "$top/world/world.sh" start "$world" ${2-}
    DISPLAY=$(cat "$world/display")
    export DISPLAY
}
