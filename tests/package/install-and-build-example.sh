#!/usr/bin/env bash
# Installs a build into a scratch prefix, checks what was installed, builds every example
# project against the installed package, lets the serial monitor, the identity reader and the
# line terminal talk to the installed simulated phone, and lets the port watch list a mocked
# USB stick (umockdev).
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
    "lib*/libkivo_ports.a" "lib*/libkivo_serial_ports.a" include/kivo/platform/SerialPorts.h
    include/kivo/serial/SerialPortNotice.h
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
# Of the platform layer only the port list is installed, and no installed
# header names a Win32 or libudev type or macro.
platform_headers=$(cd "$prefix/include/kivo/platform" && echo *)
[[ $platform_headers == "SerialPorts.h" ]] ||
    fail "platform headers installed besides the port list: $platform_headers"
if grep -rnwE 'HANDLE|HWND|DWORD|DCB|OVERLAPPED|COMSTAT|TRUE|FALSE|Win32Api|Win32Posix|libudev|udev_\w+' \
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

examples=$(cd "$source/examples" && echo */)
for example in $examples; do
    example=${example%/}
    echo "--- configure and build the example $example against the installed package"
    "$cmake" -S "$source/examples/$example" -B "$scratch/$example" -G "$generator" \
        -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_PREFIX_PATH="$prefix" \
        >"$scratch/$example-configure.log" ||
        fail "configuring $example failed: $(cat "$scratch/$example-configure.log")"
    "$cmake" --build "$scratch/$example" -j 2 >"$scratch/$example-build.log" ||
        fail "building $example failed: $(cat "$scratch/$example-build.log")"
done

echo "--- build the examples with pkg-config instead"
pc_dir=$(dirname "$(compgen -G "$prefix/lib*/pkgconfig/kivo.pc" | head -n1)")
read -r -a pc_flags < <(PKG_CONFIG_PATH=$pc_dir pkg-config --cflags --libs kivo) ||
    fail "pkg-config does not know the installed kivo.pc"
for example in serial-monitor phone-identity port-watch line-terminal; do
    "$cxx" -std=c++20 "$source/examples/$example/main.cpp" "${pc_flags[@]}" \
        -o "$scratch/$example-pc" >"$scratch/$example-pkg-config.log" 2>&1 ||
        fail "building $example with pkg-config failed: $(cat "$scratch/$example-pkg-config.log")"
done

echo "--- list a mocked USB stick with the installed port list"
# umockdev's preload comes before a sanitized build's runtime: ASan must not insist on
# being first.
ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0" \
    umockdev-run -d "$source/tests/data/umockdev/huawei-stick.umockdev" -- \
    "$scratch/port-watch/port-watch" --list >"$scratch/port-watch.out" 2>&1 ||
    fail "port-watch --list failed: $(cat "$scratch/port-watch.out")"
grep -qx 'ttyUSB2  /dev/ttyUSB2  12d1:1001  HUAWEI Mobile' "$scratch/port-watch.out" ||
    fail "port-watch listed: $(cat "$scratch/port-watch.out")"

echo "--- run the example against the installed simulated phone"
exec {phone}< <(exec "$prefix/bin/kivo-phonesim")
phone_pid=$!
trap 'kill "$phone_pid" 2>/dev/null || true' EXIT
read -r -t 10 -u "$phone" device || fail "the simulated phone did not start"
# The path on the command line is data: a '%' in it is no placeholder.
ln -s "$device" "$scratch/phone%d-50%"
"$scratch/serial-monitor/serial-monitor" --send AT+CGMI --until $'\r\nOK\r\n' --seconds 10 \
    "$scratch/phone%d-50%" \
    >"$scratch/monitor.out" || fail "the example did not see OK: $(cat "$scratch/monitor.out")"
grep -q "Kestrel Mobile" "$scratch/monitor.out" ||
    fail "the example printed: $(cat "$scratch/monitor.out")"
echo "--- the example read: $(tr -d '\r' <"$scratch/monitor.out" | tr '\n' ' ')"

echo "--- read the phone's identity with the example built by pkg-config"
"$scratch/phone-identity-pc" "$device" >"$scratch/identity.out" 2>&1 ||
    fail "phone-identity failed: $(cat "$scratch/identity.out")"
identity=$'Manufacturer: Kestrel Mobile\nModel: KM-310\nRevision: KM310_R2.14\nSerial number: 357421098765438'
[[ $(cat "$scratch/identity.out") == "$identity" ]] ||
    fail "phone-identity printed: $(cat "$scratch/identity.out")"
echo "--- phone-identity read: $(tr '\n' ' ' <"$scratch/identity.out")"

echo "--- the line terminal: a command, then DTR, RTS, a break and the modem lines"
# Its input is a FIFO, so that the line commands follow the phone's answer.
mkfifo "$scratch/terminal-in"
"$scratch/line-terminal/line-terminal" "$device" <"$scratch/terminal-in" \
    >"$scratch/terminal.out" 2>&1 &
terminal_pid=$!
exec {terminal_in}>"$scratch/terminal-in"
echo AT+CGMI >&"$terminal_in"
for _ in $(seq 100); do
    grep -q "Kestrel Mobile" "$scratch/terminal.out" && break
    sleep 0.1
done
printf '~dtr\n~rts\n~break\n~lines\n~quit\n' >&"$terminal_in"
exec {terminal_in}>&-
wait "$terminal_pid" || fail "line-terminal failed: $(cat "$scratch/terminal.out")"
for line in "Kestrel Mobile" "[DTR dropped]" "[RTS dropped]" "[break sent]" \
    "[CTS off, DSR off, RI off, DCD off]"; do
    grep -qF "$line" "$scratch/terminal.out" ||
        fail "line-terminal did not print $line: $(cat "$scratch/terminal.out")"
done
echo "--- line-terminal: $(tr -d '\r' <"$scratch/terminal.out" | tr -s '\n' ' ')"
