# shellcheck shell=bash
# Sourced by the Windows scripts: the Wine prefix, COM ports backed by pseudo-terminals,
# and an orderly stop. Expects to run from the repository root.
#
#   wine_prepare_prefix         create (or reuse) the prefix in build/windows-wine
#   wine_start_server           start a persistent wineserver so programs start fast
#   com_pair DEVICE PHONE       link two new ptys with socat and map them to COM ports
#   com_map N                   map COMn to its device (kivo_com_paths: the test ports)
#   build_phonesim              build the simulated phone for this machine (build/windows-host)
#   start_phone [OPTIONS]       start it and map it to COM4 (stop_phone ends it)
#   wine_stop_all               stop wineserver, then the pty owners (trap this on EXIT)

export WINEPREFIX="$PWD/build/windows-wine"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64
unset DISPLAY # headless unless a caller sets it again (the screenshot does)

KIVO_WIN_RUN="$PWD/build/windows-run"
export KIVO_TEST_COM_RUN="$KIVO_WIN_RUN" # where the tests find the pairs' unplug FIFOs
mkdir -p "$KIVO_WIN_RUN"
kivo_owned_pids=()

# Every COM port the Windows tests and scripts use, and the pty each one leads to: the test
# pairs (the tests find them in KIVO_TEST_COM_PAIRS), and the simulated phone on COM4 (the
# window's stored port) and on COM12 and \\.\COM200 (ports above nine). Every other number
# leads to no device (see wine_write_ports).
export KIVO_TEST_COM_PAIRS=${KIVO_TEST_COM_PAIRS:-21:22,23:24,25:26,27:28}
kivo_phone_ports=(4 12 200)
kivo_no_device="$KIVO_WIN_RUN/no-device"
declare -A kivo_com_paths=()
for kivo_pair in "${kivo_phone_ports[@]}"; do
    kivo_com_paths[$kivo_pair]="$KIVO_WIN_RUN/phonesim"
done
IFS=, read -ra kivo_com_pairs <<<"$KIVO_TEST_COM_PAIRS"
for kivo_pair in "${kivo_com_pairs[@]}"; do
    kivo_com_paths[${kivo_pair%%:*}]="$KIVO_WIN_RUN/pty-com${kivo_pair%%:*}"
    kivo_com_paths[${kivo_pair##*:}]="$KIVO_WIN_RUN/pty-com${kivo_pair##*:}"
done
unset kivo_pair

wine_prepare_prefix() {
    if [[ ! -f $WINEPREFIX/system.reg ]]; then
        echo "wine: preparing the prefix in build/windows-wine"
        timeout 300 wineboot -i >"$KIVO_WIN_RUN/wineboot.log" 2>&1
        timeout 120 wineserver -w
    fi
    # No debugger for a program that crashes: it ends at once with the exception's code, so
    # a test that crashes fails there and then. (Wine's debugger would otherwise open its
    # crash dialog, which nobody can answer on the null graphics driver, and the test would
    # hang until its time-out; told not to show the dialog, it ends the program with code 0,
    # so a crash after a passed test would pass.)
    timeout 60 wine reg add 'HKCU\Software\Wine\DllOverrides' /v winedbg.exe /d '' /f \
        >/dev/null 2>&1
    wine_write_ports
    # The window's font. Debian's Wine ships Tahoma (fonts-wine) without installing it
    # into a prefix, where it would otherwise fall back to another face.
    local font
    # No X display: windows work on Wine's null graphics driver. Set before each use, since
    # the screenshot switches the same prefix to X11 for its run.
    wine_graphics_driver "${DISPLAY:+x11}"
    for font in /usr/share/wine/fonts/tahoma.ttf /usr/share/wine/fonts/tahomabd.ttf; do
        [[ -f $font ]] && cp -f "$font" "$WINEPREFIX/drive_c/windows/Fonts/"
    done
    return 0
}

# Selects Wine's graphics driver: x11, or null (no screen) when empty. The prefix's desktop
# process keeps the driver it started with, so Wine is stopped after the change.
wine_graphics_driver() {
    timeout 60 wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d "${1:-null}" /f \
        >/dev/null 2>&1
    timeout 60 wineserver -k >/dev/null 2>&1 || true
    timeout 60 wineserver -w >/dev/null 2>&1 || true
}

# The machine's serial devices stay out of the tests' reach. On each start Wine maps
# /dev/ttyS*, /dev/ttyUSB* and /dev/ttyACM* onto the lowest COM numbers that have no entry
# under HKLM\Software\Wine\Ports, replacing a dosdevices link a test made there; and a
# server's or VM's console is often /dev/ttyS0, so a test port could be that console, or a
# real UART, and the test would write AT commands to it. So every number Wine takes (1 to 255)
# gets an entry: a test port's names the pty its link names, every other names the no-device
# socket. Not an empty entry: Wine then removes the link, and a COM port without a link is
# /dev/ttyS<n-1> to Wine (COM1 opened the console here). A socket file exists, so Wine looks
# no further, and opening it fails ("no such device"). Wine then puts the machine's devices on
# COM256 and up, beyond every number used here. The services read the entries when they
# start: the wineserver restart that follows in wine_prepare_prefix applies them. The key is
# written whole each time: Wine 8 stopped reading it at a stale value named COM1000, and left
# the numbers after that one to the machine's devices.
wine_write_ports() {
    local reg="$KIVO_WIN_RUN/wine-ports.reg" n path
    make_no_device
    {
        printf 'REGEDIT4\n\n[-HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\n\n'
        printf '[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\n'
        for ((n = 1; n <= 255; n++)); do
            path=${kivo_com_paths[$n]:-$kivo_no_device}
            path=${path//\\/\\\\}
            printf '"COM%d"="%s"\n' "$n" "${path//\"/\\\"}"
        done
    } >"$reg"
    timeout 60 wine regedit /S "${reg#"$PWD/"}" >/dev/null 2>&1
}

# Creates the no-device socket: socat binds it, and leaves it behind when it ends.
make_no_device() {
    [[ -S $kivo_no_device ]] && return 0
    rm -f "$kivo_no_device"
    socat "UNIX-LISTEN:$kivo_no_device,unlink-close=0" /dev/null </dev/null >/dev/null 2>&1 &
    local pid=$!
    wait_for_path "$kivo_no_device"
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    [[ -S $kivo_no_device ]]
}

wine_start_server() {
    timeout 60 wineserver -p >/dev/null 2>&1 || true
    # Start the prefix's services now, so the first test program does not pay for them.
    timeout 120 wine cmd /c ver >/dev/null 2>&1
    wine_check_ports
}

# Fails when a COM port below 256 leads anywhere but to this run's ptys or its no-device
# socket (the services have mapped the machine's devices by now).
wine_check_ports() {
    local link n target
    for link in "$WINEPREFIX"/dosdevices/com*; do
        n=${link##*/com}
        if [[ ! -L $link || ! $n =~ ^[0-9]+$ ]] || ((n > 255)); then
            continue
        fi
        target=$(readlink "$link")
        if [[ $target != "$KIVO_WIN_RUN"/* ]]; then
            echo "wine-env: COM$n leads to $target, not to a test port: a test could write" \
                "to it (check HKLM\Software\Wine\Ports in $WINEPREFIX)" >&2
            return 1
        fi
    done
}

# Waits (bounded) until PATH exists.
wait_for_path() {
    local path=$1 i
    for ((i = 0; i < 100; i++)); do
        [[ -e $path ]] && return 0
        sleep 0.1
    done
    echo "wine-env: $path did not appear" >&2
    return 1
}

# Links COMn to the pty its Ports entry names. A number without one is refused: Wine would
# replace or remove the link when it next starts.
com_map() {
    local n=$1
    if [[ -z ${kivo_com_paths[$n]:-} ]]; then
        echo "wine-env: COM$n is no test port: add it to kivo_com_paths" >&2
        return 1
    fi
    ln -sfn "${kivo_com_paths[$n]}" "$WINEPREFIX/dosdevices/com$n"
}

# Two ptys linked by socat, mapped to COM<device> and COM<phone>. socat keeps both master
# sides open, so the pair outlives every test that opens and closes its ports. (Nothing here
# holds a terminal side open: a shell without a controlling terminal would acquire it, and
# the pair's end would hang that shell up.) A line written to the FIFO unplug-com<device>
# unplugs the pair as a pulled USB cable would: the running socat ends, so the device side
# hangs up; a fresh link, started beforehand, takes over both names first, so the next test
# finds the pair plugged in again.
com_pair() {
    local device=$1 phone=$2
    local a="$KIVO_WIN_RUN/pty-com$device" b="$KIVO_WIN_RUN/pty-com$phone"
    local unplug="$KIVO_WIN_RUN/unplug-com$device"
    rm -f "$a" "$b" "$unplug"
    mkfifo "$unplug"
    com_pair_link "$a" "$b" "$unplug" </dev/null >/dev/null 2>&1 &
    kivo_owned_pids+=($!)
    wait_for_path "$a" && wait_for_path "$b"
    com_map "$device"
    com_map "$phone"
}

# Starts socat on two new ptys linked at A.next and B.next; prints its process id.
com_pair_start() {
    rm -f "$1.next" "$2.next"
    socat "pty,raw,echo=0,link=$1.next" "pty,raw,echo=0,link=$2.next" </dev/null >/dev/null 2>&1 &
    echo $!
    wait_for_path "$1.next" && wait_for_path "$2.next"
}

# Runs the pair A-B until killed, unplugging it at each line on the FIFO UNPLUG.
com_pair_link() {
    local a=$1 b=$2 unplug=$3 current="" next=""
    set +e # a failed step must not end the pair's supervision
    trap 'kill $current $next 2>/dev/null; exit 0' TERM
    current=$(com_pair_start "$a" "$b")
    mv -f "$a.next" "$a" && mv -f "$b.next" "$b"
    next=$(com_pair_start "$a" "$b")
    exec 3<>"$unplug" # read and write: no end of file when a writer closes
    while read -r _ <&3; do
        mv -f "$a.next" "$a" && mv -f "$b.next" "$b"
        kill "$current" 2>/dev/null || true
        current=$next
        next=$(com_pair_start "$a" "$b")
    done
}

build_phonesim() {
    cmake -S . -B build/windows-host -G Ninja -DCMAKE_BUILD_TYPE=Release -DKIVO_BUILD_GUI=OFF \
        -DKIVO_BUILD_TESTS=OFF -DKIVO_BUILD_BENCH=OFF >/dev/null
    cmake --build build/windows-host --target kivo-phonesim -j "${KIVO_JOBS:-2}" >/dev/null
}

# shellcheck disable=SC2120 # its arguments are the phone's options, often none
start_phone() {
    local link="$KIVO_WIN_RUN/phonesim"
    rm -f "$link"
    build/windows-host/tools/kivo-phonesim --link "$link" "$@" </dev/null >/dev/null 2>&1 &
    kivo_owned_pids+=($!)
    wait_for_path "$link"
    com_map 4
}

# Ends the phone, and leads its ports to no device: a dangling link would let Wine open
# /dev/ttyS<n-1> in its place.
stop_phone() {
    kill "${kivo_owned_pids[-1]}" 2>/dev/null || true
    wait "${kivo_owned_pids[-1]}" 2>/dev/null || true
    unset 'kivo_owned_pids[-1]'
    local n
    for n in "${kivo_phone_ports[@]}"; do
        ln -sfn "$kivo_no_device" "$WINEPREFIX/dosdevices/com$n"
    done
}

# Wine first: its processes hold the ptys, and must be gone before their owners.
wine_stop_all() {
    timeout 60 wineserver -k >/dev/null 2>&1 || true
    timeout 60 wineserver -w >/dev/null 2>&1 || true
    local pid
    for pid in "${kivo_owned_pids[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    for pid in "${kivo_owned_pids[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
    kivo_owned_pids=()
}
