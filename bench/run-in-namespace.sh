#!/bin/bash
# The benchmarks as bench.sh runs them, inside the namespace that scripts/test-namespace.sh made
# (root, loopback only, a mount namespace of our own). Collects the rows of every benchmark and
# prints them as one table.
#
# Usage: bench/run-in-namespace.sh BUILD_DIR [BENCHMARK...]
# BENCH_GUI_SHARE=PERCENT holds the window's thread to that share of a processor (see bench.sh).
set -uo pipefail
build=$1
shift
benchmarks=("$@")
[ ${#benchmarks[@]} -gt 0 ] || benchmarks=(voice receive flood lookup startup peer-pacing peer-load
    peer-calls report-capture report-load report-cpu)

# The voice files sit beside the benchmark program: on a tmpfs of this namespace, so that the
# file writes of both the window and the baseline cost the same and no disk gets gigabytes.
work=$(mktemp -d /tmp/udpphone-bench.XXXXXX)
mount -t tmpfs -o size=8g tmpfs "$work"
share_cgroup=""
cleanup() {
    [ -n "${xvfb:-}" ] && kill "$xvfb" 2>/dev/null && wait "$xvfb" 2>/dev/null
    umount "$work" 2>/dev/null
    rmdir "$work" 2>/dev/null
    release_gui_share
}
trap cleanup EXIT

# The window's thread held to BENCH_GUI_SHARE percent of a processor, over a period of
# BENCH_GUI_PERIOD_MS (10 ms: short enough that the thread runs in stretches of a few
# milliseconds, as on a slower processor, rather than for half of a 100 ms period and then not
# at all; longer than the kernel's tick, so the share holds). The benchmark's threads join the
# cgroup themselves: the window's thread writes its id to UDPPHONE_BENCH_GUI_THREADS, and the
# peer threads it starts move to UDPPHONE_BENCH_OTHER_THREADS.
limit_gui_share() {
    local percent=$1 period_us=$((${BENCH_GUI_PERIOD_MS:-10} * 1000))
    local quota_us=$((period_us * percent / 100))
    local v2 own
    v2=$(findmnt -rn -t cgroup2 -o TARGET | head -n1)
    if [ -n "$v2" ] && grep -qw cpu "$v2/cgroup.controllers" 2>/dev/null; then
        own=$v2$(awk -F: '$1 == "0" {print $3}' /proc/self/cgroup)
        share_cgroup=$own/udpphone-bench.$$
        share_parent=$own
        # A threaded subtree: the script and its children in its root, the window's thread in
        # the limited leaf.
        if grep -qw cpu "$own/cgroup.subtree_control" || echo +cpu >"$own/cgroup.subtree_control"; then
            if mkdir "$share_cgroup" && echo $$ >"$share_cgroup/cgroup.procs" &&
                mkdir "$share_cgroup/gui" && echo threaded >"$share_cgroup/gui/cgroup.type" &&
                echo +cpu >"$share_cgroup/cgroup.subtree_control" &&
                echo "$quota_us $period_us" >"$share_cgroup/gui/cpu.max"; then
                export UDPPHONE_BENCH_GUI_THREADS=$share_cgroup/gui/cgroup.threads
                export UDPPHONE_BENCH_OTHER_THREADS=$share_cgroup/cgroup.threads
                echo "GUI thread: $percent % of a processor (cgroup v2 cpu.max $quota_us $period_us)"
                return 0
            fi
        fi
        echo "bench: cgroup v2 has a cpu controller but the bench's cgroup under $own could not be made" >&2
        return 1
    fi
    local v1
    v1=$(findmnt -rn -t cgroup -o TARGET,OPTIONS | awk '$2 ~ /(^|,)cpu(,|$)/ {print $1; exit}')
    if [ -n "$v1" ] && [ -f "$v1/cpu.cfs_quota_us" ]; then
        own=$v1$(awk -F: '$2 ~ /(^|,)cpu(,|$)/ {print $3; exit}' /proc/self/cgroup)
        share_cgroup=$own/udpphone-bench.$$
        share_parent=""
        if mkdir "$share_cgroup" && echo "$period_us" >"$share_cgroup/cpu.cfs_period_us" &&
            echo "$quota_us" >"$share_cgroup/cpu.cfs_quota_us"; then
            export UDPPHONE_BENCH_GUI_THREADS=$share_cgroup/tasks
            export UDPPHONE_BENCH_OTHER_THREADS=$own/tasks
            echo "GUI thread: $percent % of a processor (cgroup v1 CFS quota $quota_us us per" \
                "$period_us us; cgroup v2 has no cpu controller here)"
            return 0
        fi
        echo "bench: cannot make a cgroup under $own (cgroup v1's cpu controller)" >&2
        return 1
    fi
    echo "bench: --gui-share needs cgroup v2 with its cpu controller, or cgroup v1's cpu controller" \
        "with CFS quotas; this host has neither" >&2
    return 1
}

release_gui_share() {
    [ -n "$share_cgroup" ] || return 0
    if [ -n "${share_parent:-}" ]; then
        echo $$ >"$share_parent/cgroup.procs" 2>/dev/null
        rmdir "$share_cgroup/gui" 2>/dev/null
    fi
    rmdir "$share_cgroup" 2>/dev/null
    share_cgroup=""
}

if [ -n "${BENCH_GUI_SHARE:-}" ]; then
    limit_gui_share "$BENCH_GUI_SHARE" || exit 1
fi
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
        peer-calls) "$work/udpphone_bench" peer-calls "$build/udpphone-peer" >>"$rows" ;;
        report-capture)
            "$work/udpphone_bench" peer-report-capture "$build/udpphone-peer" >>"$rows"
            ;;
        report-load) "$work/udpphone_bench" peer-report-load "$build/udpphone-peer" >>"$rows" ;;
        report-cpu) "$work/udpphone_bench" peer-report-cpu "$build/udpphone-peer" >>"$rows" ;;
        *)
            echo "bench: no benchmark \"$benchmark\"" \
                "(voice receive flood lookup startup peer-pacing peer-load peer-calls report-capture" \
                "report-load report-cpu)" >&2
            ;;
    esac
done

echo
# The table carries the host it was measured on.
[ -n "${BENCH_MACHINE:-}" ] && echo "$BENCH_MACHINE"
[ -n "${BENCH_GUI_SHARE:-}" ] && echo "GUI thread held to $BENCH_GUI_SHARE % of a processor"
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
