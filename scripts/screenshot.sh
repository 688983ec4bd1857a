#!/bin/bash
# Takes docs/screenshot.png: builds the release build, then starts udpphone on a virtual display
# (Xvfb, no window manager) inside the tests' private network namespace and captures its window.
set -euo pipefail
cd "$(dirname "$(readlink -f "$0")")/.."

if [ "${1:-}" != --inside ]; then
    # ImageMagick's import takes the picture; only this script needs it.
    scripts/install-deps.sh imagemagick
    if [ ! -f build-release/CMakeCache.txt ]; then
        cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DUDPPHONE_TESTS=OFF
    fi
    cmake --build build-release
    mkdir -p docs
    exec scripts/test-namespace.sh build-release "$0" --inside
fi

work=$(mktemp -d)
pids=()
# The program goes first, so it never sees its display vanish.
cleanup() {
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
        kill "${pids[i]}" 2>/dev/null || true
        wait "${pids[i]}" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT

# Xvfb picks a free display number itself and writes it to the descriptor it is given.
Xvfb -displayfd 3 -screen 0 640x480x24 -nolisten tcp -noreset 3>"$work/display" 2>"$work/xvfb.log" &
pids+=($!)
for _ in $(seq 100); do
    [ -s "$work/display" ] && break
    sleep 0.1
done
[ -s "$work/display" ] || {
    echo "screenshot: Xvfb did not start" >&2
    cat "$work/xvfb.log" >&2
    exit 1
}
DISPLAY=":$(head -n 1 "$work/display")"
export DISPLAY

QT_QPA_PLATFORM=xcb build-release/udpphone &
pids+=($!)
window=$(timeout 20 xdotool search --sync --onlyvisible --name '^Form1$' | head -n 1)
xdotool windowfocus --sync "$window" || true
sleep 1 # let the window paint
import -window "$window" docs/screenshot.png
echo "screenshot: wrote docs/screenshot.png"
