#!/usr/bin/env bash
# Renders the KIVO icons: each small size has its own drawing on the pixel grid in src/ (16,
# 24 and 32 px); the larger ones are rendered from the scalable icon, packaging/kivo.svg. Writes
# kivo-<size>.png and the Windows icon kivo.ico (all sizes) next to this script. The results
# are committed, so a build needs neither tool; run this after changing a source.
# Needs rsvg-convert (librsvg2-bin) and ImageMagick's convert.
set -euo pipefail
cd "$(dirname "$0")"

sizes=(16 24 32 48 64 128 256)
for size in "${sizes[@]}"; do
    source=src/kivo-$size.svg
    [[ -f $source ]] || source=../kivo.svg
    rsvg-convert --width "$size" --height "$size" "$source" --output "kivo-$size.png.new"
    # Without the time stamps and software names ImageMagick adds, a re-render of an unchanged
    # source gives the same bytes.
    convert "kivo-$size.png.new" -strip -define png:exclude-chunks=date,time "kivo-$size.png"
    rm "kivo-$size.png.new"
done
pngs=()
for size in "${sizes[@]}"; do pngs+=("kivo-$size.png"); done
convert "${pngs[@]}" -strip kivo.ico
