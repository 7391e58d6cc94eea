#!/usr/bin/env bash
# The Windows release artefacts from an optimised, stripped, statically linked kivo.exe and
# kivo-read.exe, in build/windows-release/:
#   kivo-<version>-win64.zip        the portable form: the programs, README.txt, LICENSE.txt
#   kivo-<version>-setup.exe        the installer (NSIS): Program Files, Start menu, uninstaller
# Needs the cross compiler and makensis (scripts/windows/install-deps.sh).
set -euo pipefail
cd "$(dirname "$0")/../.."

jobs=${KIVO_JOBS:-2}
build=build/windows-release
stage=$build/stage

echo "=== windows: release programs"
cmake --preset windows-release >/dev/null
cmake --build --preset windows-release -j "$jobs" --target kivo kivo-read
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
folder=kivo-$version-win64

rm -rf "$stage"
mkdir -p "$stage/$folder"
cmake --install "$build" --component programs --prefix "$stage/install" >/dev/null
for exe in kivo.exe kivo-read.exe; do
    [[ -s $stage/install/bin/$exe ]] || { echo "package: $exe missing" >&2; exit 1; }
    cp "$stage/install/bin/$exe" "$stage/$folder/"
done
# Text files with Windows line ends; the README is the one for Windows, without pictures.
sed -e "s/@VERSION@/$version/g" -e 's/$/\r/' packaging/windows/README.txt >"$stage/$folder/README.txt"
sed -e 's/$/\r/' LICENSE >"$stage/$folder/LICENSE.txt"

archive=$folder.zip
rm -f "$build/$archive"
(cd "$stage" && cmake -E tar cf "../$archive" --format=zip -- "$folder")
echo "=== windows: $build/$archive"

echo "=== windows: installer"
cp packaging/icons/kivo.ico "$stage/$folder/"
setup=kivo-$version-setup.exe
makensis -V2 -DVERSION="$version" -DSTAGE="$PWD/$stage/$folder" -DOUTFILE="$PWD/$build/$setup" \
    packaging/windows/kivo.nsi
rm "$stage/$folder/kivo.ico"
echo "=== windows: $build/$setup"
