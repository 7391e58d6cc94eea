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
    "lib*/cmake/Kivo/KivoTargets.cmake" "lib*/pkgconfig/kivo.pc"
    include/kivo/serial/VaComm.h include/kivo/runtime/Thread.h
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

echo "--- the public headers keep the platform's declarations to themselves"
# No platform header is installed, and no installed header names a Win32 type or macro.
[[ ! -e $prefix/include/kivo/platform ]] || fail "platform headers were installed"
if grep -rnwE 'HANDLE|DWORD|DCB|OVERLAPPED|COMSTAT|TRUE|FALSE|Win32Api|Win32Posix' \
    "$prefix/include/kivo"; then
    fail "an installed header names the platform's declarations"
fi
# A program with a terminal library's macros builds with the component in either order.
for first in 0 1; do
    "$cxx" -std=c++20 -Wall -Wextra -Werror -DKIVO_COMPONENT_FIRST=$first \
        -I"$prefix/include/kivo" -c "$source/tests/package/macro-consumer.cpp" \
        -o "$scratch/macro-consumer-$first.o" >"$scratch/macro-consumer-$first.log" 2>&1 ||
        fail "the component's headers collide with common macros (component first: $first):" \
            "$(cat "$scratch/macro-consumer-$first.log")"
done

echo "--- configure and build the example against the installed package"
"$cmake" -S "$source/examples/serial-monitor" -B "$scratch/example" -G "$generator" \
    -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_PREFIX_PATH="$prefix" >"$scratch/configure.log" ||
    fail "configuring the example failed: $(cat "$scratch/configure.log")"
"$cmake" --build "$scratch/example" -j 2 >"$scratch/build.log" ||
    fail "building the example failed: $(cat "$scratch/build.log")"

echo "--- build the example with pkg-config instead"
pc_dir=$(dirname "$(compgen -G "$prefix/lib*/pkgconfig/kivo.pc" | head -n1)")
read -r -a pc_flags < <(PKG_CONFIG_PATH=$pc_dir pkg-config --cflags --libs kivo) ||
    fail "pkg-config does not know the installed kivo.pc"
"$cxx" -std=c++20 "$source/examples/serial-monitor/main.cpp" "${pc_flags[@]}" \
    -o "$scratch/serial-monitor-pc" >"$scratch/pkg-config-build.log" 2>&1 ||
    fail "building the example with pkg-config failed: $(cat "$scratch/pkg-config-build.log")"

echo "--- run the example against the installed simulated phone"
exec {phone}< <(exec "$prefix/bin/kivo-phonesim")
phone_pid=$!
trap 'kill "$phone_pid" 2>/dev/null || true' EXIT
read -r -t 10 -u "$phone" device || fail "the simulated phone did not start"
# The path on the command line is data: a '%' in it is no placeholder.
ln -s "$device" "$scratch/phone%d-50%"
"$scratch/example/serial-monitor" --send AT+CGMI --until $'\r\nOK\r\n' --seconds 10 \
    "$scratch/phone%d-50%" \
    >"$scratch/monitor.out" || fail "the example did not see OK: $(cat "$scratch/monitor.out")"
grep -q "Kestrel Mobile" "$scratch/monitor.out" ||
    fail "the example printed: $(cat "$scratch/monitor.out")"
echo "--- the example read: $(tr -d '\r' <"$scratch/monitor.out" | tr '\n' ' ')"
