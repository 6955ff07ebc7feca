#!/usr/bin/env bash
# The benchmark: the tool under Wine against a simulated transmitter answering at once on a
# virtual serial line. Prints a table and writes build/cross/bench.json. Takes about 16
# minutes, 10 of them the soak; `--quick` leaves the soak out. A TOOL.exe after it is measured
# in place of the one just built (another commit's, to compare).
#   bench.sh [--quick] [TOOL.exe]
. "$(dirname "$0")/common.sh"
soak=600
[ "${1-}" = --quick ] && { soak=0; shift; }
tool=$(realpath "${1:-$build/app/rq47cfg.exe}")
world_up benchenv
export TESTENV_DIR=$world       # where rq47bench asks the switchboard to pull the line

"$RQ47_WINE" "$build/sim/rq47sim.exe" --port COM40 --quiet > "$world/simulator.log" 2>&1 &
started $!
win() { "$RQ47_WINE" winepath -w "$1" 2>/dev/null; }
"$RQ47_WINE" "$build/bench/rq47bench.exe" "$(win "$tool")" "$(win "$build/bench/rq47idle.exe")" \
    "$(win "$build/bench.json")" --applies 200 --opens 20 --cpu-seconds 30 --soak-seconds "$soak"
stripped=$(stat -c %s "$tool")
# The x86-64 objdump is there where the tests build x86-64.
imports=$({ i686-w64-mingw32-objdump -p "$tool" 2>/dev/null || x86_64-w64-mingw32-objdump -p "$tool"; } |
          awk '/DLL Name/ {printf "%s ", $3}')
echo "exe: $stripped bytes; imports: $imports"
echo "figures written to $build/bench.json"
