#!/bin/bash
# The benchmarks as bench.sh runs them, inside the namespace that scripts/test-namespace.sh made
# (root, loopback only, a mount namespace of our own). Collects the rows of every benchmark and
# prints them as one table.
#
# Usage: bench/run-in-namespace.sh BUILD_DIR [BENCHMARK...]
set -uo pipefail
build=$1
shift
benchmarks=("$@")
[ ${#benchmarks[@]} -gt 0 ] || benchmarks=(voice receive flood lookup startup peer-pacing peer-load
    report-capture report-load report-cpu)

# The voice files sit beside the benchmark program: on a tmpfs of this namespace, so that the
# file writes of both the window and the baseline cost the same and no disk gets gigabytes.
work=$(mktemp -d /tmp/udpphone-bench.XXXXXX)
mount -t tmpfs -o size=8g tmpfs "$work"
cleanup() {
    [ -n "${xvfb:-}" ] && kill "$xvfb" 2>/dev/null && wait "$xvfb" 2>/dev/null
    umount "$work" 2>/dev/null
    rmdir "$work" 2>/dev/null
}
trap cleanup EXIT
cp "$build/bench/udpphone_bench" "$work/"
mkdir -m 700 "$work/runtime"
export XDG_RUNTIME_DIR="$work/runtime"
rows="$work/rows"
: >"$rows"

start_display() {
    # A private directory for the server's socket; -displayfd picks a number no other server on
    # this machine holds (their lock files are in the shared /tmp).
    mkdir -p /tmp/.X11-unix
    mount -t tmpfs -o mode=1777 tmpfs /tmp/.X11-unix
    Xvfb -displayfd 3 -nolisten tcp -noreset -screen 0 1280x1024x24 3>"$work/display" 2>"$work/xvfb.log" &
    xvfb=$!
    for _ in $(seq 100); do
        [ -s "$work/display" ] && break
        sleep 0.05
    done
    [ -s "$work/display" ] || { echo "bench: Xvfb did not start" >&2; cat "$work/xvfb.log" >&2; return 1; }
    export DISPLAY=":$(head -n1 "$work/display")"
    unset WAYLAND_DISPLAY
}

for benchmark in "${benchmarks[@]}"; do
    echo "== $benchmark" >&2
    case $benchmark in
        voice) "$work/udpphone_bench" voice-pacing 35 >>"$rows" ;;
        receive) "$work/udpphone_bench" receive-capacity >>"$rows" ;;
        flood) "$work/udpphone_bench" request-flood >>"$rows" ;;
        lookup) "$work/udpphone_bench" lookup-wait >>"$rows" ;;
        startup)
            start_display && "$build/bench/udpphone_startup_bench" "$build/udpphone" 5 30 >>"$rows"
            ;;
        peer-pacing)
            "$work/udpphone_bench" peer-pacing "$build/udpphone-peer" "${BENCH_PACING_SECONDS:-60}" >>"$rows"
            ;;
        peer-load) "$work/udpphone_bench" peer-load "$build/udpphone-peer" >>"$rows" ;;
        report-capture)
            "$work/udpphone_bench" peer-report-capture "$build/udpphone-peer" >>"$rows"
            ;;
        report-load) "$work/udpphone_bench" peer-report-load "$build/udpphone-peer" >>"$rows" ;;
        report-cpu) "$work/udpphone_bench" peer-report-cpu "$build/udpphone-peer" >>"$rows" ;;
        *)
            echo "bench: no benchmark \"$benchmark\"" \
                "(voice receive flood lookup startup peer-pacing peer-load report-capture" \
                "report-load report-cpu)" >&2
            ;;
    esac
done

echo
grep '^ROW' "$rows" | cut -f2- | awk -F'\t' '
    BEGIN { header[1] = "Figure"; header[2] = "Value"; header[3] = "Target";
            header[4] = "Baseline (same run)"; header[5] = "Verdict" }
    { for (i = 1; i <= 5; i++) { cell[NR, i] = $i; if (length($i) > width[i]) width[i] = length($i) } }
    END {
        for (i = 1; i <= 5; i++) if (length(header[i]) > width[i]) width[i] = length(header[i])
        line(header)
        for (i = 1; i <= 5; i++) { rule[i] = sprintf("%" width[i] "s", ""); gsub(/ /, "-", rule[i]) }
        line(rule)
        for (r = 1; r <= NR; r++) { for (i = 1; i <= 5; i++) row[i] = cell[r, i]; line(row) }
    }
    function line(c,   i, text) {
        text = "| "
        for (i = 1; i <= 5; i++) text = text sprintf("%-" width[i] "s", c[i]) " | "
        sub(/ $/, "", text)
        print text
    }'

# Which targets were met, in a line of its own, and every missed one by name.
awk -F'\t' '$1 == "ROW" && $6 == "met" { met++ } $1 == "ROW" && $6 == "MISSED" { missed[++m] = $2 }
    END {
        printf "\nTargets met: %d of %d.", met, met + m
        if (m == 0) print " Every target is met."
        else { print " Missed:"; for (i = 1; i <= m; i++) print "  - " missed[i] }
    }' "$rows"
