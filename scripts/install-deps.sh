#!/usr/bin/env bash
# Installs every Debian package needed to build, run and test velk.
# Idempotent: packages already present are left alone and apt is only asked
# when something is missing.
set -euo pipefail

packages=(
    build-essential cmake pkg-config git ca-certificates
    clang clang-format clang-tidy libclang-rt-14-dev
    libsystemd-dev libjsoncpp-dev
    libxcb1-dev libxcb-randr0-dev libxcb-xfixes0-dev libxcb-cursor-dev libxcb-cursor0
    libdbus-c++-dev libdbus-c++-bin dbus
    libgtest-dev libgmock-dev googletest
    systemd xvfb x11-xserver-utils x11-utils x11-apps xdotool xterm xauth xcvt imagemagick adwaita-icon-theme util-linux
    wmctrl zenity python3-pyqt5 matchbox-window-manager mousepad dunst libnotify-bin onboard
    freerdp2-shadow-x11 freerdp2-x11
    python3 python3-xlib python3-dbus python3-pytest
    procps psmisc iproute2 passwd lintian bash-completion
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed'; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    echo "install-deps: all packages present"
    exit 0
fi

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
