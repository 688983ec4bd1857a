#!/bin/bash
# Installs what is missing, builds a release build of udpphone into build-release/ and starts it.
# The voice files (send.au, recv.au) sit next to the executable; the build places samples there
# where none exist yet and never replaces the operator's own.
set -euo pipefail
cd "$(dirname "$(readlink -f "$0")")"

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    cat >&2 <<'MESSAGE'
udpphone is a desktop program and there is no display here (neither DISPLAY nor WAYLAND_DISPLAY
is set). Start ./run.sh from a terminal in your desktop session, log in with "ssh -X" to forward
the window to your own screen, or run it on a virtual display with "xvfb-run ./run.sh".
MESSAGE
    exit 1
fi

scripts/install-deps.sh
if [ ! -f build-release/CMakeCache.txt ]; then
    cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DUDPPHONE_TESTS=OFF
fi
# The headless peer too: a script or a CI job can drive it against the window or a device.
cmake --build build-release --target udpphone udpphone-peer

# On an X display (XWayland included) the program can place its window and name its task-bar entry.
if [ -n "${DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
    export QT_QPA_PLATFORM=xcb
fi
exec build-release/udpphone "$@"
