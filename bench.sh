#!/bin/bash
# Builds a release build of udpphone with its benchmark programs (build-bench/) and runs the
# benchmarks on the real main window (offscreen platform) and real UDP on loopback, inside a
# private network and mount namespace like the tests (scripts/test-namespace.sh, whose DNS
# responder answers the lookup benchmark's late name). Prints one table: figure, value, target,
# the plain baseline measured in the same run for the capacity figures, and whether the target
# is met. The targets hold for an otherwise idle 2-core machine: the load is printed first.
#
# Usage: ./bench.sh [--gui-share PERCENT] [voice] [receive] [flood] [lookup] [startup]
#                   [peer-pacing] [peer-load] [peer-calls] [report-capture] [report-load]
#                   [report-cpu]
#                   (all benchmarks by default)
# --gui-share PERCENT holds the window's GUI thread to that share of one processor (a cgroup of
# the bench's namespace: cgroup v2 cpu.max where the v2 cpu controller is there, else cgroup v1's
# CFS quota), to measure from any host how a slower one fares; it applies to the benchmarks that
# run the window in process (voice, receive, flood, lookup), to their baselines too, and not to
# the benchmark's own peer threads.
# BENCH_STEP_SECONDS=N shortens each rate step (10 s), BENCH_PACING_SECONDS=N the peer's pacing
# run (60 s), BENCH_CALLS_SECONDS=N the talk of the many calls (60 s), BENCH_REPORT_LOAD_SECONDS=N
# the load drawn with --report (60 s) and BENCH_REPORT_CALL_SECONDS=N the calls timed with and
# without --report (600 s) for a trial; such a run is no record. BENCH_GUI_PERIOD_MS sets the
# period the share is enforced over (10 ms).
set -euo pipefail
cd "$(dirname "$(readlink -f "$0")")"

benchmarks=()
while [ $# -gt 0 ]; do
    case $1 in
        --gui-share)
            [ $# -ge 2 ] || { echo "bench: --gui-share needs a percentage" >&2; exit 2; }
            export BENCH_GUI_SHARE=$2
            shift 2
            ;;
        --gui-share=*)
            export BENCH_GUI_SHARE=${1#*=}
            shift
            ;;
        *)
            benchmarks+=("$1")
            shift
            ;;
    esac
done
if [ -n "${BENCH_GUI_SHARE:-}" ] &&
    ! { [[ $BENCH_GUI_SHARE =~ ^[0-9]+$ ]] && [ "$BENCH_GUI_SHARE" -ge 1 ] &&
        [ "$BENCH_GUI_SHARE" -le 100 ]; }; then
    echo "bench: --gui-share takes a whole percentage from 1 to 100, not \"$BENCH_GUI_SHARE\"" >&2
    exit 2
fi

# xcb headers for the start-up benchmark, which watches the X server for the program's window.
scripts/install-deps.sh libxcb1-dev
scripts/test-namespace.sh --check
if [ ! -f build-bench/CMakeCache.txt ]; then
    cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DUDPPHONE_TESTS=OFF \
        -DUDPPHONE_BENCH=ON
fi
cmake --build build-bench

# The processor's model and clock go with every run: figures from different hosts are compared
# only knowing what each ran on.
BENCH_MACHINE="Machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | xargs)"
BENCH_MACHINE+=" at $(grep -m1 'cpu MHz' /proc/cpuinfo | cut -d: -f2 | xargs | cut -d. -f1) MHz,"
BENCH_MACHINE+=" $(free -g | awk '/^Mem:/ {print $2}') GB, Linux $(uname -r),"
BENCH_MACHINE+=" Qt $(pkg-config --modversion Qt6Core 2>/dev/null || echo '?')"
export BENCH_MACHINE
echo "$BENCH_MACHINE"
echo "Load before: $(cut -d' ' -f1-3 /proc/loadavg) (1, 5, 15 min)"
scripts/test-namespace.sh build-bench bench/run-in-namespace.sh "$PWD/build-bench" \
    ${benchmarks[@]+"${benchmarks[@]}"}
echo "Load after: $(cut -d' ' -f1-3 /proc/loadavg) (1, 5, 15 min)"
