#!/bin/bash
# Runs a command inside a fresh network namespace that holds only loopback, with a mount namespace
# of its own whose /etc/hosts, /etc/resolv.conf and /etc/nsswitch.conf name the tests' addresses
# and point the resolver at the tests' own DNS responder (from BUILD_DIR). Nothing inside can reach
# another machine. Exits with the command's status.
#
# Usage: scripts/test-namespace.sh BUILD_DIR COMMAND [ARGUMENT...]
#        scripts/test-namespace.sh --check     (only tells whether commands can be run)
#
# Where namespaces cannot be made, UDPPHONE_TEST_ON_HOST=1 runs the command on the host's loopback
# instead, without those names (the tests that need them skip).
set -euo pipefail

check_only=0
if [ "${1:-}" = --check ]; then
    check_only=1
elif [ $# -lt 2 ]; then
    echo "usage: $0 BUILD_DIR COMMAND [ARGUMENT...] | --check" >&2
    exit 2
else
    script=$(readlink -f "$0")
    build_dir=$(readlink -f "$1")
    shift
fi

responder_address=127.0.0.53

# Puts CONTENT over the file PATH for this mount namespace only. A symbolic link is followed to
# its target; a target that does not exist gets a private tmpfs over its directory to hold it.
private_directories=""
overlay_file() {
    local path=$1 content=$2 target
    target=$(readlink -f "$path" || true)
    [ -n "$target" ] || target=$path
    if [ ! -e "$target" ]; then
        local directory
        directory=$(dirname "$target")
        if [ ! -d "$directory" ] || [ "$directory" = / ] || [ "$directory" = /etc ]; then
            echo "test-namespace: cannot place $path (it points to $target)" >&2
            return 1
        fi
        if [[ " $private_directories " != *" $directory "* ]]; then
            mount -t tmpfs -o size=1m,mode=755 tmpfs "$directory"
            private_directories="$private_directories $directory"
        fi
        : >"$target"
    fi
    local copy
    copy="$fixtures/$(basename "$path")"
    printf '%s\n' "$content" >"$copy"
    chmod 644 "$copy"
    mount --bind "$copy" "$target"
}

inside() {
    mount --make-rprivate /
    ip link set lo up

    fixtures=$(mktemp -d /tmp/udpphone-ns.XXXXXX)
    # A tmpfs keeps the fixtures out of the host's /tmp and goes away with the namespace.
    mount -t tmpfs -o size=1m tmpfs "$fixtures"
    overlay_file /etc/hosts "127.0.0.1 localhost
127.0.0.2 peer2.test
127.0.0.3 peer3.test
127.0.0.4 peer4.test
127.0.0.5 peer5.test"
    overlay_file /etc/nsswitch.conf "hosts: files dns"
    overlay_file /etc/resolv.conf "nameserver $responder_address
options timeout:3 attempts:1"

    local responder="$build_dir/dns_responder" ready="$fixtures/responder.out"
    if [ ! -x "$responder" ]; then
        echo "test-namespace: $responder is missing: build the project in $build_dir first" >&2
        exit 1
    fi
    "$responder" "$responder_address" 53 >"$ready" &
    responder_pid=$!
    trap 'kill "$responder_pid" 2>/dev/null || true' EXIT
    local tries=0
    until grep -qx ready "$ready" 2>/dev/null; do
        if ! kill -0 "$responder_pid" 2>/dev/null || [ $tries -ge 200 ]; then
            echo "test-namespace: the DNS responder did not start" >&2
            exit 1
        fi
        tries=$((tries + 1))
        sleep 0.05
    done

    local status=0
    UDPPHONE_TEST_NAMESPACE=1 "$@" || status=$?
    kill "$responder_pid" 2>/dev/null || true
    wait "$responder_pid" 2>/dev/null || true
    trap - EXIT
    umount "$fixtures" 2>/dev/null || true
    rmdir "$fixtures" 2>/dev/null || true
    return $status
}

if [ "${UDPPHONE_NAMESPACE_INSIDE:-}" = 1 ]; then
    unset UDPPHONE_NAMESPACE_INSIDE
    inside "$@"
    exit $?
fi

unshare_options=(--net --mount)
if [ "$(id -u)" -ne 0 ]; then
    unshare_options+=(--map-root-user)
fi

if ! reason=$(unshare "${unshare_options[@]}" sh -c 'ip link set lo up' 2>&1); then
    if [ "${UDPPHONE_TEST_ON_HOST:-}" = 1 ]; then
        echo "test-namespace: no network namespace here (${reason:-unshare failed});" \
            "UDPPHONE_TEST_ON_HOST=1: running on the host's loopback, without the test names" >&2
        [ $check_only = 1 ] && exit 0
        exec "$@"
    fi
    cat >&2 <<EOF
test-namespace: cannot create a private network and mount namespace:
  ${reason:-unshare ${unshare_options[*]} failed}
The tests run only inside such a namespace, so that nothing they send can leave this machine.
Allow user namespaces (for example: sysctl kernel.unprivileged_userns_clone=1), run as root, or
set UDPPHONE_TEST_ON_HOST=1 to run them on this machine's loopback instead (tests that need the
test names and private mounts are skipped then).
EOF
    exit 1
fi
[ $check_only = 1 ] && exit 0

UDPPHONE_NAMESPACE_INSIDE=1 exec unshare "${unshare_options[@]}" "$script" "$build_dir" "$@"
