#!/usr/bin/env bash
# Builds the fuzz targets (the fuzz preset: clang++ with libFuzzer, ASan and UBSan) and runs
# each for a bounded time, starting from its seed corpus in fuzz/corpus/<target>/. First
# every reproducer in fuzz/regressions/<target>/ must run clean. A target with a dictionary
# (fuzz/<target>.dict) is given it.
#
#   fuzz/run.sh                  every target, 60 s each
#   fuzz/run.sh -t 10 format     the format target for 10 s
#
# Exits non-zero when a target crashes, breaks an invariant or a reproducer fails; the
# input that did it is kept in build/fuzz/artifacts/<target>/.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-60}
if [[ ${1:-} == -t ]]; then
    seconds=$2
    shift 2
fi
targets=("$@")
((${#targets[@]})) || targets=(reply stored_form format)

echo "=== fuzz: configure and build"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j 2 --target "${targets[@]/#/fuzz_}"

failed=()
for target in "${targets[@]}"; do
    binary=build/fuzz/fuzz/fuzz_${target}
    corpus=build/fuzz/corpus/${target}
    artifacts=build/fuzz/artifacts/${target}
    mkdir -p "$corpus" "$artifacts"

    regressions=(fuzz/regressions/"${target}"/*)
    if [[ -e ${regressions[0]} ]]; then
        echo "=== ${target}: ${#regressions[@]} reproducers"
        if ! "$binary" "${regressions[@]}" >"$artifacts/regressions.log" 2>&1; then
            echo "fuzz: ${target}: a reproducer fails (see $artifacts/regressions.log)" >&2
            failed+=("$target")
            continue
        fi
    fi

    dictionary=()
    [[ -f fuzz/${target}.dict ]] && dictionary=(-dict="fuzz/${target}.dict")
    echo "=== ${target}: fuzzing for ${seconds} s"
    if ! "$binary" "${dictionary[@]}" -max_total_time="$seconds" -rss_limit_mb=1024 -timeout=10 \
        -artifact_prefix="$artifacts/" -print_final_stats=1 \
        "$corpus" "fuzz/corpus/${target}" >"$artifacts/fuzz.log" 2>&1; then
        tail -n 40 "$artifacts/fuzz.log" >&2
        echo "fuzz: ${target}: failed; the input is in $artifacts/" >&2
        failed+=("$target")
        continue
    fi
    grep -E '^stat::number_of_executed_units|^Done' "$artifacts/fuzz.log" || true
done

if ((${#failed[@]})); then
    echo "fuzz: failed: ${failed[*]}" >&2
    exit 1
fi
echo "fuzz: all targets ran clean"
