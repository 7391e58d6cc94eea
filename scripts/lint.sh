#!/usr/bin/env bash
# Static analysis: clang-tidy over the C++ sources of the debug build (with the headers they
# include, as .clang-tidy selects), on every core, one progress line per file; and shellcheck
# over every shell script.
#   scripts/lint.sh [--changed] [BUILD_DIR]     (default build/debug)
# --changed analyses only the sources changed since main (committed or not), and those that
# include a header changed since then directly. Sources found clean by an earlier run, and
# unchanged since with all they include, are skipped (scripts/tidy-cache.py); each file is
# noted as clean when clang-tidy finds nothing in it, whatever it finds in the others.
set -euo pipefail
cd "$(dirname "$0")/.."

changed=false
if [[ ${1:-} == --changed ]]; then
    changed=true
    shift
fi
build=${1:-build/debug}
if [[ ! -f $build/compile_commands.json ]]; then
    cmake --preset debug >/dev/null
    build=build/debug
fi
# Generated sources (Qt's autogen) must exist before their includers are analysed.
cmake --build "$build" -j "$(nproc)" >/dev/null

echo "=== lint: shellcheck"
mapfile -t scripts < <(git ls-files '*.sh' .ci/run)
shellcheck --external-sources "${scripts[@]}"

# Our own sources in the compile database: not those that the build generates.
root=$(pwd)
mapfile -t sources < <(python3 -c '
import json, re, sys
own = re.compile(re.escape(sys.argv[2]) + "/(runtime|platform|serial|ui|app|tools|examples|tests|bench|fuzz)/")
files = {e["file"] for e in json.load(open(sys.argv[1] + "/compile_commands.json"))}
print("\n".join(sorted(f for f in files if own.match(f))))' "$build" "$root")

if $changed; then
    base=$(git merge-base HEAD main 2>/dev/null || git rev-parse HEAD)
    mapfile -t touched < <({ git diff --name-only "$base"; git ls-files --others --exclude-standard; } |
        sort -u)
    wanted=()
    for file in "${touched[@]}"; do
        case $file in
        *.cpp) wanted+=("$root/$file") ;;
        *.h) mapfile -t -O "${#wanted[@]}" wanted < <(grep -rlF --include='*.cpp' "\"$file\"" \
            runtime platform serial ui app tools examples tests bench fuzz | sed "s|^|$root/|") ;;
        esac
    done
    mapfile -t sources < <(comm -12 <(printf '%s\n' "${sources[@]}") \
        <(printf '%s\n' "${wanted[@]}" | sort -u))
fi

# Files found clean before, with the same headers, flags, checks and clang-tidy, are clean.
known=${#sources[@]}
keys=$build/clang-tidy.keys
printf '%s\n' "${sources[@]}" | scripts/tidy-cache.py pending "$build" "$root" "$keys" >"$build/clang-tidy.pending"
mapfile -t sources <"$build/clang-tidy.pending"
total=${#sources[@]}
echo "=== lint: clang-tidy, $total files on $(nproc) cores ($((known - total)) unchanged since found clean)"
if ((total == 0)); then
    echo "lint: clean"
    exit 0
fi
pattern="^($(printf '%s\n' "${sources[@]}" | sed 's/[][\.*^$+?(){}|]/\\&/g' | paste -sd '|'))$"
status=0
# Unbuffered, so that each file is told as it is done.
PYTHONUNBUFFERED=1 run-clang-tidy -p "$build" -j "$(nproc)" "$pattern" 2>&1 | tee "$build/clang-tidy.log" |
    sed -u 's/\x1b\[[0-9;]*m//g' |
    awk -v total="$total" -v root="$root/" '
        /^clang-tidy/ { n++; file = $NF; sub(root, "", file); printf "lint: [%d/%d] %s\n", n, total, file; fflush() }' ||
    status=$?
# Each file found clean is noted as such, whatever the others were found to be.
scripts/tidy-cache.py record "$keys" "$build/clang-tidy.log"
if ((status != 0)) || grep -qE '(warning|error):' <(sed 's/\x1b\[[0-9;]*m//g' "$build/clang-tidy.log"); then
    sed 's/\x1b\[[0-9;]*m//g' "$build/clang-tidy.log" | grep -E '(warning|error):' | sort -u >&2
    echo "lint: clang-tidy found the problems above (full log: $build/clang-tidy.log)" >&2
    exit 1
fi
echo "lint: clean"
