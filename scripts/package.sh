#!/usr/bin/env bash
# Builds a stripped Release of Tarnwick into build-package/ and makes a Debian package of it:
# build-package/tarnwick_<version>_<arch>.deb. Its dependencies come from the libraries the
# program links. Install it with: sudo apt install ./build-package/tarnwick_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
tarnwick_install_deps cmake ninja-build g++ qt6-base-dev libgl-dev dpkg-dev file

cmake -S . -B build-package -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
    -DTARNWICK_TESTS=OFF -DTARNWICK_BENCH=OFF >/dev/null
cmake --build build-package
(cd build-package && cpack -G DEB)
ls build-package/tarnwick_*.deb
