#!/usr/bin/env bash
# The Windows release artefact: an optimised, statically linked kivo.exe and kivo-read.exe
# with the README, zipped as build/windows-release/kivo-<version>-win64.zip. Needs the
# cross compiler (scripts/windows/install-deps.sh).
set -euo pipefail
cd "$(dirname "$0")/../.."

jobs=${KIVO_JOBS:-2}
build=build/windows-release
stage=$build/stage

echo "=== windows: release programs"
cmake --preset windows-release >/dev/null
cmake --build --preset windows-release -j "$jobs" --target kivo kivo-read
rm -rf "$stage"
cmake --install "$build" --component programs --prefix "$stage" >/dev/null
cp README.md "$stage/"

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
archive=kivo-${version}-win64.zip
(cd "$stage" && cmake -E tar cf "../$archive" --format=zip -- bin README.md)
for exe in kivo.exe kivo-read.exe; do
    [[ -s $stage/bin/$exe ]] || { echo "package: $exe missing" >&2; exit 1; }
done
echo "=== windows: $build/$archive"
