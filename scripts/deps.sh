#!/usr/bin/env bash
# Installs what building, running and testing Tarnwick needs on Debian 12, quietly, and only
# what is missing. Sourced by run.sh and test.sh.
set -euo pipefail

TARNWICK_PACKAGES=(
    cmake ninja-build g++ pkg-config
    qt6-base-dev libgl-dev fonts-liberation libxcb1-dev
    # tests: a real POP3 server, a display with a notification area, the fuzzer's compiler
    dovecot-pop3d openssl xvfb trayer xdotool x11-utils imagemagick openbox
    # desktops as users run them: a StatusNotifierItem panel on a session bus, a Wayland session
    dbus dbus-x11 libglib2.0-bin xfce4-panel sway waybar xwayland qt6-wayland
    clang libclang-rt-14-dev
    # tests: the end-to-end tests find the program's controls on the accessibility bus
    at-spi2-core python3-pyatspi
    # tests: the installed menu entry and AppStream metadata are validated
    desktop-file-utils appstream
)

tarnwick_install_deps() {
    local missing=()
    local pkg
    for pkg in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
            missing+=("$pkg")
        fi
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    local sudo=()
    [ "$(id -u)" -ne 0 ] && sudo=(sudo)
    "${sudo[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
        "${missing[@]}" >/dev/null
}
