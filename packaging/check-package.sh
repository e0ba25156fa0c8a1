#!/usr/bin/env bash
# Tries a built Debian package the way a new user would, on this machine: installs it with apt,
# asks the installed program and the desktop's tools about it, runs its self-test on the
# virtual laptop, removes it and checks that nothing of it is left. Prints the installed size.
# Given the RPM built beside it, first checks that against the .deb without installing it
# (packaging/check-rpm.sh): this machine has no RPM system to install it into.
#   packaging/check-package.sh build/noctave_1.0.0_amd64.deb [build/noctave-1.0.0-1.x86_64.rpm]
set -euo pipefail

deb=${1:?usage: packaging/check-package.sh <noctave_*.deb> [<noctave-*.rpm>]}
deb=$(realpath "$deb")
if [ $# -ge 2 ]; then
    "$(dirname "$0")/check-rpm.sh" "$2" "$deb"
fi
app_id=com.quillor.noctave

sudo=""
if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
fi
fail() {
    echo "check-package: FAIL: $*" >&2
    exit 1
}

# Every file of the package, and every folder of it that does not exist yet: all must be gone
# after removal. A failed check leaves the package installed, to be looked at.
files=()
new_folders=()
while read -r mode _ _ _ _ path; do
    path=${path#.}
    path=${path%/}
    if [ -z "$path" ]; then
        continue
    elif [ "${mode:0:1}" = d ]; then
        [ -e "$path" ] || new_folders+=("$path")
    else
        files+=("$path")
    fi
done < <(dpkg-deb -c "$deb")

echo "check-package: installing $(basename "$deb")"
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q "$deb" >/dev/null

[ "$(command -v noctave)" = /usr/bin/noctave ] || fail "noctave is not /usr/bin/noctave"
version=$(noctave --version)
case "$version" in
    "Noctave "*) echo "check-package: $version" ;;
    *) fail "noctave --version printed \"$version\"" ;;
esac
# Read whole before matching: grep -q leaves at the first match, and a writer that meets the
# closed pipe fails the pipeline under pipefail.
help=$(noctave --help) || fail "noctave --help"
grep -q '^Usage: noctave' <<<"$help" || fail "noctave --help"

desktop=/usr/share/applications/$app_id.desktop
desktop-file-validate "$desktop" || fail "desktop entry"
appstreamcli validate --no-net "/usr/share/metainfo/$app_id.metainfo.xml" >/dev/null \
    || fail "AppStream metadata"
icon=$(sed -n 's/^Icon=//p' "$desktop")
[ -f "/usr/share/icons/hicolor/128x128/apps/$icon.png" ] || fail "no launcher icon \"$icon\""
# The GNOME Shell extension and the symbolic icons its panel indicator names.
extension=/usr/share/gnome-shell/extensions/noctave@quillor.com
grep -q '"uuid": "noctave@quillor.com"' "$extension/metadata.json" || fail "GNOME Shell extension"
[ -f "$extension/extension.js" ] || fail "GNOME Shell extension"
for state in ready armed warning; do
    [ -f "/usr/share/icons/hicolor/scalable/status/$app_id-$state-symbolic.svg" ] \
        || fail "no symbolic icon for $state"
done

# The man page: found by name through the man database, and rendered without a warning.
[ "$(man -w noctave)" = /usr/share/man/man1/noctave.1.gz ] || fail "man -w noctave"
warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 \
    /usr/share/man/man1/noctave.1.gz 2>&1 >/dev/null)
[ -z "$warnings" ] || fail "man page warnings: $warnings"
manual=$(man -l /usr/share/man/man1/noctave.1.gz) || fail "man -l"
grep -q 'EXIT STATUS' <<<"$manual" || fail "man -l"

sim_home=$(mktemp -d)
trap 'rm -rf "$sim_home"' EXIT
NOCTAVE_PLATFORM=sim NOCTAVE_SIM_HOME="$sim_home" noctave --selftest >"$sim_home/out" 2>&1 \
    || { cat "$sim_home/out" >&2; fail "the installed self-test on the virtual laptop"; }
tail -n 1 "$sim_home/out" | grep -qx PASS || fail "the self-test did not end with PASS"

size=$(dpkg-query -W -f='${Installed-Size}' noctave)
echo "check-package: installed size ${size} KiB"

echo "check-package: removing"
DEBIAN_FRONTEND=noninteractive $sudo apt-get remove -y -q noctave >/dev/null
status=$(dpkg-query -W -f='${db:Status-Abbrev}' noctave 2>/dev/null || true)
case "$status" in
    "" | "un "*) ;;
    *) fail "dpkg still records noctave after removal: \"$status\"" ;;
esac
left=()
for path in "${files[@]}"; do
    if [ -e "$path" ] && [ ! -d "$path" ]; then
        left+=("$path")
    fi
done
for path in "${new_folders[@]}"; do
    if [ -e "$path" ]; then
        left+=("$path/")
    fi
done
[ ${#left[@]} -eq 0 ] || fail "left behind: ${left[*]}"
echo "check-package: PASS"
