#!/usr/bin/env bash
# Installs what is missing, builds Tarnwick into build/ and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
tarnwick_install_deps "${TARNWICK_PACKAGES[@]}"

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target tarnwick

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
    echo "No display found: running headless (QT_QPA_PLATFORM=offscreen)."
    echo "Checks and logs work as usual; there is no tray icon and no window."
    export QT_QPA_PLATFORM=offscreen
fi
exec build/tarnwick "$@"
