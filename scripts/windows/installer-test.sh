#!/usr/bin/env bash
# The Windows installer under Wine: installs build/windows-release/kivo-<version>-setup.exe
# silently with the folder on the PATH (/S /PATH), checks the programs, the Start-menu entry,
# the uninstall entry and the PATH, lets the installed kivo-read.exe, found through the PATH,
# read the simulated phone through COM4, then uninstalls silently and checks that all of it
# is gone and the PATH is as it was. Run by test.sh after package.sh.
set -euo pipefail
cd "$(dirname "$0")/../.."

source scripts/windows/wine-env.sh
trap wine_stop_all EXIT

shim="$PWD/build/windows-deps/libkivo-modemlines.so"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/windows-release/CMakeCache.txt)
setup=build/windows-release/kivo-$version-setup.exe
key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\KIVO'
environment='HKLM\System\CurrentControlSet\Control\Session Manager\Environment'

fail() {
    echo "installer-test: FAILED: $*" >&2
    exit 1
}
[[ -f $setup ]] || fail "$setup missing (scripts/windows/package.sh makes it)"

if [[ ! -f $shim ]]; then
    mkdir -p "${shim%/*}"
    g++ -std=c++20 -O2 -shared -fPIC -o "$shim" bench/preload/ModemLinesPreload.cpp -ldl
fi
build_phonesim
wine_prepare_prefix
wine_start_server

folder="$WINEPREFIX/drive_c/Program Files/KIVO"
link="$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/KIVO.lnk"
# The uninstall command registered for KIVO; fails when there is no entry.
uninstall_entry() {
    local entry
    entry=$(timeout 60 wine reg query "$key" /v UninstallString 2>/dev/null) || return 1
    echo "${entry//$'\r'/}"
}
# The system's PATH, as the registry holds it.
system_path() {
    local entry
    entry=$(timeout 60 wine reg query "$environment" /v Path) || fail "cannot read the PATH"
    entry=${entry//$'\r'/}
    echo "${entry#*REG_EXPAND_SZ    }"
}
path_before=$(system_path)

echo "installer-test: installing silently, with the folder on the PATH"
timeout 300 wine "$setup" /S /PATH || fail "the installer ended with $?"
for file in kivo.exe kivo-read.exe uninstall.exe README.txt LICENSE.txt; do
    [[ -f $folder/$file ]] || fail "not installed: Program Files\\KIVO\\$file"
done
[[ -f $link ]] || fail "no Start-menu entry"
[[ $(uninstall_entry) == *'C:\Program Files\KIVO\uninstall.exe'* ]] ||
    fail "no uninstall entry in the registry"
[[ $(system_path) == "$path_before;C:\Program Files\KIVO" ]] ||
    fail "the folder is not on the PATH: $(system_path)"

echo "installer-test: the installed kivo-read.exe, found through the PATH, reads the simulated phone"
start_phone
set +e
out=$(LD_PRELOAD="$shim" timeout 60 wine cmd /c kivo-read --port COM4 --json \
    2>"$KIVO_WIN_RUN/installed-read.err")
status=$?
set -e
out=${out//$'\r'/}
stop_phone
expected='{"version": 1, "CGMI": "Kestrel Mobile", "CGMM": "KM-310", "CGMR": "KM310_R2.14", "GMI": "Kestrel Mobile", "GMM": "KM-310 GSM", "GMR": "R2.14 (modem 4.02)", "CGSN": "357421098765438", "imei_valid": true}'
[[ $status -eq 0 && $out == "$expected" ]] ||
    fail "kivo-read.exe: exit $status, printed: $out $(cat "$KIVO_WIN_RUN/installed-read.err")"

echo "installer-test: uninstalling silently"
timeout 300 wine 'C:\Program Files\KIVO\uninstall.exe' /S || fail "the uninstaller ended with $?"
# The uninstaller hands over to a copy of itself, so that it can delete its own file, and
# returns at once: wait (bounded) for the copy to finish.
for ((i = 0; i < 600; i++)); do
    [[ -e $folder ]] || break
    sleep 0.1
done
[[ ! -e $folder ]] || fail "Program Files\\KIVO is still there: $(ls "$folder")"
[[ ! -e $link ]] || fail "the Start-menu entry is still there"
! uninstall_entry >/dev/null || fail "the uninstall entry is still in the registry"
[[ $(system_path) == "$path_before" ]] || fail "the PATH is not as it was: $(system_path)"
echo "installer-test: installed, read the phone through the PATH, uninstalled"
