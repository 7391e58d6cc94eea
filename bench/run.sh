#!/usr/bin/env bash
# Builds the optimised benchmark programs and prints the tables of one run on this machine:
# KIVO's own figures (the simulated phone read by kivo-read and by the window, idle cost,
# start-up and memory) with gsmctl and gammu reading the same simulated phone; and the serial
# layer and the component side by side with the serial libraries programs pick instead
# (QSerialPort, Boost.Asio, libserialport), raw poll + read and a bare two-thread hand-over,
# in rounds that rotate the order of the contenders, once as scheduled and once on one
# processor, each with its goals.
#
#   bench/run.sh [build-dir]     (default: build/release, the release preset's directory)
#
# The other libraries and programs are benchmark-only: run as root, this script installs
# the missing ones with apt-get; otherwise their rows say "not installed". The product build
# and its tests never need them.
#
# KIVO_BENCH_RUNS sets the window's runs (kivo-read gets four times as many, gsmctl and gammu
# as many as kivo-read); KIVO_BENCH_SAMPLES the samples of kivo-bench-serial, whose idle figure
# is taken;
# KIVO_BENCH_ROUNDS the side-by-side rounds (30), KIVO_BENCH_PEER_SAMPLES the one-byte events
# per round (500) and KIVO_BENCH_PEER_MIB the bulk mebibytes per round (16).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/release}
runs=${KIVO_BENCH_RUNS:-5}
samples=${KIVO_BENCH_SAMPLES:-100}
rounds=${KIVO_BENCH_ROUNDS:-30}
peer_samples=${KIVO_BENCH_PEER_SAMPLES:-500}
peer_mib=${KIVO_BENCH_PEER_MIB:-16}
bench_packages=(qt6-serialport-dev libserialport-dev libboost-dev gsm-utils gammu)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The benchmark-only packages, installed only when missing and only by root.
install_bench_packages() {
    local missing=()
    for package in "${bench_packages[@]}"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" ||
            missing+=("$package")
    done
    ((${#missing[@]} > 0)) || return 0
    if [[ $(id -u) -ne 0 ]] || ! command -v apt-get >/dev/null; then
        echo "not installed (run as root to install): ${missing[*]}" >&2
        return 0
    fi
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}" >&2
}

build_programs() {
    # Configured again each time, so that libraries installed since are found.
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKIVO_BUILD_TESTS=OFF >&2
    cmake --build "$build" --target kivo-bench-serial kivo_app_bench kivo-read kivo-phonesim \
        kivo-bench-peers kivo-bench-modemlines -j2 >&2
}

preload=$build/bench/preload/libkivo-bench-modemlines.so

# The value after Label on the line starting with Prefix (after leading blanks) in File.
field() { # file prefix label
    awk -v p="$2" -v l="$3" '{ sub(/^ +/, "") } index($0, p) == 1 {
        for (i = 1; i < NF; i++) if ($i == l) { print $(i + 1); exit } }' "$1"
}

# Milliseconds, median of $runs * 4 runs of a peer program ("$@", where DEVICE stands for
# the simulated phone's device) reading the simulated phone's identity; on failure,
# "failed: <the first line of its message>". The peers toggle modem lines, which a
# pseudo-terminal rejects: they run with bench/preload's library, which answers them.
peer_median_ms() { # device command...
    local device=$1 times=() start end out
    shift
    local command=("${@//DEVICE/$device}")
    for ((i = 0; i < runs * 4; i++)); do
        start=$(date +%s%N)
        if ! out=$(LD_PRELOAD=$preload timeout 20 "${command[@]}" 2>&1) || grep -qi error <<<"$out"; then
            echo "failed: $(grep -i -m1 -e error -e fail <<<"$out" || head -n1 <<<"$out")"
            return
        fi
        end=$(date +%s%N)
        times+=("$(((end - start) / 1000))")
    done
    printf '%s\n' "${times[@]}" | sort -n | awk '{ v[NR] = $1 } END { printf "%.2f", v[int(NR / 2) + 1] / 1000 }'
}

# The same as peer_median_ms, on a simulated phone of its own; "not installed" without the
# program.
measure_peer() { # program command...
    if ! command -v "$1" >/dev/null; then
        echo "not installed"
        return
    fi
    shift
    # The simulator prints its device once it is ready; it runs until this reading ends.
    local device sim_out sim_pid
    exec {sim_out}< <(exec "$build/tools/kivo-phonesim" 2>/dev/null)
    sim_pid=$!
    read -r -t 10 device <&"$sim_out"
    printf '[gammu]\ndevice = %s\nconnection = at\n' "$device" >"$work/gammurc"
    peer_median_ms "$device" "$@"
    kill "$sim_pid"
    exec {sim_out}<&-
}

# One line per contender and round ("<round> <name> p50 .. bulk .."): each round runs every
# contender once, the order rotated by one each round, so that neither a slow start nor a
# burst of other load falls on one contender only. With "pinned", every program runs on the
# first processor only (taskset), where a thread wakes another without waking a processor.
measure_peers() { # [pinned]
    local contenders=() program pin=()
    [[ ${1:-} == pinned ]] && pin=(taskset -c 0)
    for name in raw kivo-layer kivo-component handover qserialport asio libserialport; do
        [[ -x $build/bench/peers/kivo-bench-peer-$name ]] && contenders+=("$name")
    done
    local count=${#contenders[@]}
    for ((round = 0; round < rounds; round++)); do
        for ((k = 0; k < count; k++)); do
            name=${contenders[$(((round + k) % count))]}
            program=$build/bench/peers/kivo-bench-peer-$name
            # libserialport sets the modem lines and needs a session of its own (see
            # PeerLibserialport.cpp). A round that fails is reported and left out.
            if [[ $name == libserialport ]]; then
                LD_PRELOAD=$preload "${pin[@]}" setsid -w "$program" "$peer_samples" "$peer_mib" |
                    sed "s/^/$round /" || echo "$name failed in round $round" >&2
            else
                "${pin[@]}" "$program" "$peer_samples" "$peer_mib" | sed "s/^/$round /" ||
                    echo "$name failed in round $round" >&2
            fi
        done
    done
}

# The side-by-side table from measure_peers' lines: per contender the median over the rounds
# with p10-p90 across them, and the median of the per-round ratios to raw poll + read; then
# the goals, each the median (p10-p90) of a per-round ratio, against its bound, and the
# hand-over floor's ratios for reference.
peers_table() { # lines
    awk -v rounds="$rounds" '
        function sortv(a, n,   i, j, t) { for (i = 2; i <= n; i++) { t = a[i]; for (j = i - 1; j >= 1 && a[j] > t; j--) a[j + 1] = a[j]; a[j + 1] = t } }
        function pick(a, n, q) { return a[int(q * (n - 1) + 0.5) + 1] }
        function stat(name, f,   n, v, i) {
            n = 0; for (i = 0; i < rounds; i++) if ((i, name, f) in val) v[++n] = val[i, name, f]
            if (n == 0) return "–"; sortv(v, n)
            return sprintf(fmt[f] " (" fmt[f] "–" fmt[f] ")", pick(v, n, 0.5), pick(v, n, 0.1), pick(v, n, 0.9))
        }
        # Per-round ratios of name to ref for figure f, sorted into r; returns how many.
        function ratios(name, ref, f, r,   n, i) {
            n = 0; for (i = 0; i < rounds; i++) if ((i, name, f) in val && val[i, ref, f] > 0) r[++n] = val[i, name, f] / val[i, ref, f]
            sortv(r, n); return n
        }
        function ratio(name, ref, f,   n, r) {
            n = ratios(name, ref, f, r); return n == 0 ? "–" : sprintf("%.2f", pick(r, n, 0.5))
        }
        # The row of a goal; without op and bound, a reference that no goal bounds.
        function goal(text, name, ref, f, op, bound,   n, r, m, met, limit) {
            n = ratios(name, ref, f, r); limit = op == "" ? "–" : sprintf("%s %.1f", op, bound)
            if (n == 0) { printf "| %s | – | %s | – |\n", text, limit; return }
            m = pick(r, n, 0.5); met = op == "" ? "–" : (op == "≤" ? m <= bound : m >= bound) ? "yes" : "no"
            printf "| %s | %.2f (%.2f–%.2f) | %s | %s |\n", text, m, pick(r, n, 0.1), pick(r, n, 0.9), limit, met
        }
        { for (i = 3; i < NF; i += 2) val[$1, $2, $i] = $(i + 1); if (!($2 in seen)) { seen[$2] = 1; order[++names] = $2 } }
        END {
            fmt["p50"] = "%.1f"; fmt["p99"] = "%.0f"; fmt["cpu"] = "%.1f"; fmt["switches"] = "%.2f"; fmt["bulk"] = "%.0f"
            label["raw"] = "raw poll + read"; label["kivo-layer"] = "KIVO serial layer (WaitCommEvent)"
            label["kivo-component"] = "KIVO component (OnRxChar on the UI thread)"
            label["handover"] = "raw poll + read on a thread, handed over (the design'"'"'s floor)"
            label["qserialport"] = "QSerialPort (readyRead)"; label["asio"] = "Boost.Asio serial_port (async_read_some)"
            label["libserialport"] = "libserialport (sp_wait)"
            print "| Receiver | byte → handler p50 µs | p99 µs | CPU µs per one-byte event | context switches per byte | bulk receive MiB/s | p50 / raw | CPU / raw | bulk / raw |"
            print "|---|---|---|---|---|---|---|---|---|"
            for (k = 1; k <= names; k++) {
                n = order[k]
                printf "| %s | %s | %s | %s | %s | %s | %s | %s | %s |\n", label[n], stat(n, "p50"), stat(n, "p99"), stat(n, "cpu"), stat(n, "switches"), stat(n, "bulk"), ratio(n, "raw", "p50"), ratio(n, "raw", "cpu"), ratio(n, "raw", "bulk")
            }
            print ""
            print "| Goal (per-round ratio) | median (p10–p90) | bound | met |"
            print "|---|---|---|---|"
            goal("component p50 / QSerialPort p50", "kivo-component", "qserialport", "p50", "≤", 2.0)
            goal("component p99 / QSerialPort p99", "kivo-component", "qserialport", "p99", "≤", 2.0)
            goal("component CPU / QSerialPort CPU", "kivo-component", "qserialport", "cpu", "≤", 2.0)
            goal("component bulk / raw bulk", "kivo-component", "raw", "bulk", "≥", 0.9)
            goal("serial layer p50 / raw p50", "kivo-layer", "raw", "p50", "≤", 1.5)
            goal("reference: hand-over floor p50 / QSerialPort p50", "handover", "qserialport", "p50")
            goal("reference: hand-over floor CPU / QSerialPort CPU", "handover", "qserialport", "cpu")
            goal("reference: component p50 / hand-over floor p50", "kivo-component", "handover", "p50")
            goal("reference: component CPU / hand-over floor CPU", "kivo-component", "handover", "cpu")
        }' "$1"
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b + 0 > 0) printf "%.2f", a / b; else print "–" }'; }

install_bench_packages
build_programs
echo "measuring (a few minutes) ..." >&2
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
measure_peers >"$work/peers.txt"
measure_peers pinned >"$work/pinned.txt"
"$build/bench/serial/kivo-bench-serial" "$samples" >"$work/serial.txt"
"$build/bench/app/kivo_app_bench" "$runs" >"$work/app.txt" 2>/dev/null
gsm=$(measure_peer gsmctl gsmctl -d DEVICE me)
gammu=$(measure_peer gammu gammu -c "$work/gammurc" identify)
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

read_ms=$(field "$work/app.txt" "kivo-read: whole process" median)
window_run=$(field "$work/app.txt" "window: read run" median)
startup=$(field "$work/app.txt" "window: start-up" median)
peak=$(awk '/window: peak resident memory/ { print $(NF - 1) }' "$work/app.txt")
idle=$(sed -n 's/^idle open port, 10 s: \([0-9.]*\) s processor time (\([0-9.]*\)%)$/\1 s (\2 %)/p' "$work/serial.txt")

# The reference cell and ratio for a peer program's figure.
peer_cell() { # label figure
    if [[ $2 == [0-9]* ]]; then
        echo "$1: $2 ms | $(ratio "$read_ms" "$2") (KIVO / $1)"
    else
        echo "$1: $2 | –"
    fi
}

cat <<TABLE
| Figure (medians unless noted) | KIVO | Reference | Ratio |
|---|---|---|---|
| kivo-read, whole process, 7 fields from kivo-phonesim | $read_ms ms | $(peer_cell "gsmctl me" "$gsm") |
| kivo-read, whole process, 7 fields from kivo-phonesim | $read_ms ms | $(peer_cell "gammu identify" "$gammu") |
| Window: read run, 7 commands | $window_run ms | | |
| Window: start-up to first paint | $startup ms | | |
| Window: peak resident memory | $peak KiB | | |
| Idle open port, processor time in 10 s | $idle | | |
TABLE
echo
echo "Side by side: $rounds rounds, each running every receiver once in an order rotated by one"
echo "per round; $peer_samples one-byte events and $peer_mib MiB of bulk per receiver and round."
echo "Medians over the rounds (p10–p90 across rounds); ratios are medians of per-round ratios."
echo
peers_table "$work/peers.txt"
echo
echo "The same, every program on one processor (taskset -c 0):"
echo
peers_table "$work/pinned.txt"
echo
echo "Load average (1, 5, 15 min) before: $load_before; after: $load_after"
echo "Machine: $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n1), $(nproc) cores, Linux $(uname -r)"
