#!/bin/bash
# Installs what is missing, builds udpphone twice (build/: RelWithDebInfo; build-asan/: with
# AddressSanitizer and UndefinedBehaviorSanitizer) and runs every test of both builds inside a
# private network namespace that holds only loopback, then builds the Debian package as
# ./package.sh does and checks it unpacked, and runs the fuzz targets for a short while, both in
# the same kind of namespace. Exits with the suites' status.
set -uo pipefail
cd "$(dirname "$(readlink -f "$0")")" || exit 1

scripts/install-deps.sh || exit 1
# Before spending minutes on builds: can the tests be run here at all?
scripts/test-namespace.sh --check || exit 1

jobs=$(nproc)
# The sanitizers stop at the first fault, and leaks count as faults. The environment reaches the
# test discovery during the build as well as the runs.
export ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:abort_on_error=0:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
export LSAN_OPTIONS="suppressions=$PWD/scripts/lsan.supp:print_suppressions=0"

banner() {
    printf '\n==== %s ====\n' "$*"
}

build() {
    local directory=$1 label=$2
    shift 2
    banner "Building $directory ($label)"
    if [ ! -f "$directory/CMakeCache.txt" ]; then
        cmake -S . -B "$directory" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" || return 1
    fi
    cmake --build "$directory" -j "$jobs"
}

declare -A summary status
suites=()

run_suite() {
    local directory=$1 label=$2 log
    log=$(mktemp)
    banner "Testing $directory ($label)"
    # The suite is the same on a desktop as on CI: tests that need a display start their own.
    scripts/test-namespace.sh "$directory" \
        env -u DISPLAY -u WAYLAND_DISPLAY \
        ctest --test-dir "$directory" -j "$jobs" --output-on-failure --no-tests=error \
        2>&1 | tee "$log"
    status[$directory]=${PIPESTATUS[0]}
    summary[$directory]=$(grep -E '^[0-9]+% tests passed' "$log" | tail -n 1)
    suites+=("$directory:$label")
    rm -f "$log"
}

build build "RelWithDebInfo" || exit 1
build build-asan "AddressSanitizer + UndefinedBehaviorSanitizer" -DUDPPHONE_SANITIZE=ON || exit 1

run_suite build "RelWithDebInfo"
run_suite build-asan "AddressSanitizer + UndefinedBehaviorSanitizer"

# The Debian package, built by ./package.sh in build-package/ (a release build of its own, without
# the tests: about a minute on an idle machine), then unpacked and checked.
banner "Packaging build-package (Debian package)"
package_started=$SECONDS
rm -rf build-package/deb
if ./package.sh build-package/deb; then
    log=$(mktemp)
    packages=(build-package/deb/udpphone_*.deb)
    scripts/test-namespace.sh build tests/package_test.sh "${packages[0]}" build 2>&1 | tee "$log"
    status[build-package]=${PIPESTATUS[0]}
    summary[build-package]=$(grep -E '^package: [0-9]+ passed' "$log" | tail -n 1)
    rm -f "$log"
else
    status[build-package]=1
    summary[build-package]="./package.sh failed"
fi
# Listed first, so the summary still closes on a suite of tests.
suites=("build-package:Debian package, built and checked in $((SECONDS - package_started)) s"
    "${suites[@]}")

# The libFuzzer targets, for a short bounded time each (build-fuzz/, clang); the same namespace.
banner "Fuzzing build-fuzz (clang, libFuzzer)"
UDPPHONE_FUZZ_SECONDS=${UDPPHONE_FUZZ_SECONDS:-10} scripts/run-fuzzers.sh
fuzz_status=$?

# Both summaries once more, a failed suite last, so the closing line tells the worst.
banner "Summary"
overall=0
echo "build-fuzz/ (libFuzzer): exit status $fuzz_status"
[ "$fuzz_status" -eq 0 ] || overall=1
for pass in passed failed; do
    for suite in "${suites[@]}"; do
        directory=${suite%%:*}
        if { [ "${status[$directory]}" -eq 0 ] && [ $pass = passed ]; } ||
            { [ "${status[$directory]}" -ne 0 ] && [ $pass = failed ]; }; then
            [ "${status[$directory]}" -eq 0 ] || overall=1
            echo "$directory/ (${suite#*:}): exit status ${status[$directory]}"
            echo "${summary[$directory]:-ctest reported no summary}"
        fi
    done
done
exit $overall
