#!/usr/bin/env bash
# Checks a built RPM against the .deb built beside it, as far as a machine without an RPM
# distribution can, installing neither: both carry the same version and the same files (path,
# mode, owner, size and contents); the RPM owns only its own folders; it requires each library
# its programs link by soname, the names Fedora's packages provide, and no package by name; its
# scripts run the udev commands of the .deb's postinst.
#   packaging/check-rpm.sh build/noctave-1.0.0-1.x86_64.rpm build/noctave_1.0.0_amd64.deb
set -euo pipefail
export LC_ALL=C  # one collation for every sorted list compared

rpm_file=${1:?usage: packaging/check-rpm.sh <noctave-*.rpm> <noctave_*.deb>}
deb=${2:?usage: packaging/check-rpm.sh <noctave-*.rpm> <noctave_*.deb>}
fail() {
    echo "check-rpm: FAIL: $*" >&2
    exit 1
}
[ -f "$rpm_file" ] || fail "no RPM at $rpm_file"
[ -f "$deb" ] || fail "no .deb at $deb"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
query() { rpm -qp --nosignature "$@" "$rpm_file"; }

# The name rpmbuild gives it, and the .deb's version: "~" sorts a beta first in both.
version=$(dpkg-deb -f "$deb" Version)
deb_arch=$(dpkg-deb -f "$deb" Architecture)
read -r name rpm_version release arch < <(query --qf '%{NAME} %{VERSION} %{RELEASE} %{ARCH}\n')
[ "$name" = noctave ] || fail "the RPM is called \"$name\""
[ "$rpm_version" = "$version" ] || fail "RPM version $rpm_version, .deb version $version"
[ "$release" = 1 ] || fail "RPM release \"$release\""
case "$deb_arch:$arch" in
    amd64:x86_64 | arm64:aarch64 | i386:i686 | armhf:armv7hl | ppc64el:ppc64le) ;;
    *) [ "$deb_arch" = "$arch" ] || fail "RPM for $arch, .deb for $deb_arch" ;;
esac
[ "$(basename "$rpm_file")" = "noctave-$version-1.$arch.rpm" ] \
    || fail "the RPM is named $(basename "$rpm_file")"
echo "check-rpm: $(basename "$rpm_file") beside $(basename "$deb")"

# The same files: "mode owner size path" from both listings, folders apart ("./usr/bin/" in the
# .deb is "/usr/bin" in the RPM).
dpkg-deb -c "$deb" | awk '{ sub(/^\./, "", $6); sub(/\/$/, "", $6); print $1, $2, $3, $6 }' \
    | awk '$4 != ""' | sort -k4 >"$work/deb.list"
query -lv | awk '{ print $1, $3 "/" $4, $5, $9 }' | sort -k4 >"$work/rpm.list"
grep -v '^d' "$work/deb.list" >"$work/deb.files" || true
grep -v '^d' "$work/rpm.list" >"$work/rpm.files" || true
[ -s "$work/rpm.files" ] || fail "the RPM holds no files"
diff -u "$work/deb.files" "$work/rpm.files" >"$work/files.diff" \
    || fail "files differ (- .deb, + RPM):"$'\n'"$(tail -n +3 "$work/files.diff")"
echo "check-rpm: the same $(wc -l <"$work/rpm.files") files, modes, owners and sizes"

# A folder is the package's own when its path names the package; the others belong to the
# system's packages, and an RPM that owned them would try to remove them with itself.
awk '/^d/ { print $4 }' "$work/deb.list" >"$work/deb.dirs"
awk '/^d/ { print $4 }' "$work/rpm.list" >"$work/rpm.dirs"
grep noctave "$work/deb.dirs" >"$work/own.dirs" || true
diff -u "$work/own.dirs" "$work/rpm.dirs" >"$work/dirs.diff" \
    || fail "the RPM should own exactly its own folders (- unowned, + not its own):"$'\n'"$(
        tail -n +3 "$work/dirs.diff")"

# The same contents, byte for byte: rpmbuild strips and compresses nothing itself.
[ "$(query --qf '%{FILEDIGESTALGO}')" = 8 ] || fail "the RPM's file digests are not SHA-256"
dpkg-deb -x "$deb" "$work/root"
(cd "$work/root" && find . -type f -print0 | xargs -0 sha256sum) | sed 's|  \./|  /|' \
    | sort -k2 >"$work/deb.sums"
query --qf '[%{FILEDIGESTS}  %{FILENAMES}\n]' | awk 'NF == 2' | sort -k2 >"$work/rpm.sums"
diff -u "$work/deb.sums" "$work/rpm.sums" >"$work/sums.diff" \
    || fail "contents differ (- .deb, + RPM):"$'\n'"$(tail -n +3 "$work/sums.diff")"
echo "check-rpm: the same contents (SHA-256)"

# Requirements: exactly the sonames the ELF files need, in rpm's spelling, with symbol versions
# of only those, and nothing by a package's name, which would tie the RPM to one distribution.
: >"$work/needed"
while IFS= read -r file; do
    header=$(readelf -h "$file" 2>/dev/null) || continue
    suffix="()"
    grep -q 'Class:[[:space:]]*ELF64' <<<"$header" && suffix="()(64bit)"
    readelf -d "$file" | sed -n "s/.*(NEEDED).*\[\(.*\)\]\$/\1$suffix/p" >>"$work/needed"
done < <(find "$work/root" -type f)
sort -u -o "$work/needed" "$work/needed"
[ -s "$work/needed" ] || fail "no ELF file in the package needs a library"
query --requires | sort -u >"$work/requires"
grep -E '^[^ (]+\.so[^ (]*\(\)' "$work/requires" >"$work/requires.whole" || true
diff -u "$work/needed" "$work/requires.whole" >"$work/requires.diff" \
    || fail "requirements differ from the libraries linked (- needed, + required):"$'\n'"$(
        tail -n +3 "$work/requires.diff")"
versioned=$(grep -E '^[^ (]+\.so[^ (]*\([^)]' "$work/requires" | cut -d'(' -f1 | sort -u \
    | comm -23 - <(cut -d'(' -f1 "$work/needed" | sort -u) || true)
[ -z "$versioned" ] || fail "symbol versions of libraries not linked: $versioned"
others=$(grep -vE '^[^ (]+\.so[^ (]*\(|^rpmlib\(|^rtld\(GNU_HASH\)$|^/bin/sh$' \
    "$work/requires" || true)
[ -z "$others" ] || fail "requirements that name no library: $others"
recommends=$(query --recommends | paste -sd, -)
[ "$recommends" = "$(dpkg-deb -f "$deb" Recommends | tr -d ' ')" ] \
    || fail "the RPM recommends \"$recommends\", the .deb \"$(dpkg-deb -f "$deb" Recommends)\""
echo "check-rpm: requires the $(wc -l <"$work/needed") libraries linked, by soname; recommends $recommends"

# Scripts: after install and after removal, none before; each valid sh and running the udevadm
# commands of the .deb's postinst.
query --scripts | awk -v dir="$work" '
    /^[a-z]+ scriptlet \(using \/bin\/sh\):$/ { file = dir "/" $1 ".sh"; print $1; next }
    /scriptlet|program:/ { print "unsupported(" $0 ")"; file = ""; next }
    file != "" { print > file }' >"$work/scriptlets"
[ "$(paste -sd' ' "$work/scriptlets")" = "postinstall postuninstall" ] \
    || fail "scriptlets: $(paste -sd' ' "$work/scriptlets")"
udevadm_lines() { sed -n 's/^[[:space:]]*\(udevadm [^|]*[^| ]\).*/\1/p' "$1"; }
dpkg-deb -e "$deb" "$work/control"
udevadm_lines "$work/control/postinst" >"$work/deb.udevadm"
[ -s "$work/deb.udevadm" ] || fail "the .deb's postinst runs no udevadm"
for script in postinstall postuninstall; do
    sh -n "$work/$script.sh" || fail "$script is not valid sh"
    udevadm_lines "$work/$script.sh" | diff -u "$work/deb.udevadm" - >"$work/$script.diff" \
        || fail "$script runs other udevadm commands than the .deb's postinst:"$'\n'"$(
            tail -n +3 "$work/$script.diff")"
done
echo "check-rpm: postinstall and postuninstall apply the udev rule as the .deb's postinst does"
echo "check-rpm: PASS"
