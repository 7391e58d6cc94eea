#!/usr/bin/env bash
# The Debian packages on a clean Debian 12: builds them from the working tree
# (dpkg-buildpackage -us -uc -b, tests skipped), checks them with lintian, then installs the
# three .debs with apt into a fresh debootstrap chroot and, inside it, checks that
#   - kivo-read --help runs and man kivo-read works (when the package has the page),
#   - every example kivo-dev ships builds against it with cmake, and port-watch lists a
#     mocked USB stick (umockdev),
#   - kivo-dev carries the HTML reference of its headers,
#   - kivo-read reads all seven fields from kivo-phonesim,
#   - the window starts under Xvfb (a screenshot goes to build/debian-chroot/kivo-window.png).
# It also checks the installed AppStream file with appstreamcli.
# Needs root (debootstrap, chroot, mounts). The base system is made once and kept as a
# tarball in build/debian-chroot/, with the chroot's apt cache, so later runs are fast.
#   tests/package/debian-chroot.sh [--no-build]    (--no-build: reuse the built packages)
# The mirror is the one this machine's apt uses; KIVO_DEBIAN_MIRROR overrides it.
set -euo pipefail
cd "$(dirname "$0")/../.."
source=$PWD
started=$SECONDS

work=$source/build/debian-chroot
debs=$source/build/debian-packages
root=$work/root
suite=bookworm
mkdir -p "$work"

fail() {
    echo "debian-chroot: FAILED: $*" >&2
    exit 1
}
step() { echo "=== package: $* ($((SECONDS - started)) s)"; }

[[ $(id -u) -eq 0 ]] || fail "needs root (debootstrap, chroot and mounts)"
scripts/install-deps.sh debootstrap debhelper dpkg-dev fakeroot lintian appstream cmake \
    ninja-build qt6-base-dev libgl-dev doxygen

# The first Debian mirror apt knows for the suite: one-line (sources.list) and deb822
# (*.sources) entries.
debian_mirror() {
    if [[ -n ${KIVO_DEBIAN_MIRROR:-} ]]; then
        echo "$KIVO_DEBIAN_MIRROR"
        return
    fi
    local file
    for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [[ -f $file ]] || continue
        awk -v suite="$suite" '$1 == "deb" {
                for (i = 2; i <= NF; i++) if ($i !~ /^\[/ && $i !~ /\]$/) break
                if ($(i + 1) == suite) { print $i; exit }
            }' "$file"
    done
    for file in /etc/apt/sources.list.d/*.sources; do
        [[ -f $file ]] || continue
        awk -v suite="$suite" 'BEGIN { RS = ""; FS = "\n" } {
                uris = ""; ok = 0
                for (i = 1; i <= NF; i++) {
                    if ($i ~ /^URIs:/) { uris = $i; sub(/^URIs:[ \t]*/, "", uris) }
                    if ($i ~ /^Suites:/ && (" " $i " ") ~ (" " suite " ")) ok = 1
                }
                if (ok && uris != "") { split(uris, u, " "); print u[1]; exit }
            }' "$file"
    done
}
mirror=$(debian_mirror | head -n1)
[[ -n $mirror ]] || fail "no Debian $suite mirror in apt's sources (set KIVO_DEBIAN_MIRROR)"

# ---- Build and check the packages ----
if [[ ${1:-} != --no-build ]]; then
    step "build the Debian packages"
    # A copy of the working tree (tracked and new files, not build output): dpkg-buildpackage
    # writes its results next to the source folder.
    version=$(dpkg-parsechangelog -l debian/changelog -S Version)
    tree=$debs/kivo-$version
    rm -rf "$debs"
    mkdir -p "$tree"
    git ls-files -z --cached --others --exclude-standard |
        xargs -0 -I{} find {} -maxdepth 0 -type f -print0 2>/dev/null |
        tar -c --null -T - | tar -x -C "$tree"
    # The source package too, so that lintian checks it with the rest.
    (cd "$debs" && dpkg-source -b "${tree##*/}" >"$debs/source.log" 2>&1) ||
        fail "dpkg-source: $(cat "$debs/source.log")"
    # The compiler cache, where there is one, makes a rebuild of unchanged code quick.
    if command -v ccache >/dev/null; then
        export CMAKE_CXX_COMPILER_LAUNCHER=ccache CCACHE_BASEDIR=$tree
    fi
    (cd "$tree" && DEB_BUILD_OPTIONS="nocheck parallel=$(nproc) ${DEB_BUILD_OPTIONS:-}" \
        dpkg-buildpackage -us -uc -b >"$debs/build.log" 2>&1) ||
        fail "dpkg-buildpackage: $(tail -n 40 "$debs/build.log")"

    step "lintian"
    changes=$(compgen -G "$debs/kivo_${version}_*.changes" | head -n1)
    lintian -EviIL +pedantic --fail-on error,warning "$debs/kivo_$version.dsc" "$changes" | tee "$debs/lintian.log" ||
        fail "lintian reports errors or warnings"
    # The project's addresses in it are not online yet: the file is checked offline.
    appstreamcli validate --no-net "$tree"/debian/kivo/usr/share/metainfo/*.metainfo.xml ||
        fail "appstreamcli rejects the AppStream file"
fi
packages=()
for name in kivo kivo-dev kivo-phonesim; do
    deb=$(compgen -G "$debs/${name}_*.deb" | head -n1) || fail "no $name package in $debs"
    packages+=("$deb")
done

# ---- A clean Debian 12 ----
base=$work/$suite-base.tar
if [[ ! -f $base ]]; then
    step "debootstrap $suite from $mirror (once)"
    rm -rf "$work/bootstrap"
    debootstrap --variant=minbase "$suite" "$work/bootstrap" "$mirror" >"$work/debootstrap.log" 2>&1 ||
        fail "debootstrap: $(tail -n 20 "$work/debootstrap.log")"
    tar -C "$work/bootstrap" -cf "$base.new" .
    mv "$base.new" "$base"
    rm -rf "$work/bootstrap"
fi

mounts=()
cleanup() {
    local i
    for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do
        umount -l "${mounts[i]}" 2>/dev/null || true
    done
}
trap cleanup EXIT
bind() {
    if [[ -d $1 ]]; then mkdir -p "$2"; elif [[ ! -e $2 ]]; then touch "$2"; fi
    mount --bind "$1" "$2"
    mounts+=("$2")
}

step "fresh chroot"
rm -rf "$root"
mkdir -p "$root"
tar -C "$root" -xf "$base"
mkdir -p "$work/apt-archives/partial" "$work/apt-lists/partial"
bind "$work/apt-archives" "$root/var/cache/apt/archives"
bind "$work/apt-lists" "$root/var/lib/apt/lists"
mount -t proc proc "$root/proc" && mounts+=("$root/proc")
# Pseudo-terminals of the chroot's own (the simulated phone makes one).
mount -t devpts -o newinstance,ptmxmode=0666,mode=0620 devpts "$root/dev/pts" &&
    mounts+=("$root/dev/pts")
bind "$root/dev/pts/ptmx" "$root/dev/ptmx"
mount -t tmpfs tmpfs "$root/tmp" && mounts+=("$root/tmp")
echo "deb $mirror $suite main" >"$root/etc/apt/sources.list"
# dpkg need not sync every file in a throw-away system.
echo force-unsafe-io >"$root/etc/dpkg/dpkg.cfg.d/kivo-unsafe-io"
cp /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true
mkdir -p "$root/debs"
cp "${packages[@]}" "$root/debs/"
inside=()
for deb in "${packages[@]}"; do inside+=("/debs/${deb##*/}"); done

in_root() { chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
    LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive "$@"; }

step "install the three packages with apt"
in_root apt-get update -qq >"$work/apt.log" 2>&1 || fail "apt-get update: $(tail "$work/apt.log")"
# As a user would: with what the packages recommend. Then what the checks use: a compiler for
# the example, man, Xvfb.
in_root apt-get install -y -q "${inside[@]}" >>"$work/apt.log" 2>&1 ||
    fail "apt-get install: $(tail -n 20 "$work/apt.log")"
in_root apt-get install -y -q --no-install-recommends cmake make g++ man-db xvfb xauth \
    x11-apps x11-utils umockdev >>"$work/apt.log" 2>&1 || fail "apt-get install: $(tail -n 20 "$work/apt.log")"

step "kivo-read --help"
in_root kivo-read --help >"$work/help.txt" 2>&1 || fail "kivo-read --help: $(cat "$work/help.txt")"
grep -q -- --port "$work/help.txt" || fail "kivo-read --help does not name --port"

if in_root test -e /usr/share/man/man1/kivo-read.1.gz; then
    step "man kivo-read"
    in_root env MANPAGER=cat MANWIDTH=80 man kivo-read >"$work/man.txt" 2>&1 ||
        fail "man kivo-read: $(cat "$work/man.txt")"
    grep -q "kivo-read" "$work/man.txt" || fail "man kivo-read shows no page"
else
    echo "(kivo has no man page for kivo-read: skipped)"
fi

step "the examples kivo-dev ships build against it"
# shellcheck disable=SC2016 # expanded by the shell inside the chroot
in_root sh -c 'set -e; cd /usr/share/doc/kivo-dev/examples
    for example in *; do
        cp -r "$example" /tmp/
        cmake -S "/tmp/$example" -B "/tmp/build-$example" >>/tmp/example.log 2>&1
        cmake --build "/tmp/build-$example" >>/tmp/example.log 2>&1
    done' || fail "examples: $(in_root cat /tmp/example.log)"
cp tests/data/umockdev/huawei-stick.umockdev "$root/tmp/"
in_root umockdev-run -d /tmp/huawei-stick.umockdev -- /tmp/build-port-watch/port-watch --list \
    >"$work/port-watch.out" 2>&1 || fail "port-watch --list: $(cat "$work/port-watch.out")"
grep -qx 'ttyUSB2  /dev/ttyUSB2  12d1:1001  HUAWEI Mobile' "$work/port-watch.out" ||
    fail "port-watch listed: $(cat "$work/port-watch.out")"
echo "port-watch listed the mocked stick: $(grep -c 12d1:1001 "$work/port-watch.out") ports"

step "kivo-dev carries the HTML reference"
in_root test -s /usr/share/doc/kivo-dev/html/index.html || fail "no /usr/share/doc/kivo-dev/html"
in_root grep -q "TVaComm" /usr/share/doc/kivo-dev/html/index.html ||
    fail "the reference's first page does not show the component"

step "kivo-read reads kivo-phonesim"
# shellcheck disable=SC2016 # expanded by the shell inside the chroot
in_root sh -c '
    set -e
    kivo-phonesim --link /tmp/phone >/dev/null &
    phone=$!
    for i in $(seq 100); do [ -e /tmp/phone ] && break; sleep 0.1; done
    status=0
    timeout 60 kivo-read --port /tmp/phone --json >/tmp/read.json 2>/tmp/read.err || status=$?
    /tmp/build-serial-monitor/serial-monitor --send AT+CGSN --until OK --seconds 10 /tmp/phone \
        >/tmp/monitor.out 2>&1 || status=$((status + 100))
    /tmp/build-phone-identity/phone-identity /tmp/phone >/tmp/identity.out 2>&1 ||
        status=$((status + 200))
    kill $phone
    exit $status' ||
    fail "kivo-read: $(in_root cat /tmp/read.json /tmp/read.err /tmp/monitor.out /tmp/identity.out)"
expected='{"version": 1, "CGMI": "Kestrel Mobile", "CGMM": "KM-310", "CGMR": "KM310_R2.14", "GMI": "Kestrel Mobile", "GMM": "KM-310 GSM", "GMR": "R2.14 (modem 4.02)", "CGSN": "357421098765438", "imei_valid": true}'
[[ $(in_root cat /tmp/read.json) == "$expected" ]] ||
    fail "kivo-read printed: $(in_root cat /tmp/read.json)"
in_root grep -q 357421098765438 /tmp/monitor.out || fail "the example did not read the phone"
in_root grep -qx "Serial number: 357421098765438" /tmp/identity.out ||
    fail "phone-identity printed: $(in_root cat /tmp/identity.out)"
echo "seven fields read; the examples read the serial number"

step "the window under Xvfb"
cat >"$root/tmp/window.sh" <<'EOF_WINDOW'
kivo-phonesim --link /tmp/phone >/dev/null &
phone=$!
kivo & window=$!
# Until the window is on the screen (bounded), then the whole screen.
status=1
for i in $(seq 300); do
    id=$(xwininfo -root -tree | awk 'tolower($0) ~ /"kivo/ { print $1; exit }')
    if [ -n "$id" ] && xwininfo -id "$id" | grep -q IsViewable; then
        xwd -root -silent >/tmp/kivo.xwd
        status=$?
        break
    fi
    sleep 0.1
done
kill $window $phone
exit $status
EOF_WINDOW
in_root env KIVO_COM4=/tmp/phone timeout 120 xvfb-run -a -s "-screen 0 480x360x24" \
    sh /tmp/window.sh >"$work/window.log" 2>&1 || fail "the window: $(cat "$work/window.log")"
if command -v convert >/dev/null; then
    convert "xwd:$root/tmp/kivo.xwd" -trim "$work/kivo-window.png" && echo "screenshot: build/debian-chroot/kivo-window.png"
fi

step "done"
