#!/usr/bin/env bash
# The tray application's idle footprint, per state, under a virtual X display and a session bus
# of its own: resident memory, CPU seconds and wake-ups per second (context switches of all its
# threads) over the idle window.
#
#   bench/idle_footprint.sh [build-folder] [idle-seconds]
#
# States on the virtual laptop (which has a hinge sensor): disarmed, armed with the lid open,
# armed with the lid closed. Then armed with the lid closed on the Linux backend, against a
# private system bus with mocked logind and UPower (python3-dbusmock), as the bus tests run it.
# Arming goes through `noctave ctl arm`, as a script would. Prints one line per state.
# Needs xvfb-run, dbus-run-session, dbus-daemon and python3-dbusmock.
set -euo pipefail
build=${1:-build}
idle=${2:-60}
app=$(realpath "$build/app/noctave")
[ -x "$app" ] || { echo "idle_footprint: $app not built" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export APP="$app" IDLE="$idle"

# One state in its own X display and session bus. $1 label, $2 NOCTAVE_PLATFORM, $3 NOCTAVE_SIM,
# $4 "arm" or "".
measure() {
  local home="$work/$1"
  mkdir -p "$home/config"
  # A returning user: the first-run onboarding window is not part of the idle footprint.
  echo "hasSeenOnboarding = true" >"$home/config/com.quillor.noctave.conf"
  LABEL="$1" PLATFORM="$2" SIM="$3" ARM="$4" HOME_DIR="$home" \
    xvfb-run -a dbus-run-session -- bash -c '
    log="$HOME_DIR/noctave.log"
    NOCTAVE_PLATFORM="$PLATFORM" NOCTAVE_SIM="$SIM" NOCTAVE_SIM_HOME="$HOME_DIR" \
      XDG_STATE_HOME="$HOME_DIR/state" XDG_CONFIG_HOME="$HOME_DIR/config" \
      "$APP" 2>"$log" &
    pid=$!
    for _ in $(seq 100); do grep -q "launch (v" "$log" 2>/dev/null && break; sleep 0.1; done
    if [ -n "$ARM" ]; then
      for _ in $(seq 50); do "$APP" ctl arm >/dev/null 2>&1 && break; sleep 0.1; done
    fi
    sleep 2  # let the launch settle (first icon drawn, observers started)
    switches() {  # each thread of the process and its context switches so far
      for task in /proc/$pid/task/*; do
        awk -v tid="${task##*/}" "/^(non)?voluntary_ctxt_switches:/ {n += \$2} END {print tid, n}" \
          "$task/status" 2>/dev/null
      done
    }
    rss_kb=$(awk "/^VmRSS:/ {print \$2}" /proc/$pid/status)
    cpu0=$(awk "{print \$14 + \$15}" /proc/$pid/stat)
    switches >"$HOME_DIR/switches0"
    t0=$(date +%s.%N)
    sleep "$IDLE"
    cpu1=$(awk "{print \$14 + \$15}" /proc/$pid/stat)
    switches >"$HOME_DIR/switches1"
    # Threads that ended in between took their counts with them; those that began count whole.
    woken=$(awk "NR == FNR {before[\$1] = \$2; next} {n += \$2 - ((\$1 in before) ? before[\$1] : 0)}
                 END {print n + 0}" "$HOME_DIR/switches0" "$HOME_DIR/switches1")
    t1=$(date +%s.%N)
    threads=$(awk "/^Threads:/ {print \$2}" /proc/$pid/status)
    heartbeat=$(grep -o "flag heartbeat on ([^)]*)" "$log" | head -1 | sed "s/flag heartbeat on //")
    kill -TERM "$pid"
    wait "$pid" || true
    awk -v label="$LABEL" -v rss="$rss_kb" -v c0="$cpu0" -v c1="$cpu1" -v woken="$woken" \
        -v t0="$t0" -v t1="$t1" -v hz="$(getconf CLK_TCK)" -v threads="$threads" \
        -v heartbeat="${heartbeat:--}" "BEGIN {
      wall = t1 - t0; cpu = (c1 - c0) / hz;
      printf \"%-34s %5.1f MiB  %6.3f s CPU over %.0f s  %7.2f wake-ups/s  %2d threads  heartbeat %s\n\",
             label, rss / 1024, cpu, wall, woken / wall, threads, heartbeat;
    }"
    grep -q "clean exit" "$log" || { echo "$LABEL: no clean exit in the log:" >&2; cat "$log" >&2; }
    if [ -n "$ARM" ] && ! grep -q "armed" "$log"; then
      echo "$LABEL: the session did not arm:" >&2; cat "$log" >&2
    fi
  ' 2> >(grep -v "^dbus-daemon\[" >&2)  # the session bus daemon's own chatter
}

# A private system bus with mocked logind and UPower, the lid shut, for the Linux backend.
start_system_bus() {
  cat >"$work/system.conf" <<EOF
<busconfig><type>system</type><listen>unix:dir=$work</listen><auth>EXTERNAL</auth>
<policy context="default"><allow send_destination="*" eavesdrop="true"/>
<allow eavesdrop="true"/><allow own="*"/></policy></busconfig>
EOF
  dbus-daemon --config-file="$work/system.conf" --fork --print-address=1 --print-pid=3 \
    >"$work/system.address" 3>"$work/system.pid"
  DBUS_SYSTEM_BUS_ADDRESS=$(head -1 "$work/system.address")
  export DBUS_SYSTEM_BUS_ADDRESS
  /usr/bin/python3 -m dbusmock --system --template logind >/dev/null 2>&1 &
  echo $! >>"$work/mocks.pid"
  /usr/bin/python3 -m dbusmock --system --template upower >/dev/null 2>&1 &
  echo $! >>"$work/mocks.pid"
  for name in org.freedesktop.login1 org.freedesktop.UPower; do
    for _ in $(seq 100); do
      busctl --address="$DBUS_SYSTEM_BUS_ADDRESS" status "$name" >/dev/null 2>&1 && break
      sleep 0.1
    done
  done
  busctl --address="$DBUS_SYSTEM_BUS_ADDRESS" set-property org.freedesktop.UPower \
    /org/freedesktop/UPower org.freedesktop.UPower LidIsClosed b true
}
stop_system_bus() {
  xargs -r kill <"$work/mocks.pid" 2>/dev/null || true
  kill "$(cat "$work/system.pid")" 2>/dev/null || true
}

echo "idle footprint over $idle s per state:"
measure "sim: disarmed, sensor" sim "" ""
measure "sim: armed, lid open" sim "" arm
measure "sim: armed, lid closed" sim "lid=closed" arm
start_system_bus
measure "linux (mocked bus): armed, closed" linux "" arm
stop_system_bus
