#!/usr/bin/env bash
# Installs the Debian packages Noctave needs to build, test and run. Safe to run again: it
# installs only what is missing. Runs apt-get as root, or through sudo when available.
set -euo pipefail

packages=(
  # toolchain
  build-essential cmake ninja-build ccache pkg-config clang clang-format clang-tidy
  libclang-rt-14-dev
  # core and tests
  nlohmann-json3-dev libgtest-dev libgmock-dev googletest libbenchmark-dev
  # Linux backend
  libsystemd-dev libudev-dev libcurl4-openssl-dev libglib2.0-dev
  # application shell
  qt6-base-dev qt6-base-dev-tools libgl-dev libxcb1-dev libx11-dev libxext-dev
  # global shortcut: X11 key grabs
  libxcb-keysyms1-dev
  # Wayland: the curtain's layer surfaces and output power, on wayland-client
  libwayland-dev libwayland-bin wayland-protocols
  # integration tests: private buses, mocked system services, a virtual X display
  dbus dbus-x11 python3-dbusmock xvfb xauth x11-xserver-utils xdotool
  # system tests: the real upowerd beside logind, the lid and battery emulated
  upower umockdev gir1.2-umockdev-1.0 python3-gi
  # Wayland tests: a headless compositor, its screenshots, a virtual keyboard, Qt's client
  sway grim wtype qt6-wayland

  # desktop stories: each desktop's power manager, and what it needs to run headless
  xfce4-power-manager xfconf mate-power-manager cinnamon-settings-daemon cinnamon-session
  gnome-settings-daemon powerdevil libkf5screen-bin dconf-service dconf-gsettings-backend dconf-cli
  # packaging: the checks of the desktop entry, the AppStream metadata and the man page
  desktop-file-utils appstream man-db
  # packaging: CPack's RPM generator (rpmbuild) and the RPM's checks (rpm -qp)
  rpm
  # GNOME Shell extension stories: the real shell on Xvfb, its gjs, screen captures
  gnome-shell gjs imagemagick
)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all ${#packages[@]} packages present"
  exit 0
fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null 2>&1; then
    sudo="sudo"
  else
    echo "install-deps: missing packages and not root (no sudo): ${missing[*]}" >&2
    exit 1
  fi
fi

echo "install-deps: installing ${missing[*]}"
$sudo apt-get update -q
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
