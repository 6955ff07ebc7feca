#!/usr/bin/env bash
# The world the Windows tests run in, set up and torn down by ctest fixtures:
#   a private Wine prefix in the build tree, with the ANSI code page 936;
#   virtual null-modem lines (socat pty pairs), each end mapped to a COM port of the prefix;
#   an 800x600 Xvfb display for the program's window;
#   the fonts the program's window needs, in the prefix's own Fonts folder.
# Every process started here is recorded by its id and ended by it in `stop`.
#
#   world.sh start|stop DIR [--host-display]
#       DIR holds the prefix and the state (pids, display, lines); with --host-display the
#       program shows on $DISPLAY instead of a private Xvfb. With RQ47_DRIVE naming the
#       rq47drive exe, the start removes every serial adapter's record the prefix holds. The
#       build's Wine is RQ47_WINE (the build's own `wine`, for its word size), else Debian's.
#
# The lines: the near end is what the program opens, the far end is where tests play the
# transmitter. Every end shows in the program's list: COM33 and up from the system's serial
# device map, which Wine fills with every mapped name.
#   COM3  <-> COM40     COM10 <-> COM41     COM33 <-> COM42 (a port beyond the probe)
#   COM11 <-> COM43     COM12 <-> COM44     COM32 <-> COM45 (the last port the probe tries)
# Each COM port is mapped to the link socat keeps, not to the pty behind it, so a line can be
# pulled and plugged back in: a test creates DIR/unplug-COMn to end the line of near end COMn
# and DIR/replug-COMn to make it anew (a new pty pair behind the same names).
set -uo pipefail
cmd=${1:?start or stop}
dir=$(mkdir -p "${2:?state folder}" && cd "$2" && pwd)
mode=${3-}
export WINEPREFIX=$dir/wineprefix WINEDEBUG=-all LANG=zh_CN.UTF-8 LC_ALL=zh_CN.UTF-8
wine=${RQ47_WINE:-wine}
lines="COM3:COM40 COM10:COM41 COM33:COM42 COM11:COM43 COM12:COM44 COM32:COM45"

stop() {
    local f
    # The Wine processes first, while their display and lines are still there; then any Wine
    # program of this prefix that its server did not end (one started from the Linux side keeps
    # whatever it was given, a test runner's output among it).
    wineserver -k 2>/dev/null
    local p
    for p in /proc/[0-9]*; do
        case $(readlink "$p/exe" 2>/dev/null) in
            */wineserver*) ;;
            */wine/wine*|*/wine*-preloader)
                tr '\0' '\n' < "$p/environ" 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX" &&
                    kill -9 "${p#/proc/}" 2>/dev/null ;;
        esac
    done
    # The switchboard before the lines, so it plugs nothing back in meanwhile.
    for f in "$dir"/switchboard.pid "$dir"/*.pid; do
        [ -e "$f" ] || continue
        kill "$(cat "$f")" 2>/dev/null
        rm -f "$f"
    done
    rm -f "$dir"/unplug-* "$dir"/replug-* "$dir"/sim-*.log "$dir/display"
    return 0
}

# plug NEAR:FAR: makes the line and waits for both ends to appear.
plug() {
    local near=${1%%:*} far=${1##*:} i
    rm -f "$dir/$near" "$dir/$far"
    socat pty,raw,echo=0,link="$dir/$near" pty,raw,echo=0,link="$dir/$far" </dev/null >/dev/null 2>&1 &
    echo $! > "$dir/socat-$near.pid"
    for i in $(seq 50); do [ -e "$dir/$near" ] && [ -e "$dir/$far" ] && break; sleep 0.1; done
}

# The switchboard: carries out the tests' unplug and replug requests until `stop` ends it.
switchboard() {
    local f near pair
    while :; do
        for f in "$dir"/unplug-* "$dir"/replug-*; do
            [ -e "$f" ] || continue
            near=${f##*-}
            case $f in
                */unplug-*) kill "$(cat "$dir/socat-$near.pid")" 2>/dev/null ;;
                *) for pair in $lines; do [ "${pair%%:*}" = "$near" ] && plug "$pair"; done ;;
            esac
            rm -f "$f"
        done
        sleep 0.05
    done
}

# The panel's font, 微软雅黑 10 pt, is not on Linux. Windows draws it at an em of 13 px, Han
# characters and the full-width colon 13 px wide, tmHeight 17 (ascent/descent 2167/536 of 2048):
# dialog base units 8 x 17, so 串口号： (27 dlu, 54 px) and 版本：, 信道： (21 dlu, 42 px) show whole.
# WenQuanYi Micro Hei gives 7 x 15 (47 and 37 px: "串口", "版", "信"), Noto Sans CJK SC 8 x 19; the
# stand-in is Noto Sans CJK SC with 雅黑's ascent and descent: 8 x 17.
standin="Noto Sans CJK SC YaHei Metrics"

# Puts into the prefix's Fonts folder, the one font folder of Wine's own that it reads here:
#   Marlett, which draws the title-bar buttons. Debian's fonts-wine keeps it in /usr/share/wine/fonts,
#   where this Wine never looks, and the buttons showed the letters 0, 1 and r instead;
#   the panel font's stand-in. fontTools is Debian's, so the system Python, not one found on PATH.
fonts() {
    local to=$WINEPREFIX/drive_c/windows/Fonts
    cp -u /usr/share/wine/fonts/marlett.ttf "$to/" || return 1
    [ -f "$to/yahei-metrics.otf" ] && return 0
    # Made under another name first, so that a file cut short is never taken for the font.
    /usr/bin/python3 - /usr/share/fonts/opentype/noto/NotoSansCJK-Regular.ttc "$to/yahei-metrics.part" \
        "$standin" <<'EOF' || return 1
import sys
from fontTools.ttLib import TTCollection
source, target, name = sys.argv[1:]
font = next(f for f in TTCollection(source, lazy=True, recalcBBoxes=False).fonts
            if f['name'].getDebugName(1) == 'Noto Sans CJK SC')
em = font['head'].unitsPerEm
ascent, descent = round(2167 * em / 2048), round(536 * em / 2048)
font['OS/2'].usWinAscent, font['OS/2'].usWinDescent = ascent, descent
font['hhea'].ascent, font['hhea'].descent, font['hhea'].lineGap = ascent, -descent, 0
for record in font['name'].names:
    if record.nameID in (1, 3, 4, 16):
        record.string = name
    elif record.nameID == 6:
        record.string = name.replace(' ', '')
font.save(target)
EOF
    mv "$to/yahei-metrics.part" "$to/yahei-metrics.otf"
}

start() {
    stop
    [ -f "$WINEPREFIX/system.reg" ] || "$wine" wineboot -i >/dev/null 2>&1
    fonts || { echo "world.sh: could not put the fonts in $WINEPREFIX" >&2; return 1; }

    if [ "$mode" = --host-display ]; then
        echo "$DISPLAY" > "$dir/display"
    else
        local n=90
        while [ -e /tmp/.X11-unix/X$n ] || [ -e /tmp/.X$n-lock ]; do n=$((n + 1)); done
        Xvfb :$n -screen 0 800x600x24 -nolisten tcp </dev/null >/dev/null 2>&1 &
        echo $! > "$dir/xvfb.pid"
        echo ":$n" > "$dir/display"
        for i in $(seq 50); do [ -e /tmp/.X11-unix/X$n ] && break; sleep 0.1; done
    fi

    local reg="$dir/ports.reg" pair
    printf 'Windows Registry Editor Version 5.00\n\n[-HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\n\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\n' > "$reg"
    for pair in $lines; do
        plug "$pair"
        printf '"%s"="%s"\n"%s"="%s"\n' "${pair%%:*}" "$dir/${pair%%:*}" "${pair##*:}" "$dir/${pair##*:}" >> "$reg"
    done
    # The panel's font is drawn with its stand-in (see fonts above).
    printf '\n[-HKEY_CURRENT_USER\\Software\\Wine\\Fonts\\Replacements]\n\n[HKEY_CURRENT_USER\\Software\\Wine\\Fonts\\Replacements]\n"微软雅黑"="%s"\n' "$standin" >> "$reg"
    # There is no window manager on these displays: let Wine draw the title bar and frame.
    printf '\n[HKEY_CURRENT_USER\\Software\\Wine\\X11 Driver]\n"Managed"="N"\n' >> "$reg"
    # regedit reads a version 5 file as UTF-16, which keeps the font name intact.
    iconv -f UTF-8 -t UTF-16 "$reg" > "$reg.utf16"
    "$wine" regedit /S "$("$wine" winepath -w "$reg.utf16" 2>/dev/null)" >/dev/null 2>&1
    # The port mapping is read when the wineserver starts.
    wineserver -k 2>/dev/null
    wineserver -w 2>/dev/null
    # Start it and Wine's own services here, away from the caller's output (ctest waits for
    # every holder of its pipes), and keep them until `stop`.
    wineserver -p </dev/null >/dev/null 2>&1
    DISPLAY=$(cat "$dir/display") "$wine" wineboot </dev/null >/dev/null 2>&1

    # A test killed before its tear-down leaves the adapters' records it made in the prefix.
    [ -z "${RQ47_DRIVE-}" ] || "$wine" "$RQ47_DRIVE" forget </dev/null >/dev/null 2>&1

    switchboard </dev/null >/dev/null 2>&1 &
    echo $! > "$dir/switchboard.pid"
    return 0
}

case $cmd in
    start) start ;;
    stop) stop ;;
    *) echo "usage: $0 start|stop DIR" >&2; exit 2 ;;
esac
