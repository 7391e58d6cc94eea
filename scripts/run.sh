#!/usr/bin/env bash
# Builds KIVO and reads a phone's identity.
#   scripts/run.sh              against the simulated phone (kivo-phonesim)
#   scripts/run.sh /dev/ttyUSB0 against that device
# With a display (DISPLAY or WAYLAND_DISPLAY) the window opens on COM 4, which is mapped to
# the device; without one, kivo-read prints what it reads.
set -euo pipefail
cd "$(dirname "$0")/.."

device="${1:-}"
if [[ -n "$device" && ! -e "$device" ]]; then
    echo "run: no such device: $device" >&2
    exit 2
fi

# Dependencies: installed when run as root, otherwise checked.
scripts/install-deps.sh

cmake --preset release >/dev/null
cmake --build --preset release --target kivo kivo-read kivo-phonesim
bin=build/release

sim_pid=""
stop_sim() {
    if [[ -n "$sim_pid" ]]; then
        kill "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
    fi
}
trap stop_sim EXIT

if [[ -z "$device" ]]; then
    # The simulated phone prints its device path first and runs until stopped.
    exec {sim_fd}< <(exec "$bin/tools/kivo-phonesim")
    sim_pid=$!
    if ! read -r -t 10 -u "$sim_fd" device; then
        echo "run: the simulated phone did not start" >&2
        exit 1
    fi
    echo "run: simulated phone on $device (COM 4)"
fi

export KIVO_COM4="$device"
if [[ -n "${DISPLAY:-}" || -n "${WAYLAND_DISPLAY:-}" ]]; then
    "$bin/app/kivo"
else
    echo "run: no display; reading with kivo-read --port COM4"
    status=0
    "$bin/tools/kivo-read" --port COM4 || status=$?
    exit "$status"
fi
