#!/usr/bin/env bash
# Takes docs/kivo-window.png: the real program under a virtual display, after a successful
# read from the simulated phone. Needs xvfb-run, xdotool and ImageMagick's import.
#   docs/take-screenshot.sh [BUILD_DIR]     (default build/release)
set -euo pipefail
cd "$(dirname "$0")/.."
bin="${1:-build/release}"

if [[ -z "${KIVO_IN_XVFB:-}" ]]; then
    KIVO_IN_XVFB=1 exec xvfb-run -a -s "-screen 0 640x480x24" "$0" "$@"
fi

exec {sim_fd}< <(exec "$bin/tools/kivo-phonesim")
sim_pid=$!
read -r -t 10 -u "$sim_fd" device
export KIVO_COM4="$device"

"$bin/app/kivo" &
kivo_pid=$!
trap 'kill $kivo_pid $sim_pid 2>/dev/null || true' EXIT

window=$(xdotool search --sync --onlyvisible --name '^KIVO' | tail -n1)
xdotool windowfocus "$window" 2>/dev/null || true
# Before the run: the empty serial number field and the enabled button.
import -window "$window" /tmp/kivo-before.png
crop() { convert "$1" -crop "$2" +repage -format '%#' info:; }
field=161x21+128+192
button=161x25+128+224
empty_field=$(crop /tmp/kivo-before.png "$field")
idle_button=$(crop /tmp/kivo-before.png "$button")
xdotool key --window "$window" alt+r
# The run is over when the serial number is shown and the button is enabled again.
for _ in $(seq 100); do
    sleep 0.1
    import -window "$window" /tmp/kivo-after.png
    if [[ $(crop /tmp/kivo-after.png "$field") != "$empty_field" &&
        $(crop /tmp/kivo-after.png "$button") == "$idle_button" ]]; then
        break
    fi
done
import -window "$window" docs/kivo-window.png
echo "docs/kivo-window.png written"
