#!/usr/bin/env bash
# Takes docs/kivo-windows.png: kivo.exe under Wine on a virtual X screen (Xvfb), in a Wine
# desktop window, after Alt+R has read the simulated phone on COM4. Needs the windows
# build (scripts/windows/test.sh, or: cmake --build --preset windows --target kivo).
set -euo pipefail
cd "$(dirname "$0")/../.."

desktop=420x330
program=build/windows/app/kivo.exe

if [[ ${1:-} != --inside-x ]]; then
    scripts/windows/install-deps.sh --screenshot
    [[ -f $program ]] || { echo "screenshot: $program missing: build the windows preset" >&2; exit 1; }
    exec timeout 300 xvfb-run -a -s "-screen 0 640x480x24" "$0" --inside-x
fi

display=$DISPLAY
source scripts/windows/wine-env.sh
export DISPLAY=$display
trap wine_stop_all EXIT

build_phonesim
wine_prepare_prefix
wine_start_server
start_phone

LD_PRELOAD="$PWD/build/windows-deps/libkivo-modemlines.so" \
    wine explorer /desktop=KIVO,$desktop "$program" >"$KIVO_WIN_RUN/screenshot.log" 2>&1 &
window=$(timeout 60 xdotool search --sync --name '^KIVO -' | head -n 1)
timeout 10 xdotool windowactivate --sync "$window" >/dev/null 2>&1 || true
sleep 1 # let the window settle; Wine reads keys from the focused X window
xdotool key alt+r
# The read takes a few hundred milliseconds; the picture is no test, so a pause will do.
sleep 3
mkdir -p docs
import -window root -crop "$desktop+0+0" +repage docs/kivo-windows.png
echo "screenshot: docs/kivo-windows.png"
