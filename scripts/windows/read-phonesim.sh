#!/usr/bin/env bash
# End to end on Windows' side: kivo-read.exe under Wine reads the simulated phone
# (kivo-phonesim, a Linux program on a pty) through COM4, once answering and once with an
# equipment error. Run by test.sh after the windows build; expects its environment
# (build/windows, the modem-line shim, a Wine prefix).
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

# Runs kivo-read.exe; prints its standard output, keeps its exit code in $status.
read_phone() {
    set +e
    out=$(LD_PRELOAD="$shim" timeout 60 wine "$reader" --port COM4 "$@" 2>"$KIVO_WIN_RUN/read.err")
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

start_phone
read_phone --json
[[ $status -eq 0 ]] || fail "exit code $status, expected 0"
expected='{"version": 1, "CGMI": "Kestrel Mobile", "CGMM": "KM-310", "CGMR": "KM310_R2.14", "GMI": "Kestrel Mobile", "GMM": "KM-310 GSM", "GMR": "R2.14 (modem 4.02)", "CGSN": "357421098765438", "imei_valid": true}'
[[ $out == "$expected" ]] || fail "unexpected fields"
echo "read-phonesim: all seven fields read through COM4"
stop_phone

start_phone --cme +CGMR=10
read_phone
[[ $status -eq 1 ]] || fail "exit code $status, expected 1 for an equipment error"
grep -qF "+CME ERROR 10: SIM not inserted." "$KIVO_WIN_RUN/read.err" || fail "no equipment error message"
[[ $out == *"Phone Model: KM-310"* ]] || fail "the fields read before the error are missing"
echo "read-phonesim: the equipment error ends the read with its message"
stop_phone

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
