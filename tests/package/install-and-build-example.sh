#!/usr/bin/env bash
# Installs a build into a scratch prefix, checks what was installed, builds the example
# project against the installed package, and lets the example ask the installed simulated
# phone for its manufacturer.
#   install-and-build-example.sh CMAKE GENERATOR CXX BUILD_DIR SOURCE_DIR SCRATCH GUI(ON|OFF)
set -euo pipefail
cmake=$1 generator=$2 cxx=$3 build=$4 source=$5 scratch=$6 gui=$7

fail() {
    echo "package test: $*" >&2
    exit 1
}

rm -rf "$scratch"
mkdir -p "$scratch"
prefix=$scratch/prefix

echo "--- install into $prefix"
"$cmake" --install "$build" --prefix "$prefix" >"$scratch/install.log" ||
    fail "cmake --install failed: $(cat "$scratch/install.log")"

expected=(
    bin/kivo-read bin/kivo-phonesim
    "lib*/libkivo_serial.a" "lib*/libkivo_runtime.a" "lib*/libkivo_platform.a"
    "lib*/cmake/Kivo/KivoConfig.cmake" "lib*/cmake/Kivo/KivoConfigVersion.cmake"
    include/kivo/serial/VaComm.h include/kivo/runtime/Thread.h
    include/kivo/platform/Win32Api.h include/kivo/platform/posix/Win32Posix.h
)
if [[ $gui == ON ]]; then
    expected+=(bin/kivo share/applications/kivo.desktop
        share/icons/hicolor/scalable/apps/kivo.svg)
fi
for file in "${expected[@]}"; do
    compgen -G "$prefix/$file" >/dev/null || fail "not installed: $file"
done
# An installed package must not point back into the build or the sources.
if grep -rqF -e "$source" -e "$build" "$prefix"/lib*/cmake/Kivo; then
    fail "the package configuration names the source or build tree"
fi

echo "--- configure and build the example against the installed package"
"$cmake" -S "$source/examples/serial-monitor" -B "$scratch/example" -G "$generator" \
    -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_PREFIX_PATH="$prefix" >"$scratch/configure.log" ||
    fail "configuring the example failed: $(cat "$scratch/configure.log")"
"$cmake" --build "$scratch/example" -j 2 >"$scratch/build.log" ||
    fail "building the example failed: $(cat "$scratch/build.log")"

echo "--- run the example against the installed simulated phone"
exec {phone}< <(exec "$prefix/bin/kivo-phonesim")
phone_pid=$!
trap 'kill "$phone_pid" 2>/dev/null || true' EXIT
read -r -t 10 -u "$phone" device || fail "the simulated phone did not start"
"$scratch/example/serial-monitor" --send AT+CGMI --until $'\r\nOK\r\n' --seconds 10 "$device" \
    >"$scratch/monitor.out" || fail "the example did not see OK: $(cat "$scratch/monitor.out")"
grep -q "Kestrel Mobile" "$scratch/monitor.out" ||
    fail "the example printed: $(cat "$scratch/monitor.out")"
echo "--- the example read: $(tr -d '\r' <"$scratch/monitor.out" | tr '\n' ' ')"
