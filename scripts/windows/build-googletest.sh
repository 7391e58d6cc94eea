#!/usr/bin/env bash
# Builds GoogleTest (with GoogleMock) for 64-bit Windows from Debian's source package and
# installs it where the windows preset looks for it: build/windows-deps/googletest.
# Does nothing when it is there already.
set -euo pipefail
cd "$(dirname "$0")/../.."

src=/usr/src/googletest
prefix=build/windows-deps/googletest
work=build/windows-deps/googletest-build

if [[ -f $prefix/lib/cmake/GTest/GTestConfig.cmake ]]; then
    exit 0
fi
[[ -f $src/CMakeLists.txt ]] || { echo "build-googletest: $src missing (package googletest)" >&2; exit 1; }

cmake -S "$src" -B "$work" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchains/x86_64-w64-mingw32.cmake" \
    -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$PWD/$prefix" \
    -DBUILD_SHARED_LIBS=OFF -Dgtest_force_shared_crt=OFF >/dev/null
cmake --build "$work" -j "${KIVO_JOBS:-2}"
cmake --install "$work" >/dev/null
echo "build-googletest: installed in $prefix"
