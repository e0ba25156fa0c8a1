#!/usr/bin/env bash
# A Debian 13 (trixie) root to build and test Noctave in, on a Debian 12 machine without systemd.
#
#   scripts/debian13.sh create ROOT [--bare]  debootstrap a minimal trixie into ROOT (once) and
#                                             install the tree's packages there (each time;
#                                             --bare: not)
#   scripts/debian13.sh run ROOT -- CMD...    run CMD as root inside ROOT, in the source tree
#
# The source tree is the git work tree of the current folder (or this script's own; NOCTAVE_TREE
# names another), bound into the root at the same path, so build folders and ccache paths read
# the same inside and out. ccache keeps its files outside the root, in NOCTAVE_DEBIAN13_CCACHE
# (default /var/tmp/noctave-debian13-ccache), so a fresh root builds from a warm cache. The mounts
# live in a private mount namespace of their own: two runs at once do not meet, and a run killed
# outright leaves nothing mounted.
set -euo pipefail

script_tree=$(cd "$(dirname "$0")/.." && pwd)

usage() {
  echo "usage: $0 create ROOT [--bare] | run ROOT -- CMD..." >&2
  exit 2
}

# The archive apt already uses here: the first URI of the Debian sources that is not security's.
archive() {
  local uri
  uri=$(grep -h '^URIs:' /etc/apt/sources.list.d/*.sources 2>/dev/null | awk '{print $2}' |
    grep -v security | head -n1 || true)
  if [ -z "$uri" ]; then
    uri=$(awk '$1 == "deb" && $0 !~ /security/ {print $2; exit}' /etc/apt/sources.list 2>/dev/null || true)
  fi
  echo "${uri:-http://deb.debian.org/debian}"
}

tree() {
  if [ -n "${NOCTAVE_TREE:-}" ]; then
    (cd "$NOCTAVE_TREE" && pwd)
  else
    git -C "$PWD" rev-parse --show-toplevel 2>/dev/null || echo "$script_tree"
  fi
}

create() {
  local root=$1 bare=${2:-} uri
  uri=$(archive)
  if [ ! -e "$root/etc/debian_version" ]; then
    command -v debootstrap >/dev/null || apt-get install -y -q --no-install-recommends debootstrap
    echo "debian13: debootstrap trixie into $root from $uri"
    debootstrap --variant=minbase --components=main trixie "$root" "$uri"
  fi
  cat >"$root/etc/apt/sources.list.d/debian.sources" <<EOF
Types: deb
URIs: $uri
Suites: trixie trixie-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
  rm -f "$root/etc/apt/sources.list"
  cp -L /etc/resolv.conf "$root/etc/resolv.conf"
  [ -z "$bare" ] || return 0
  # What the tree's own scripts need before install-deps.sh can run, then the tree's packages.
  NOCTAVE_TREE=$script_tree run "$root" -- sh -c \
    'apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends ca-certificates git make &&
     scripts/install-deps.sh'
}

# Inside the private mount namespace: mount, run, and unmount in reverse.
inside() {
  local root=$1 src=$2
  shift 2
  mounted=()
  undo() {
    local i
    for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
      umount -l "${mounted[$i]}" 2>/dev/null || true
    done
  }
  trap undo EXIT
  # The root as a mount point of its own, so that unshare --propagation private works inside.
  mount --bind "$root" "$root" && mounted+=("$root")
  mount --rbind /proc "$root/proc" && mounted+=("$root/proc")
  mount --rbind /sys "$root/sys" && mounted+=("$root/sys")
  mount --bind /dev "$root/dev" && mounted+=("$root/dev")
  mount --bind /dev/pts "$root/dev/pts" && mounted+=("$root/dev/pts")
  # sway and grim need shared memory.
  mount -t tmpfs -o mode=1777 shm "$root/dev/shm" && mounted+=("$root/dev/shm")
  mkdir -p "$root$src"
  mount --bind "$src" "$root$src" && mounted+=("$root$src")
  local cache=${NOCTAVE_DEBIAN13_CCACHE:-/var/tmp/noctave-debian13-ccache}
  mkdir -p "$cache" "$root/root/.cache/ccache"
  mount --bind "$cache" "$root/root/.cache/ccache" && mounted+=("$root/root/.cache/ccache")
  # A worktree's .git names its main repository: bind that too, so git works inside.
  local common
  common=$(git -C "$src" rev-parse --path-format=absolute --git-common-dir 2>/dev/null || true)
  if [ -n "$common" ] && [ "${common#"$src"/}" = "$common" ] && [ -d "$common" ]; then
    mkdir -p "$root$common"
    mount --bind "$common" "$root$common" && mounted+=("$root$common")
  fi
  local status=0
  chroot "$root" /usr/bin/env -i HOME=/root TERM="${TERM:-dumb}" LANG=C.UTF-8 \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    ${CI:+CI="$CI"} ${NOCTAVE_REQUIRE_DESKTOPS:+NOCTAVE_REQUIRE_DESKTOPS="$NOCTAVE_REQUIRE_DESKTOPS"} \
    ${NOCTAVE_WERROR:+NOCTAVE_WERROR="$NOCTAVE_WERROR"} \
    sh -c 'cd "$0" && exec "$@"' "$src" "$@" || status=$?
  return $status
}

run() {
  local root=$1
  shift
  [ "${1:-}" = "--" ] && shift
  [ $# -gt 0 ] || usage
  [ "$(id -u)" -eq 0 ] || {
    echo "debian13: must run as root" >&2
    exit 1
  }
  root=$(cd "$root" && pwd)
  unshare -m --propagation private "$script_tree/scripts/debian13.sh" _inside "$root" "$(tree)" "$@"
}

case "${1:-}" in
create)
  [ $# -eq 2 ] || { [ $# -eq 3 ] && [ "$3" = --bare ]; } || usage
  mkdir -p "$2"
  create "$(cd "$2" && pwd)" "${3:-}"
  ;;
run)
  [ $# -ge 3 ] || usage
  shift
  run "$@"
  ;;
_inside)
  shift
  inside "$@"
  ;;
*) usage ;;
esac
