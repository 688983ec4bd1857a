#!/bin/bash
# Takes docs/report-screenshot.png: a call between two udpphone-peer processes, its voice impaired
# both ways with fixed seeds, drawn with --report and photographed by headless Chromium, all inside
# the tests' private network namespace (scripts/test-namespace.sh).
#
# Usage: scripts/report-screenshot.sh [BUILD_DIR]
#        (default build-release, configured and built first; another build dir is used as it is)
set -euo pipefail
cd "$(dirname "$(readlink -f "$0")")/.."

if [ "${1:-}" != --inside ]; then
    build=${1:-build-release}
    scripts/install-deps.sh chromium
    if [ "$build" = build-release ]; then
        if [ ! -f build-release/CMakeCache.txt ]; then
            cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DUDPPHONE_TESTS=OFF
        fi
        cmake --build build-release --target udpphone-peer dns_responder
    fi
    mkdir -p docs
    exec scripts/test-namespace.sh "$build" "$0" --inside "$build"
fi
# On the path, so the page's command line reads as one would type it.
PATH="$(readlink -f "$2"):$PATH"
docs=$PWD/docs

work=$(mktemp -d)
answer=
cleanup() {
    [ -n "$answer" ] && kill "$answer" 2>/dev/null && wait "$answer" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

# Twelve seconds of the tone that comes with the program, for both ends to stream.
for _ in $(seq 12); do cat scenarios/tone.au; done >"$work/voice.au"
cd "$work"

# The answering end loses, repeats and swaps some of its chunks: the caller's Seq picture marks
# them. The caller impairs its own and jitters it: its spacing picture marks what it did.
udpphone-peer answer --bind 127.0.0.2 --local-port 20080 --peer-port 20081 --play voice.au \
    --until disconnect --duration 60 --drop 3 --duplicate 3 --reorder 3 --seed 7 --quiet \
    >answer.out 2>&1 &
answer=$!
for _ in $(seq 100); do
    grep -q "answering on" answer.out && break
    sleep 0.05
done
udpphone-peer call 127.0.0.2 --bind 127.0.0.3 --local-port 20081 --play voice.au \
    --talk-seconds 10 --drop 2 --duplicate 2 --reorder 2 --jitter 4 --seed 11 --quiet \
    --report call.html
wait "$answer"
answer=

# The whole page, in the light scheme, wide enough for the pictures at their own size.
chromium --headless --no-sandbox --disable-gpu --hide-scrollbars --disable-quic \
    --no-first-run --disable-background-networking --disable-component-update --disable-sync \
    --host-resolver-rules="MAP * ~NOTFOUND" --window-size=1000,3650 \
    --screenshot="$work/shot.png" "file://$work/call.html" >chromium.log 2>&1 || {
    cat chromium.log >&2
    exit 1
}
cp shot.png "$docs/report-screenshot.png"
echo "report-screenshot: wrote docs/report-screenshot.png"
