#!/usr/bin/env bash
# Installs what the Windows build and its tests under Wine need on Debian 12: the
# mingw-w64 cross compilers (the -posix ones: the default -win32 ones lack std::thread and
# std::mutex), GoogleTest's source, Wine, socat, and NSIS for the installer. With
# --screenshot also Xvfb and xdotool and ImageMagick for docs/kivo-windows.png. Packages
# already present are left as they are.
set -euo pipefail

packages=(cmake ninja-build g++ g++-mingw-w64-x86-64-posix googletest wine wine64 socat nsis)
if [[ ${1:-} == --screenshot ]]; then
    packages+=(xvfb xauth xdotool imagemagick fonts-wine)
fi

exec "$(dirname "$0")/../install-deps.sh" "${packages[@]}"
