#!/usr/bin/env bash
# Installs everything KIVO needs to build, test and run on Debian 12, or only the Debian
# packages named as arguments (the Windows scripts name theirs).
# Idempotent: packages already present are left as they are.
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config ccache
    googletest libgtest-dev
    qt6-base-dev qt6-base-dev-tools libgl-dev
    libudev-dev umockdev libumockdev-dev gir1.2-umockdev-1.0
    libsystemd-dev modemmanager dbus-daemon
    fonts-wine fonts-dejavu-core fonts-liberation
    socat xvfb xauth ser2net
    clang-format clang-tidy shellcheck bash-completion
    clang libclang-rt-14-dev dpkg-dev
    debhelper fakeroot lintian debootstrap appstream doxygen
)

(($#)) && packages=("$@")

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if ((${#missing[@]})); then
    if [[ $(id -u) -ne 0 ]]; then
        echo "install-deps: missing packages: ${missing[*]}" >&2
        echo "install-deps: run as root (or: sudo $0)" >&2
        exit 1
    fi
    echo "install-deps: installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
