#!/bin/bash
# Checks a built udpphone package as a user's system would receive it: unpacked into a scratch
# root, every file lies where it belongs and nothing else comes along; the desktop entry and the
# metainfo pass their validators; the control fields carry the libraries the binaries need, the
# font the layout is measured in and the Wayland plug-in; the unpacked udpphone-peer answers and
# plays a shipped scenario.
#
# Usage: tests/package_test.sh PACKAGE.deb BUILD_DIR
#   BUILD_DIR holds a build of this tree (its make_voice_files makes the expected sample tone).
# Runs programs from the package, so start it inside scripts/test-namespace.sh (./test.sh does).
# Prints a line for each check and ends with "package: N passed, M failed"; exits 1 on a failure.
set -uo pipefail

if [ $# -ne 2 ] || [ ! -f "$1" ] || [ ! -x "$2/make_voice_files" ]; then
    echo "usage: $0 PACKAGE.deb BUILD_DIR (with make_voice_files built)" >&2
    exit 2
fi
package=$(readlink -f "$1")
build_dir=$(readlink -f "$2")
source_dir=$(dirname "$(dirname "$(readlink -f "$0")")")

scratch=$(mktemp -d /tmp/udpphone-package.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
root=$scratch/root

passed=0
failed=0
# check DESCRIPTION COMMAND...: a check passes when COMMAND succeeds; its output shows on failure.
check() {
    local description=$1 output
    shift
    if output=$("$@" 2>&1); then
        passed=$((passed + 1))
        echo "ok: $description"
    else
        failed=$((failed + 1))
        echo "FAILED: $description"
        [ -z "$output" ] || printf '%s\n' "$output" | sed 's/^/    /'
    fi
}
same_lines() { # EXPECTED ACTUAL
    diff <(printf '%s\n' "$1") <(printf '%s\n' "$2")
}

# --- the files --------------------------------------------------------------------------------
check "dpkg-deb unpacks $(basename "$package")" dpkg-deb -x "$package" "$root"

# Where Wireshark itself looks for Lua plug-ins, not where the build thought it would.
plugins=$(tshark -G folders 2>/dev/null | sed -n 's/^Global Lua Plugins:[[:space:]]*//p')
check "tshark names its global Lua plug-in folder" test -n "$plugins"
plugins=${plugins#/}
icon_sizes="16 22 24 32 48 64 128 256"
shipped_scenarios="full-call.scenario stranger-talk.scenario tone.au"
expected_files=$(
    {
        echo usr/bin/udpphone
        echo usr/bin/udpphone-peer
        echo usr/share/applications/udpphone.desktop
        echo usr/share/metainfo/io.github.udpphone.udpphone.metainfo.xml
        for size in $icon_sizes; do echo "usr/share/icons/hicolor/${size}x$size/apps/udpphone.png"; done
        echo usr/share/man/man1/udpphone.1.gz
        echo usr/share/man/man1/udpphone-peer.1.gz
        echo usr/share/udpphone/send.au
        for file in $shipped_scenarios; do echo "usr/share/udpphone/scenarios/$file"; done
        echo usr/share/doc/udpphone/scenarios.md
        echo "$plugins/udpphone.lua"
    } | sort
)
check "the package holds exactly the expected files" \
    same_lines "$expected_files" "$(cd "$root" && find . -type f -printf '%P\n' | sort)"
check "nothing but files and folders in it" \
    test -z "$(cd "$root" && find . ! -type f ! -type d)"

is_program() { # FILE: an executable ELF file
    [ -x "$1" ] && [ "$(head -c 4 "$1" | od -An -tx1 | tr -d ' \n')" = 7f454c46 ]
}
for program in udpphone udpphone-peer; do
    check "usr/bin/$program is an executable program" is_program "$root/usr/bin/$program"
    check "the man page of $program is docs/man/$program.1, compressed" \
        cmp <(gzip -dc "$root/usr/share/man/man1/$program.1.gz") "$source_dir/docs/man/$program.1"
done

png_size() { # FILE: width x height from the PNG header
    local header
    header=$(od -An -v -tx1 -N 24 "$1" | tr -d ' \n')
    [ "${header:0:16}" = 89504e470d0a1a0a ] || return 1
    echo "$((16#${header:32:8}))x$((16#${header:40:8}))"
}
for size in $icon_sizes; do
    check "the ${size}x$size icon is a PNG of that size" \
        test "$(png_size "$root/usr/share/icons/hicolor/${size}x$size/apps/udpphone.png")" = "${size}x$size"
done

check "the dissector is tools/wireshark/udpphone.lua" \
    cmp "$root/$plugins/udpphone.lua" "$source_dir/tools/wireshark/udpphone.lua"

mkdir -p "$scratch/tone"
"$build_dir/make_voice_files" "$scratch/tone" >/dev/null
check "usr/share/udpphone/send.au is the sample tone" \
    cmp "$root/usr/share/udpphone/send.au" "$scratch/tone/send.au"

for file in $shipped_scenarios; do
    check "usr/share/udpphone/scenarios/$file is scenarios/$file" \
        cmp "$root/usr/share/udpphone/scenarios/$file" "$source_dir/scenarios/$file"
done
check "usr/share/doc/udpphone/scenarios.md is docs/scenarios.md" \
    cmp "$root/usr/share/doc/udpphone/scenarios.md" "$source_dir/docs/scenarios.md"

# --- what desktops read -------------------------------------------------------------------------
desktop=$root/usr/share/applications/udpphone.desktop
check "desktop-file-validate accepts the desktop entry" desktop-file-validate "$desktop"
check "appstreamcli accepts the metainfo" \
    appstreamcli validate --no-net "$root/usr/share/metainfo/io.github.udpphone.udpphone.metainfo.xml"
entry() { sed -n "s/^$1=//p" "$desktop"; }
check "the desktop entry starts the packaged udpphone" \
    test "$(entry Exec)" = udpphone -a -x "$root/usr/bin/$(entry Exec)"
check "the desktop entry's icon is the packaged one" test "$(entry Icon)" = udpphone

# --- the control fields -------------------------------------------------------------------------
field() { dpkg-deb -f "$package" "$1"; }
package_names() { # a dependency field's package names, one a line
    tr ',|' '\n' | sed 's/(.*)//; s/[[:space:]]//g' | grep -v '^$' | sort -u
}
version=$(sed -n 's/.*<release version="\([^"]*\)".*/\1/p' "$source_dir"/packaging/*.metainfo.xml | head -n 1)
check "Package udpphone, Version from the metainfo ($version), Architecture of this machine" \
    same_lines "udpphone $version $(dpkg --print-architecture)" \
    "$(field Package) $(field Version) $(field Architecture)"
# What the binaries need, worked out again here the way Debian does.
mkdir -p "$scratch/shlibs/debian"
: >"$scratch/shlibs/debian/control"
shlibdeps() {
    (cd "$scratch/shlibs" && dpkg-shlibdeps -O "$root/usr/bin/udpphone" "$root/usr/bin/udpphone-peer") \
        >"$scratch/shlibs/out"
}
check "dpkg-shlibdeps works out what the binaries need" shlibdeps
needed=$(sed -n 's/^shlibs:Depends=//p' "$scratch/shlibs/out" | package_names)
holds() { # LINES NAME...: every NAME is one of the LINES
    local name
    for name in "${@:2}"; do grep -qxF "$name" <<<"$1" || { echo "no $name in: $1"; return 1; }; done
}
check "the binaries need libc6, libstdc++6 and Qt's Widgets" holds "$needed" libc6 libstdc++6 libqt6widgets6
depends=$(field Depends | package_names)
check "Depends holds every library package the binaries need" \
    same_lines "" "$(comm -23 <(echo "$needed") <(echo "$depends"))"
check "Depends holds fonts-ipafont-gothic" holds "$depends" fonts-ipafont-gothic
check "Depends holds nothing else" \
    same_lines "fonts-ipafont-gothic" "$(comm -13 <(echo "$needed") <(echo "$depends"))"
check "Recommends qt6-wayland" same_lines qt6-wayland "$(field Recommends)"

# --- the unpacked peer --------------------------------------------------------------------------
peer=$root/usr/bin/udpphone-peer
peer_commands() { # the commands the peer's --help lists, on one line
    local help
    help=$("$peer" --help) || return 1
    grep -q '^Usage: udpphone-peer' <<<"$help" || return 1
    sed -n '/^Subcommands:/,/^$/p' <<<"$help" | awk 'NR > 1 && NF { print $1 }' | paste -sd' '
}
check "the unpacked udpphone-peer --help answers and lists its commands" \
    same_lines "answer call send load run calls report" "$(peer_commands)"
refuses_bad_option() {
    local status=0
    "$peer" answer --no-such-option >/dev/null 2>&1 || status=$?
    [ "$status" -eq 2 ]
}
check "the unpacked udpphone-peer refuses a bad option with exit status 2" refuses_bad_option

# The shipped full call, played from where the package puts it (its tone found beside it) against
# an unpacked answering peer, on loopback addresses and ports of its own.
plays_shipped_scenario() {
    local answer_pid status=0 tries=0
    "$peer" answer --bind 127.0.7.1 --local-port 21811 --peer-port 21812 --until disconnect \
        --duration 30 --quiet >"$scratch/answer.out" 2>"$scratch/answer.err" &
    answer_pid=$!
    until grep -q 'answering on' "$scratch/answer.err"; do
        if ! kill -0 "$answer_pid" 2>/dev/null || [ $tries -ge 200 ]; then
            cat "$scratch/answer.err"
            kill "$answer_pid" 2>/dev/null
            return 1
        fi
        tries=$((tries + 1))
        sleep 0.05
    done
    "$peer" run "$root/usr/share/udpphone/scenarios/full-call.scenario" 127.0.7.1:21811 \
        --bind 127.0.7.2 --local-port 21812 --quiet || status=$?
    # A run that ended early leaves the answer waiting for its Disconnect.
    [ "$status" -eq 0 ] || kill "$answer_pid" 2>/dev/null
    wait "$answer_pid" || status=$?
    [ "$status" -eq 0 ] || cat "$scratch/answer.out" "$scratch/answer.err"
    return "$status"
}
check "the unpacked udpphone-peer plays the shipped full-call.scenario against an unpacked answer" \
    plays_shipped_scenario

echo "package: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
