#!/usr/bin/env bash
# Builds the configuration tool and runs it under Wine against a simulated transmitter on a
# virtual serial line, so that it can be seen working with no hardware:
#   the simulator plays the transmitter on COM40, the far end of the tool's COM3.
# With a display ($DISPLAY reachable) the tool's window opens there: pick COM3 and press
# 打开串口. Without one, it drives a session itself on a private Xvfb display (open, linked,
# version, channel read back, set channel 5, 配置成功), saves a screenshot of each step and
# prints their paths. Then it plays a line with TX and RX shorted (the simulator's --echo) and
# shows the hint the tool gives for it. Every process it starts is ended when it finishes.
# Last it gives three ports the system's records of USB adapters, as Windows keeps them, and
# drops the port list down, which shows each port's device.
#   run.sh --screenshot FILE.png [HINT.png [LIST.png]]
#                                  drives that session even with a display, and also saves the
#                                  tool's window alone, linked to the simulator, as FILE.png,
#                                  waiting with the echo hint as HINT.png, and with the list
#                                  of devices dropped down as LIST.png (the README's pictures:
#                                  docs/rq47cfg-connected.png, docs/rq47cfg-echo.png,
#                                  docs/rq47cfg-devices.png)
set -euo pipefail
picture= hintpicture= listpicture=
usage="usage: $0 [--screenshot FILE.png [HINT.png [LIST.png]]]"
case ${1-} in
    --screenshot) picture=$(realpath -m -- "${2:?$usage}")
                  [ -z "${3-}" ] || hintpicture=$(realpath -m -- "$3")
                  [ -z "${4-}" ] || listpicture=$(realpath -m -- "$4") ;;
    '') ;;
    *) echo "$usage" >&2; exit 2 ;;
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

"$RQ47_WINE" "$build/sim/rq47sim.exe" --port COM40 --version "RQ47-V1.0" --channel 3 \
    > "$world/simulator.log" 2>&1 &
sim=$!
started $sim
echo "Simulated transmitter on COM40 (the far end of COM3); its log: $world/simulator.log"

if [ -z "$headless" ]; then
    echo "Pick COM3 in the tool and press 打开串口. Close the window to finish."
    "$RQ47_WINE" "$build/app/rq47cfg.exe"
    exit 0
fi

"$RQ47_WINE" "$build/app/rq47cfg.exe" &
started $!
drive() { "$RQ47_WINE" "$build/tools/rq47drive.exe" "$@"; }
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
# The tool's window alone, as FILE.png; without its time stamps the file changes only when the
# picture does.
window_shot() {
    [ -n "$1" ] || return 0
    local window
    window=$(xwininfo -display "$DISPLAY" -root -tree | awk '/\("rq47cfg.exe" / && !/Default IME/ { print $1; exit }')
    [ -n "$window" ] || { echo "run.sh: the tool's window is not on the display" >&2; exit 1; }
    mkdir -p "$(dirname "$1")"
    import -display "$DISPLAY" -window "$window" -strip "$1"
    echo "  the tool's window: $1"
}
window_shot "$picture"
drive channel 5
drive click apply
drive wait-status 配置成功 3000
echo "Channel 5 set:"; drive show
shot channel-set
drive click open
drive wait-status 串口已关闭 1000
shot closed

# The same line with TX and RX shorted: nothing answers, and the hint says why.
kill "$sim"
wait "$sim" 2>/dev/null || true
"$RQ47_WINE" "$build/sim/rq47sim.exe" --port COM40 --echo >> "$world/simulator.log" 2>&1 &
started $!
drive click open
drive wait-hint 只收到本机发出的数据，收发线可能短接 5000
echo "TX and RX shorted:"; drive show
shot echo-hint
window_shot "$hintpicture"
drive click open

# Which port is the adapter: the records Windows keeps of USB adapters, for three of the ports
# (made in this world's prefix, and removed again).
drive device COM3 "USB-SERIAL CH340 (COM3)" 'USB\VID_1A86&PID_7523'
drive device COM32 "Prolific USB-to-Serial Comm Port (COM32)" 'USB\VID_067B&PID_2303'
drive device COM33 "Silicon Labs CP210x USB to UART Bridge (COM33)" 'USB\VID_10C4&PID_EA60'
area=$(drive drop)
echo "Ports and their devices:"; drive show
shot devices
if [ -n "$listpicture" ]; then
    mkdir -p "$(dirname "$listpicture")"
    import -display "$DISPLAY" -window root -crop "$area" +repage -strip "$listpicture"
    echo "  the tool's window with the port list dropped down: $listpicture"
fi
for port in COM3 COM32 COM33; do drive device $port; done
echo "Done: the tool connected, showed the version, read back channel 3 and set channel 5, then"
echo "told a line with TX and RX shorted from a transmitter, and which port is which adapter."
