#!/bin/bash
# Builds the Debian package of udpphone into this folder (udpphone_<version>_<arch>.deb), from a
# release build of its own in build-package/ whose programs keep their voice files in the user's
# data folder. Install it with:  sudo apt-get install ./udpphone_*.deb
#
# Usage: ./package.sh [FOLDER]     (the package lands in FOLDER instead; ./test.sh uses this)
set -euo pipefail
cd "$(dirname "$(readlink -f "$0")")"
destination=${1:-.}
mkdir -p "$destination"

scripts/install-deps.sh
cmake -S . -B build-package -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
    -DUDPPHONE_TESTS=OFF -DUDPPHONE_USER_VOICE_FOLDER=ON
cmake --build build-package

# What desktops read must pass their own checks before it goes into a package.
desktop-file-validate packaging/udpphone.desktop
appstreamcli validate --no-net packaging/*.metainfo.xml

rm -f build-package/udpphone_*.deb
(cd build-package && cpack -G DEB)
for package in build-package/udpphone_*.deb; do
    rm -f "$destination/$(basename "$package")"
    mv "$package" "$destination/"
    echo "Built $destination/$(basename "$package")"
done
