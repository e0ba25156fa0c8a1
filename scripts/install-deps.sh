#!/usr/bin/env bash
# Installs the Debian packages Noctave needs to build, test and run, on Debian 12 and 13. Safe to
# run again: it installs only what is missing. Runs apt-get as root, or through sudo when available.
# An entry "a|b" is the first of the names the archive has (a package renamed between releases).
set -euo pipefail

packages=(
  # toolchain
  build-essential cmake ninja-build ccache pkg-config clang clang-format clang-tidy
  libclang-rt-dev
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
  gnome-settings-daemon powerdevil 'libkscreen-bin|libkf5screen-bin' dconf-service dconf-gsettings-backend dconf-cli
  # packaging: the checks of the desktop entry, the AppStream metadata and the man page
  desktop-file-utils appstream man-db file
  # packaging: CPack's RPM generator (rpmbuild) and the RPM's checks (rpm -qp)
  rpm
  # GNOME Shell extension stories: the real shell on Xvfb, its gjs, screen captures
  gnome-shell gjs imagemagick
)

installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}

missing=()
for entry in "${packages[@]}"; do
  present=""
  IFS='|' read -r -a names <<<"$entry"
  for name in "${names[@]}"; do
    if installed "$name"; then present=1; fi
  done
  [ -n "$present" ] || missing+=("$entry")
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

$sudo apt-get update -q
chosen=()
for entry in "${missing[@]}"; do
  IFS='|' read -r -a names <<<"$entry"
  pick=""
  if [ ${#names[@]} -gt 1 ]; then
    for name in "${names[@]}"; do
      if apt-cache show --no-all-versions "$name" >/dev/null 2>&1; then
        pick=$name
        break
      fi
    done
  fi
  # None known: let apt-get name the first one in its error.
  chosen+=("${pick:-${names[0]}}")
done
echo "install-deps: installing ${chosen[*]}"
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${chosen[@]}"
