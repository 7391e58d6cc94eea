#!/usr/bin/env bash
# Installs what is needed, builds KIVO and runs every test:
#   debug    the plain build's tests
#   lint     clang-tidy over the sources and shellcheck over the scripts (uses debug's build)
#   release  the optimised build's tests: the build users get (packages and the Windows zip
#            are optimised), where faults that the debug build hides show; without the
#            endurance run and the package test, which debug and package cover
#   asan     the tests under AddressSanitizer with UndefinedBehaviorSanitizer
#   tsan     the threaded parts under ThreadSanitizer (no Qt: it is not instrumented)
#   fuzz     each libFuzzer target for a bounded time (FUZZ_SECONDS, default 30)
#   windows  the mingw-w64 cross build and its tests under Wine, with COM ports on ptys
#   package  the Debian packages: built, checked by lintian, installed and used in a clean
#            Debian 12 chroot (tests/package/debian-chroot.sh)
# Name steps to run fewer:   scripts/test.sh debug tsan
set -euo pipefail
cd "$(dirname "$0")/.."

steps=("$@")
((${#steps[@]})) || steps=(debug lint release asan tsan fuzz windows package)

scripts/install-deps.sh

jobs=$(nproc)
# Every step builds the tree in a configuration of its own; the compiler cache (shared by
# every clone on this machine) makes a later run rebuild only what changed.
export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
export CCACHE_BASEDIR=$PWD CCACHE_NOHASHDIR=true
for step in "${steps[@]}"; do
    started=$SECONDS
    case "$step" in
    debug | release | asan | tsan)
        echo "=== ${step}: configure and build"
        cmake --preset "$step" >/dev/null
        cmake --build --preset "$step" -j "$jobs"
        echo "=== ${step}: test"
        skip=()
        # The endurance run and the installed example are debug's; the package step tests
        # the optimised packages themselves.
        [[ $step == release ]] && skip=(--label-exclude 'slow|package')
        ctest --preset "$step" -j "$jobs" "${skip[@]}"
        ;;
    lint)
        scripts/lint.sh build/debug
        ;;
    fuzz)
        FUZZ_SECONDS=${FUZZ_SECONDS:-30} fuzz/run.sh
        ;;
    windows)
        KIVO_JOBS=$jobs scripts/windows/test.sh
        ;;
    package)
        tests/package/debian-chroot.sh
        ;;
    *)
        echo "test.sh: unknown step '$step' (debug, lint, release, asan, tsan, fuzz, windows, package)" >&2
        exit 2
        ;;
    esac
    echo "=== ${step}: done in $((SECONDS - started)) s"
done
