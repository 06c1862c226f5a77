#!/usr/bin/env bash
# Runs serio8 on Linux under Wine, with a virtual shift-register board in
# loopback behind Com3: the 4021's inputs are wired to the 4094's outputs, so
# every output box you check comes back in the input box below it. No serial
# hardware is needed, and none is touched unless you ask for it.
#
#     ./run.sh [OPTION]...
#
# Builds what it needs first (installing missing Debian packages through
# scripts/deps.sh): the 64-bit Windows program (preset windows-x64) and the
# virtual board (preset wine). Wine runs in a sandbox (tools/wine/sandbox.py):
# a private prefix and a private /dev in which no serial device exists but
# the ones named below.
#
# With a display (DISPLAY set) the window opens on it and the program runs
# until you close it. Without one, a virtual display is started and a short
# demo plays instead: the output boxes are set to 01, 80 and A5 by mouse
# clicks, the input boxes are read after each, a screenshot of the window is
# saved, the window is closed, and what was seen is printed; exit code 0 when
# all of it worked.
#
# Options:
#   --device N=DEVICE  ComN is the real serial device DEVICE (e.g.
#                      --device 3=/dev/ttyUSB0), made visible in the sandbox
#                      on purpose; for Com3 it replaces the virtual board. The
#                      program starts on Com3; for another N, choose ComN in
#                      the list and press SetComPort (the demo does so).
#   --board N=INPUTS   one more virtual board, behind ComN: "loopback", or its
#                      inputs fixed to a byte in hex (D7..D0), e.g. --board 4=A5.
#                      Its control file and log are in the directory printed.
#   --demo             play the demo on a virtual display even if DISPLAY is set
#   --screenshot PATH  where the demo saves the window (default BUILD_DIR/screenshot.png;
#                      docs/screenshot.png is the README's picture)
#   --hold SECONDS     the demo leaves the program polling this long before it
#                      closes the window, so that the board's log (summed up at
#                      the end: exchange time, poll period) covers more polls
#   --build-dir DIR    where to build (default build/: DIR/windows-x64, DIR/wine)
#   --no-build         use what is built already
#   -h, --help         this text
set -euo pipefail
cd "$(dirname "$0")"
root=$(pwd)

usage() { sed -n '2,/^set -euo/p' "$0" | sed '$d' | sed 's/^# \{0,1\}//'; }

build_dir=build
screenshot=
demo=0
hold=0
build=1
devices=()
boards=()
while [ $# -gt 0 ]; do
    case $1 in
    --device) devices+=("${2:?--device needs N=DEVICE}"); shift 2 ;;
    --board) boards+=("${2:?--board needs N=INPUTS}"); shift 2 ;;
    --demo) demo=1; shift ;;
    --screenshot) screenshot=${2:?--screenshot needs a path}; shift 2 ;;
    --hold) hold=${2:?--hold needs seconds}; shift 2 ;;
    --build-dir) build_dir=${2:?--build-dir needs a directory}; shift 2 ;;
    --no-build) build=0; shift ;;
    -h | --help) usage; exit 0 ;;
    *) echo "run.sh: unknown option $1 (see ./run.sh --help)" >&2; exit 2 ;;
    esac
done
[ -n "$screenshot" ] || screenshot=$build_dir/screenshot.png
[ -n "${DISPLAY:-}" ] || demo=1

# ComN of each real device; Com3 gets the loopback board unless one is there.
sandbox_args=()
com3_real=0
demo_port=3
demo_loopback=1
for mapping in ${devices[@]+"${devices[@]}"}; do
    number=${mapping%%=*}
    device=${mapping#*=}
    if ! [[ $number =~ ^[0-9]+$ ]] || [ "$number" -lt 1 ] || [ "$number" -gt 255 ] || [ "$device" = "$mapping" ]; then
        echo "run.sh: --device takes N=DEVICE with N from 1 to 255, e.g. 3=/dev/ttyUSB0" >&2
        exit 2
    fi
    if [ ! -e "$device" ]; then
        echo "run.sh: $device does not exist" >&2
        exit 2
    fi
    echo "run.sh: Com$number is the real serial device $device"
    sandbox_args+=(--com "$number=$device")
    [ "$number" -ne 3 ] || com3_real=1
    # The demo drives the first real device named.
    if [ "$demo_loopback" -eq 1 ]; then demo_port=$number; demo_loopback=0; fi
done
[ "$com3_real" -eq 1 ] || boards=("3=loopback" ${boards[@]+"${boards[@]}"})
for mapping in ${boards[@]+"${boards[@]}"}; do sandbox_args+=(--board "$mapping"); done

mkdir -p "$build_dir"
build_dir=$(cd "$build_dir" && pwd)
windows_build=$build_dir/windows-x64
wine_build=$build_dir/wine
if [ "$build" -eq 1 ]; then
    scripts/deps.sh
    echo "run.sh: building the program (windows-x64) and the virtual board (wine) under $build_dir"
    cmake --preset windows-x64 -B "$windows_build" >/dev/null
    cmake --build "$windows_build" --target serio8 uiauto
    cmake --preset wine -B "$wine_build" -DSERIO8_WINDOWS_BUILD="$windows_build" >/dev/null
    cmake --build "$wine_build" --target vboard
fi
vboard_lib=$wine_build/tools/vboard/libvboard.so
board_dir=$(mktemp -d "${TMPDIR:-/tmp}/serio8-run-XXXXXX")
sandbox_args+=(--vboard-lib "$vboard_lib" --board-dir "$board_dir")

if [ "$demo" -eq 0 ]; then
    echo "run.sh: starting serio8 on $DISPLAY; the boards' control file and logs are in $board_dir"
    exec python3 tools/wine/sandbox.py ${sandbox_args[@]+"${sandbox_args[@]}"} -- \
        /usr/lib/wine/wine64 "$windows_build/app/serio8.exe"
fi

# The demo, on a display of its own.
demo_args=(--port "$demo_port" --hold "$hold")
[ "$demo_loopback" -eq 0 ] || demo_args+=(--loopback)
mkdir -p "$(dirname "$screenshot")"
screenshot=$(cd "$(dirname "$screenshot")" && pwd)/$(basename "$screenshot")
status=0
env -u DISPLAY -u WAYLAND_DISPLAY python3 tools/wine/sandbox.py --display ${sandbox_args[@]+"${sandbox_args[@]}"} -- \
    python3 "$root/tools/wine/demo.py" "$windows_build" "$screenshot" "${demo_args[@]}" || status=$?
if [ -f "$board_dir/com$demo_port.log" ]; then
    echo "what the virtual board on Com$demo_port saw:"
    python3 tools/checker/checkexchange.py "$board_dir/com$demo_port.log" || status=1
fi
if [ "$status" -eq 0 ]; then rm -rf "$board_dir"; else echo "run.sh: the boards' logs are kept in $board_dir"; fi
exit "$status"
