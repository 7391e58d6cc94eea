#!/usr/bin/env bash
# Static analysis: clang-tidy over every C++ source of the debug build (with the headers
# they include, as .clang-tidy selects), and shellcheck over every shell script.
# Fails on the first finding. Usage: scripts/lint.sh [BUILD_DIR]   (default build/debug)
set -euo pipefail
cd "$(dirname "$0")/.."

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

echo "=== lint: clang-tidy"
# Our own sources only: the files of the compile database below the source tree, not those
# that the build generates.
root=$(pwd)
run-clang-tidy -quiet -p "$build" -j "$(nproc)" \
    "^${root}/(runtime|platform|serial|ui|app|tools|examples|tests|bench|fuzz)/" \
    >"$build/clang-tidy.log" 2>&1 || {
    sed 's/\x1b\[[0-9;]*m//g' "$build/clang-tidy.log" | grep -E '(warning|error):' | sort -u >&2
    echo "lint: clang-tidy found the problems above (full log: $build/clang-tidy.log)" >&2
    exit 1
}
echo "lint: clean"
