#!/usr/bin/env bash
# The Windows build and its tests under Wine, headless: installs the cross compiler, Wine
# and socat, builds GoogleTest for the target, cross-builds KIVO with the windows preset
# (build/windows), maps COM port pairs to pseudo-terminals and runs the tests under Wine;
# then reads the simulated phone with kivo-read.exe through a COM port, builds the release
# zip and installer, and installs, uses and uninstalls the latter silently.
set -euo pipefail
cd "$(dirname "$0")/../.."

jobs=${KIVO_JOBS:-2}
started=$SECONDS

scripts/windows/install-deps.sh
scripts/windows/build-googletest.sh

source scripts/windows/wine-env.sh
trap wine_stop_all EXIT

echo "=== windows: modem-line shim for Wine on ptys"
shim="$PWD/build/windows-deps/libkivo-modemlines.so"
g++ -std=c++20 -O2 -shared -fPIC -o "$shim" bench/preload/ModemLinesPreload.cpp -ldl

echo "=== windows: Wine prefix"
wine_prepare_prefix
wine_start_server

echo "=== windows: COM port pairs"
IFS=, read -ra pairs <<<"$KIVO_TEST_COM_PAIRS"
for pair in "${pairs[@]}"; do
    com_pair "${pair%%:*}" "${pair##*:}"
done

echo "=== windows: configure and build"
timeout 1800 cmake --preset windows >/dev/null
timeout 3600 cmake --build --preset windows -j "$jobs"

echo "=== windows: test under Wine"
# Each test runs once: a failure is a fault to fix, not to retry. A test program that
# crashes ends at once (the prefix starts no debugger), instead of at the time-out.
LD_PRELOAD="$shim" timeout 1800 ctest --preset windows -j "$jobs" --timeout 30

if [[ -x build/windows/tools/kivo-read.exe ]]; then
    echo "=== windows: kivo-read.exe against the simulated phone"
    scripts/windows/read-phonesim.sh
fi

KIVO_JOBS=$jobs scripts/windows/package.sh
echo "=== windows: the installer under Wine"
scripts/windows/installer-test.sh

echo "=== windows: done in $((SECONDS - started)) s"
