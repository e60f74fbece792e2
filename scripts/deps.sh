#!/usr/bin/env bash
# Installs what building, running and testing Tarnwick needs on Debian 12, quietly, and only
# what is missing. Sourced by run.sh and test.sh.
set -euo pipefail

TARNWICK_PACKAGES=(
    cmake ninja-build g++ pkg-config
    qt6-base-dev libgl-dev fonts-liberation libxcb1-dev
    # TLS to mail servers
    libssl-dev
    # passwords in the desktop's keyring; tests: a real keyring, and a tool to look into it
    qtkeychain-qt6-dev libsecret-1-0 gnome-keyring libsecret-tools
    # tests: a real POP3 server, a display with a notification area, the fuzzer's compiler
    dovecot-pop3d dovecot-imapd openssl xvfb trayer xdotool x11-utils imagemagick openbox
    # tests: what a window paints, read back
    tesseract-ocr
    # desktops as users run them: a StatusNotifierItem panel on a session bus, a Wayland session
    dbus dbus-x11 libglib2.0-bin xfce4-panel sway waybar xwayland qt6-wayland
    # tests: the desktop's notification service
    dunst
    clang libclang-rt-14-dev
    # tests: the end-to-end tests find the program's controls on the accessibility bus
    at-spi2-core python3-pyatspi
    # tests: the installed menu entry and AppStream metadata are validated, the package linted
    desktop-file-utils appstream lintian
)

tarnwick_install_deps() {
    local missing=()
    local pkg
    local state
    for pkg in "$@"; do
        # Only a package that is not there counts: one whose triggers are still pending (while
        # another apt runs, say) is installed.
        state=$(dpkg-query -W -f='${db:Status-Status}' "$pkg" 2>/dev/null || true)
        case "$state" in
            "" | not-installed | config-files) missing+=("$pkg") ;;
        esac
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    local sudo=()
    [ "$(id -u)" -ne 0 ] && sudo=(sudo)
    # Another apt (unattended-upgrades, a software centre) may hold the lock: wait for it.
    local wait=(-o DPkg::Lock::Timeout=600)
    "${sudo[@]}" apt-get "${wait[@]}" update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get "${wait[@]}" install -y -qq \
        --no-install-recommends "${missing[@]}" >/dev/null
}
