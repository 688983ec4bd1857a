#!/bin/bash
# Builds the libFuzzer targets in build-fuzz/ (clang, AddressSanitizer, UndefinedBehaviorSanitizer)
# and runs each for a bounded time on its seed corpus, inside the tests' private network namespace.
# Exits non-zero when a target finds a crash, a leak, a sanitizer report or a broken property.
#
#   UDPPHONE_FUZZ_SECONDS  fuzzing time per target (default 20)
#   UDPPHONE_FUZZ_TARGETS  the targets to run (default "str_to_int receive_path scenario_parse
#                          capture_read peer_session")
#   arguments              passed on to every target (for instance -seed=1)
#
# Inputs that grew coverage are kept in build-fuzz/fuzz/corpus/, findings go to
# build-fuzz/fuzz/artifacts/, each run's output to build-fuzz/fuzz/logs/. fuzz/README.md tells
# how to run longer.
set -uo pipefail
cd "$(dirname "$(readlink -f "$0")")/.." || exit 1

seconds=${UDPPHONE_FUZZ_SECONDS:-20}
read -ra targets <<<"${UDPPHONE_FUZZ_TARGETS:-str_to_int receive_path scenario_parse capture_read peer_session}"
build=build-fuzz

if [ "${UDPPHONE_TEST_NAMESPACE:-}" != 1 ]; then
    unshare_options=(--net --mount)
    [ "$(id -u)" -eq 0 ] || unshare_options+=(--map-root-user)
    if ! unshare "${unshare_options[@]}" true 2>/dev/null; then
        if [ "${UDPPHONE_TEST_ON_HOST:-}" = 1 ]; then
            echo "run-fuzzers: no private network namespace here; the fuzzers run only inside" \
                "one: SKIPPED" >&2
            exit 0
        fi
        echo "run-fuzzers: cannot create a private network namespace, and the fuzzers run" \
            "only inside one" >&2
        exit 1
    fi
fi

# The build directory keeps the compiler it was first configured with: clang.
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DUDPPHONE_FUZZ=ON -DUDPPHONE_TESTS=OFF >/dev/null || exit 1
cmake --build "$build" -j "$(nproc)" --target dns_responder "${targets[@]/%/_fuzzer}" || exit 1

export ASAN_OPTIONS="detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
export LSAN_OPTIONS="suppressions=$PWD/fuzz/lsan.supp:print_suppressions=0"

options_for() {
    case $1 in
        str_to_int) echo "-max_len=1024" ;;
        # Three choice bytes and a datagram a little longer than the socket delivers whole.
        # Leaks are looked for once, at the end: checking after every input (the log and Qt's
        # caches grow on purpose) would cost nine tenths of the time.
        receive_path) echo "-max_len=2112 -detect_leaks=0" ;;
        scenario_parse) echo "-max_len=4096" ;;
        # A file header and a few packets of every link type.
        capture_read) echo "-max_len=4096" ;;
        # Room for a few datagrams of any size, or many small ones.
        peer_session) echo "-max_len=8192" ;;
    esac
}

overall=0
for target in "${targets[@]}"; do
    fuzzer=$build/fuzz/${target}_fuzzer
    corpus=$build/fuzz/corpus/$target
    artifacts=$build/fuzz/artifacts/$target/
    log=$build/fuzz/logs/$target.log
    mkdir -p "$corpus" "$artifacts" "$(dirname "$log")"
    # New inputs go to the first directory; the seeds and the saved reproducers stay as they are.
    corpora=("$corpus" "fuzz/corpus/$target")
    [ -d "fuzz/regressions/$target" ] && corpora+=("fuzz/regressions/$target")
    read -ra target_options <<<"$(options_for "$target")"
    command=("$fuzzer" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=4096
        -print_final_stats=1 -artifact_prefix="$artifacts" "${target_options[@]}" "$@"
        "${corpora[@]}")

    printf '\n==== Fuzzing %s for %s s ====\n' "$target" "$seconds"
    if [ "${UDPPHONE_TEST_NAMESPACE:-}" = 1 ]; then
        "${command[@]}" >"$log" 2>&1
    else
        scripts/test-namespace.sh "$build" "${command[@]}" >"$log" 2>&1
    fi
    status=$?
    if [ $status -eq 0 ]; then
        grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -n 1
        grep -E '^stat::(number_of_executed_units|average_exec_per_sec)' "$log"
    else
        overall=1
        tail -n 60 "$log"
        echo "$target: FAILED (exit status $status); full output in $log"
        echo "Findings in $artifacts; reproduce with:"
        echo "  scripts/test-namespace.sh $build $fuzzer ${target_options[*]} $artifacts<file>"
    fi
done
exit $overall
