#!/usr/bin/env bash
# Installs what is missing, builds Tarnwick into build/ and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
tarnwick_install_deps "${TARNWICK_PACKAGES[@]}"

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
# The icons too, so that "cmake --install build" works after this build.
cmake --build build --target tarnwick tarnwick_icons

# A display that does not answer would end the program at once: run headless instead.
headless_because=""
if [ -z "${QT_QPA_PLATFORM:-}" ]; then
    x_answers=0
    if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then
        x_answers=1
    fi
    wayland_socket="${WAYLAND_DISPLAY:-}"
    if [ -n "$wayland_socket" ] && [ "${wayland_socket#/}" = "$wayland_socket" ]; then
        wayland_socket="${XDG_RUNTIME_DIR:-/nonexistent}/$wayland_socket"
    fi
    if [ "$x_answers" = 1 ] || { [ -n "${WAYLAND_DISPLAY:-}" ] && [ -S "$wayland_socket" ]; }; then
        :
    elif [ -n "${DISPLAY:-}" ]; then
        headless_because="the display $DISPLAY does not answer"
    elif [ -n "${WAYLAND_DISPLAY:-}" ]; then
        headless_because="the Wayland display $WAYLAND_DISPLAY does not answer"
    else
        headless_because="no display found"
    fi
fi
if [ -n "$headless_because" ]; then
    echo "Running headless (QT_QPA_PLATFORM=offscreen): $headless_because; checks and logs work, no icon or window."
    export QT_QPA_PLATFORM=offscreen
fi
exec build/tarnwick "$@"
