#!/usr/bin/env bash
# Builds the configuration tool and runs it under Wine against a simulated transmitter on a
# virtual serial line, so that it can be seen working with no hardware:
#   the simulator plays the transmitter on COM40, the far end of the tool's COM3.
# With a display ($DISPLAY reachable) the tool's window opens there: pick COM3 and press
# 打开串口. Without one, it drives a session itself on a private Xvfb display (open, linked,
# version, channel read back, set channel 5, 配置成功), saves a screenshot of each step and
# prints their paths. Every process it starts is ended when it finishes.
#   run.sh --screenshot FILE.png   drives that session even with a display, and also saves the
#                                  tool's window alone, linked to the simulator, as FILE.png
#                                  (the README's picture: docs/rq47cfg-connected.png)
set -euo pipefail
picture=
case ${1-} in
    --screenshot) picture=$(realpath -m -- "${2:?usage: run.sh [--screenshot FILE.png]}") ;;
    '') ;;
    *) echo "usage: $0 [--screenshot FILE.png]" >&2; exit 2 ;;
esac
. "$(dirname "$0")/common.sh"
shots=$build/screenshots

if [ -z "$picture" ] && [ -n "${DISPLAY-}" ] && xdpyinfo >/dev/null 2>&1; then
    world_up runenv --host-display
    headless=
else
    world_up runenv
    headless=1
fi

wine "$build/sim/rq47sim.exe" --port COM40 --version "RQ47-V1.0" --channel 3 \
    > "$world/simulator.log" 2>&1 &
started $!
echo "Simulated transmitter on COM40 (the far end of COM3); its log: $world/simulator.log"

if [ -z "$headless" ]; then
    echo "Pick COM3 in the tool and press 打开串口. Close the window to finish."
    wine "$build/app/rq47cfg.exe"
    exit 0
fi

wine "$build/app/rq47cfg.exe" &
started $!
drive() { wine "$build/tools/rq47drive.exe" "$@"; }
mkdir -p "$shots"
rm -f "$shots"/*.png
n=0
shot() {
    n=$((n + 1))
    local file; file=$(printf '%s/%02d-%s.png' "$shots" "$n" "$1")
    import -display "$DISPLAY" -window root "$file"
    echo "  screenshot: $file"
}

drive show >/dev/null                    # waits for the window
shot started
drive port COM3
drive click open
drive wait-status 变送器已连接 3000
drive wait-channel 3 3000
echo "Connected:"; drive show
shot connected
if [ -n "$picture" ]; then
    window=$(xwininfo -display "$DISPLAY" -root -tree | awk '/\("rq47cfg.exe" / && !/Default IME/ { print $1; exit }')
    [ -n "$window" ] || { echo "run.sh: the tool's window is not on the display" >&2; exit 1; }
    mkdir -p "$(dirname "$picture")"
    # Without its time stamps the file changes only when the picture does.
    import -display "$DISPLAY" -window "$window" -strip "$picture"
    echo "  the tool's window: $picture"
fi
drive channel 5
drive click apply
drive wait-status 配置成功 3000
echo "Channel 5 set:"; drive show
shot channel-set
drive click open
drive wait-status 串口已关闭 1000
shot closed
echo "Done: the tool connected, showed the version, read back channel 3 and set channel 5."
