#!/bin/sh
# Installs the Debian packages udpphone needs to build, run and test, and only those that are
# missing, so a machine that has them all is never touched. Extra package names given as arguments
# are installed the same way (scripts that need a tool of their own pass it here).
set -eu

packages="
cmake
ninja-build
g++
pkg-config
qt6-base-dev
qt6-wayland
libgtest-dev
libcli11-dev
nlohmann-json3-dev
libpcap-dev
googletest
libxml2-utils
fonts-ipafont-gothic
iproute2
util-linux
xvfb
xauth
xdotool
x11-utils
clang
libclang-rt-14-dev
"

# The Debian package (./package.sh) and the checks of what it carries: the desktop entry, the
# metainfo, the manual pages and the Wireshark dissector.
packaging_packages="
dpkg-dev
groff-base
desktop-file-utils
appstream
tshark
"

# The browser test of the peer's HTML report: headless Chromium opens a report with every request
# refused.
browser_packages="
chromium
"

missing=""
for package in $packages $packaging_packages $browser_packages "$@"; do
    status=$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null || true)
    if [ "$status" != "installed" ]; then
        missing="$missing $package"
    fi
done

if [ -z "$missing" ]; then
    exit 0
fi

if ! command -v apt-get >/dev/null 2>&1; then
    echo "install-deps: these packages are missing and this is not a Debian system:$missing" >&2
    exit 1
fi

if [ "$(id -u)" -eq 0 ]; then
    sudo=""
elif command -v sudo >/dev/null 2>&1; then
    sudo="sudo"
else
    echo "install-deps: missing packages:$missing" >&2
    echo "install-deps: run as root or install sudo to let this script install them" >&2
    exit 1
fi

echo "install-deps: installing$missing"
$sudo apt-get update
# shellcheck disable=SC2086  # one word per package
$sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $missing
