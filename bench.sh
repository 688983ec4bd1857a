#!/bin/bash
# Builds a release build of udpphone with its benchmark programs (build-bench/) and runs the
# benchmarks on the real main window (offscreen platform) and real UDP on loopback, inside a
# private network and mount namespace like the tests (scripts/test-namespace.sh, whose DNS
# responder answers the lookup benchmark's late name). Prints one table: figure, value, target,
# the plain baseline measured in the same run for the capacity figures, and whether the target
# is met. The targets hold for an otherwise idle 2-core machine: the load is printed first.
#
# Usage: ./bench.sh [voice] [receive] [flood] [lookup] [startup] [peer-pacing] [peer-load]
#        [report-capture] [report-load] [report-cpu]   (all of them by default)
# BENCH_STEP_SECONDS=N shortens each rate step (10 s), BENCH_PACING_SECONDS=N the peer's pacing
# run (60 s), BENCH_REPORT_LOAD_SECONDS=N the load drawn with --report (60 s) and
# BENCH_REPORT_CALL_SECONDS=N the calls timed with and without --report (600 s) for a trial; such
# a run is no record.
set -euo pipefail
cd "$(dirname "$(readlink -f "$0")")"

# xcb headers for the start-up benchmark, which watches the X server for the program's window.
scripts/install-deps.sh libxcb1-dev
scripts/test-namespace.sh --check
if [ ! -f build-bench/CMakeCache.txt ]; then
    cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DUDPPHONE_TESTS=OFF \
        -DUDPPHONE_BENCH=ON
fi
cmake --build build-bench

echo "Machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | xargs)," \
    "$(free -g | awk '/^Mem:/ {print $2}') GB, Linux $(uname -r)," \
    "Qt $(pkg-config --modversion Qt6Core 2>/dev/null || echo '?')"
echo "Load before: $(cut -d' ' -f1-3 /proc/loadavg) (1, 5, 15 min)"
scripts/test-namespace.sh build-bench bench/run-in-namespace.sh "$PWD/build-bench" "$@"
echo "Load after: $(cut -d' ' -f1-3 /proc/loadavg) (1, 5, 15 min)"
