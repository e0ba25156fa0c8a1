#!/usr/bin/env bash
# The README's run command: starts Noctave from the build folder.
#
#   - With systemd-logind (a real Linux laptop) it runs on the real backend.
#   - Without logind (a container, a build machine) it runs on the virtual laptop, and says so
#     in its first line, with the virtual laptop's window (--simulate). NOCTAVE_PLATFORM set by
#     hand always wins.
#   - Without a graphical session it starts Noctave on a virtual X display (xvfb-run) so the log
#     shows the launch working, then quits it after NOCTAVE_RUN_SECONDS (default 5) with the
#     same SIGTERM a session manager sends; the log ends with "clean exit".
set -euo pipefail
build=${1:-build}
shift || true
app="$build/app/noctave"

# logind must own its name on the system bus; leftover folders under /run/systemd prove nothing.
# The bus itself answers (`busctl status` asks for the owner's credentials, which a chroot
# without cgroups cannot give).
has_logind() {
  command -v busctl >/dev/null 2>&1 &&
    busctl --system --no-pager call org.freedesktop.DBus /org/freedesktop/DBus org.freedesktop.DBus \
      NameHasOwner s org.freedesktop.login1 2>/dev/null | grep -q '^b true$'
}

if [ -z "${NOCTAVE_PLATFORM:-}" ]; then
  if has_logind; then
    export NOCTAVE_PLATFORM=linux
  else
    echo "run: no systemd-logind here (a container?), so Noctave runs on the virtual laptop (NOCTAVE_PLATFORM=sim): nothing on this machine changes."
    export NOCTAVE_PLATFORM=sim
  fi
fi

# On the virtual laptop its window comes too: the lid, keys and power to play with. Its files
# (settings, where the window stood, the log) stay in the build folder between runs.
if [ "$NOCTAVE_PLATFORM" = sim ]; then
  set -- --simulate "$@"
  export NOCTAVE_SIM_HOME="${NOCTAVE_SIM_HOME:-$(cd "$build" && pwd)/sim-home}"
fi

if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
  exec "$app" "$@"
fi

seconds=${NOCTAVE_RUN_SECONDS:-5}
echo "run: no graphical session (neither DISPLAY nor WAYLAND_DISPLAY is set), so Noctave starts on a virtual X display (xvfb-run) where no tray can be seen; it quits by itself after ${seconds} s."
if ! command -v xvfb-run >/dev/null 2>&1; then
  echo "run: xvfb-run is missing (Debian package xvfb; scripts/install-deps.sh installs it)" >&2
  exit 1
fi
export NOCTAVE_RUN_SECONDS_INNER="$seconds"
# shellcheck disable=SC2016  # expanded by the inner shell
exec xvfb-run -a bash -c '
  "$0" "$@" &
  pid=$!
  sleep "$NOCTAVE_RUN_SECONDS_INNER"
  kill -TERM "$pid" 2>/dev/null || true
  wait "$pid"
' "$app" "$@"
