#!/usr/bin/env bash
# End to end on Windows' side: kivo-read.exe under Wine reads the simulated phone
# (kivo-phonesim, a Linux program on a pty) through COM4, once answering and once with an
# equipment error; and through COM12 and \\.\COM200, ports above nine as USB modems' usually
# are, which Windows finds only in its device namespace; and opens no device on COM1. Run by
# test.sh after the windows build; expects its environment (build/windows, the modem-line
# shim, a Wine prefix).
set -euo pipefail
cd "$(dirname "$0")/../.."

source scripts/windows/wine-env.sh
trap wine_stop_all EXIT

shim="$PWD/build/windows-deps/libkivo-modemlines.so"
reader=build/windows/tools/kivo-read.exe

echo "read-phonesim: building kivo-phonesim for this machine (build/windows-host)"
build_phonesim
wine_prepare_prefix
wine_start_server

# Runs kivo-read.exe on the port PORT; keeps its standard output in $out and its exit code
# in $status.
read_phone() { # port [options...]
    set +e
    out=$(LD_PRELOAD="$shim" timeout 60 wine "$reader" --port "$@" 2>"$KIVO_WIN_RUN/read.err")
    status=$?
    out=${out//$'\r'/} # a Windows console program ends its lines with CR LF
    set -e
}

fail() {
    echo "read-phonesim: FAILED: $*" >&2
    echo "--- output:" >&2
    echo "$out" >&2
    echo "--- errors:" >&2
    cat "$KIVO_WIN_RUN/read.err" >&2
    exit 1
}

expected='{"version": 1, "CGMI": "Kestrel Mobile", "CGMM": "KM-310", "CGMR": "KM310_R2.14", "GMI": "Kestrel Mobile", "GMM": "KM-310 GSM", "GMR": "R2.14 (modem 4.02)", "CGSN": "357421098765438", "imei_valid": true}'
start_phone
read_phone COM4 --json
[[ $status -eq 0 ]] || fail "exit code $status, expected 0"
[[ $out == "$expected" ]] || fail "unexpected fields"
echo "read-phonesim: all seven fields read through COM4"

# The same phone on ports above nine, named as a person types them and as Windows lists them.
com_map 12
com_map 200
for port in COM12 '\\.\COM200'; do
    read_phone "$port" --json
    [[ $status -eq 0 ]] || fail "exit code $status through $port, expected 0"
    [[ $out == "$expected" ]] || fail "unexpected fields through $port"
    echo "read-phonesim: all seven fields read through $port"
done
stop_phone

# A COM port no test uses leads to no device, even where Wine would map the machine's console
# (/dev/ttyS0) onto it: COM1, the window's first port, does not open.
read_phone COM1
[[ $status -eq 2 ]] || fail "exit code $status through COM1, expected 2: no device"
grep -qF "Can't open specified device COM1" "$KIVO_WIN_RUN/read.err" || fail "COM1 opened a device"
echo "read-phonesim: COM1, no test port, opens no device"

start_phone --cme +CGMR=10
read_phone COM4
[[ $status -eq 1 ]] || fail "exit code $status, expected 1 for an equipment error"
grep -qF "+CME ERROR 10: SIM not inserted." "$KIVO_WIN_RUN/read.err" || fail "no equipment error message"
[[ $out == *"Phone Model: KM-310"* ]] || fail "the fields read before the error are missing"
echo "read-phonesim: the equipment error ends the read with its message"
stop_phone

# A network port: the Windows build does not open one, and says so naming it.
set +e
out=$(LD_PRELOAD="$shim" timeout 60 wine "$reader" --port rfc2217://127.0.0.1:2001 \
    2>"$KIVO_WIN_RUN/read.err")
status=$?
set -e
[[ $status -eq 2 ]] || fail "exit code $status, expected 2 for a network port"
grep -qF "Network ports are not supported on Windows (rfc2217://127.0.0.1:2001)." \
    "$KIVO_WIN_RUN/read.err" || fail "no message naming the network port"
echo "read-phonesim: a network port is refused with a message naming it"

# The example kivo-dev ships reads the same phone through the component alone.
identity=build/windows/examples/phone-identity/phone-identity.exe
if [[ -x $identity ]]; then
    start_phone
    set +e
    out=$(LD_PRELOAD="$shim" timeout 60 wine "$identity" COM4 2>"$KIVO_WIN_RUN/read.err")
    status=$?
    set -e
    out=${out//$'\r'/}
    [[ $status -eq 0 ]] || fail "phone-identity.exe: exit code $status, expected 0"
    [[ $out == *"Serial number: 357421098765438"* ]] || fail "phone-identity.exe read no IMEI"
    echo "read-phonesim: the example phone-identity.exe read the phone through COM4"
    stop_phone
fi
