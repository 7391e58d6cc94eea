#!/usr/bin/env bash
# Builds KIVO and runs every test: a plain debug build, then AddressSanitizer with
# UndefinedBehaviorSanitizer, then ThreadSanitizer. Name presets to run fewer:
#   scripts/test.sh debug
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

presets=("$@")
((${#presets[@]})) || presets=(debug asan tsan)

jobs=$(nproc)
for preset in "${presets[@]}"; do
    echo "=== ${preset}: configure and build"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "$jobs"
    echo "=== ${preset}: test"
    ctest --preset "$preset" -j "$jobs"
done
