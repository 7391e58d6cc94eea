#!/usr/bin/env bash
# Builds the optimised benchmark programs and prints one table of KIVO's figures, taken in
# one run on this machine: the simulated phone read by kivo-read and by the window, the
# serial layer and the serial component beside a raw pseudo-terminal, idle cost, start-up and
# memory; and, where
# gsmctl is installed, the same simulated phone read by it.
#
#   bench/run.sh [build-dir]     (default: build/release, the release preset's directory)
#
# KIVO_BENCH_RUNS sets the window's runs (kivo-read gets four times as many, gsmctl as
# many as kivo-read); KIVO_BENCH_SAMPLES the latency samples.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/release}
runs=${KIVO_BENCH_RUNS:-5}
samples=${KIVO_BENCH_SAMPLES:-2000}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

build_programs() {
    if [[ ! -f $build/CMakeCache.txt ]]; then
        cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKIVO_BUILD_TESTS=OFF >&2
    fi
    cmake --build "$build" --target kivo-bench-platform kivo-bench-serial kivo_app_bench kivo-read \
        kivo-phonesim -j2 >&2
}

# The value after Label on the line starting with Prefix (after leading blanks) in File.
field() { # file prefix label
    awk -v p="$2" -v l="$3" '{ sub(/^ +/, "") } index($0, p) == 1 {
        for (i = 1; i < NF; i++) if ($i == l) { print $(i + 1); exit } }' "$1"
}

# Milliseconds, median of $runs runs of gsmctl reading the simulated phone's identity;
# on failure, "failed: <its message>".
gsmctl_median_ms() { # device
    local times=() start end out
    for ((i = 0; i < runs * 4; i++)); do
        start=$(date +%s%N)
        if ! out=$(gsmctl -d "$1" ME 2>&1); then
            echo "failed: $(head -n1 <<<"$out" | sed 's/^gsmctl\[ERROR\]: //')"
            return
        fi
        end=$(date +%s%N)
        times+=("$(((end - start) / 1000))")
    done
    printf '%s\n' "${times[@]}" | sort -n | awk '{ v[NR] = $1 } END { printf "%.2f", v[int(NR / 2) + 1] / 1000 }'
}

measure_gsmctl() {
    if ! command -v gsmctl >/dev/null; then
        echo "not installed"
        return
    fi
    # The simulator prints its device once it is ready; it runs until this reading ends.
    local device sim_out sim_pid
    exec {sim_out}< <(exec "$build/tools/kivo-phonesim" 2>/dev/null)
    sim_pid=$!
    read -r -t 10 device <&"$sim_out"
    gsmctl_median_ms "$device"
    kill "$sim_pid"
    exec {sim_out}<&-
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b + 0 > 0) printf "%.2f", a / b; else print "–" }'; }

build_programs
echo "measuring (about a minute) ..." >&2
"$build/bench/platform/kivo-bench-platform" >"$work/platform.txt"
"$build/bench/serial/kivo-bench-serial" "$samples" >"$work/serial.txt"
"$build/bench/app/kivo_app_bench" "$runs" >"$work/app.txt" 2>/dev/null
measure_gsmctl >"$work/gsm.txt"
gsm=$(<"$work/gsm.txt")

read_ms=$(field "$work/app.txt" "kivo-read: whole process" median)
window_run=$(field "$work/app.txt" "window: read run" median)
startup=$(field "$work/app.txt" "window: start-up" median)
peak=$(awk '/window: peak resident memory/ { print $(NF - 1) }' "$work/app.txt")
layer_p50=$(awk '/^  layer  p50/ { print $3 }' "$work/platform.txt")
poll_p50=$(awk '/^  raw    p50/ { print $3 }' "$work/platform.txt")
layer_rate=$(awk '/^  layer .*MiB\/s/ { print $2 }' "$work/platform.txt")
poll_rate=$(awk '/^  raw .*MiB\/s/ { print $2 }' "$work/platform.txt")
raw_p50=$(field "$work/serial.txt" "raw pty round trip" p50)
raw_p99=$(field "$work/serial.txt" "raw pty round trip" p99)
rx_p50=$(field "$work/serial.txt" "byte -> OnRxChar" p50)
rx_p99=$(field "$work/serial.txt" "byte -> OnRxChar" p99)
raw_rate=$(awk '/raw pty read/ { print $NF }' "$work/serial.txt")
rx_rate=$(awk '/OnRxChar \+ ReadText/ { print $4 }' "$work/serial.txt")
idle=$(sed -n 's/^idle open port, 10 s: \([0-9.]*\) s processor time (\([0-9.]*\)%)$/\1 s (\2 %)/p' "$work/serial.txt")

if [[ $gsm == [0-9]* ]]; then
    gsm_cell="gsmctl ME: $gsm ms"
    gsm_ratio="$(ratio "$read_ms" "$gsm") (KIVO / gsmctl)"
else
    gsm_cell="gsmctl: $gsm"
    gsm_ratio="–"
fi

cat <<TABLE
| Figure (medians unless noted) | KIVO | Reference | Ratio |
|---|---|---|---|
| kivo-read, whole process, 7 fields from kivo-phonesim | $read_ms ms | $gsm_cell | $gsm_ratio |
| Window: read run, 7 commands | $window_run ms | | |
| Window: start-up to first paint | $startup ms | | |
| Window: peak resident memory | $peak KiB | | |
| Serial layer: byte → WaitCommEvent done, p50 | $layer_p50 µs | raw poll + read $poll_p50 µs | $(ratio "$layer_p50" "$poll_p50") |
| Serial layer: receive throughput (WaitCommEvent + ReadFile) | $layer_rate MiB/s | raw poll + read $poll_rate MiB/s | $(ratio "$layer_rate" "$poll_rate") |
| Byte → OnRxChar latency p50 | $rx_p50 µs | raw pty round trip $raw_p50 µs | $(ratio "$rx_p50" "$raw_p50") |
| Byte → OnRxChar latency p99 | $rx_p99 µs | raw pty round trip $raw_p99 µs | $(ratio "$rx_p99" "$raw_p99") |
| Receive throughput (OnRxChar + ReadText) | $rx_rate MiB/s | raw pty read $raw_rate MiB/s | $(ratio "$rx_rate" "$raw_rate") |
| Idle open port, processor time in 10 s | $idle | | |
TABLE
echo
echo "Machine: $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n1), $(nproc) cores, Linux $(uname -r)"
