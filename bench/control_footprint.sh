#!/usr/bin/env bash
# What the control interface costs: the median Status round trip over 1,000 calls against the
# running program on the virtual laptop, and the resident memory the service adds (the same
# launch with and without a session bus to serve, each the median of three).
#
#   bench/control_footprint.sh [build-folder]
set -euo pipefail
build=${1:-build}
app="$build/app/noctave"
bench="$build/bench/noctave_bench_control"
[ -x "$app" ] && [ -x "$bench" ] || { echo "control_footprint: build noctave and noctave_bench_control" >&2; exit 1; }

dir=$(mktemp -d)
bus_pid=
trap '[ -n "$bus_pid" ] && kill "$bus_pid"; rm -rf "$dir"' EXIT
dbus-daemon --session --fork --print-address=1 --print-pid=1 --address="unix:dir=$dir" >"$dir/bus"
bus=$(sed -n 1p "$dir/bus")
bus_pid=$(sed -n 2p "$dir/bus")
export NOCTAVE_PLATFORM=sim QT_QPA_PLATFORM=offscreen

# Starts the program with the given bus address, waits for its launch to settle, and leaves it
# running: its pid in $pid, its resident memory (KiB) in $rss.
launch() {
  DBUS_SESSION_BUS_ADDRESS="$1" NOCTAVE_SIM_HOME="$dir/home-$2" "$app" >/dev/null 2>"$dir/log-$2" &
  pid=$!
  for _ in $(seq 100); do grep -q "control interface" "$dir/log-$2" 2>/dev/null && break; sleep 0.1; done
  sleep 2
  rss=$(awk '/^VmRSS:/ {print $2}' "/proc/$pid/status")
}
stop() { kill -TERM "$pid"; wait "$pid" || true; }
median() { sort -n | sed -n 2p; }

with=(); without=()
for run in 1 2 3; do
  launch "$bus" "with-$run"; with+=("$rss"); stop
  launch "unix:path=$dir/no-bus" "without-$run"; without+=("$rss"); stop
done
grep -q "control interface unavailable" "$dir/log-without-1" || { echo "control_footprint: the service started without a bus" >&2; exit 1; }
rss_with=$(printf '%s\n' "${with[@]}" | median)
rss_without=$(printf '%s\n' "${without[@]}" | median)

launch "$bus" latency
DBUS_SESSION_BUS_ADDRESS="$bus" "$bench" 1000
after=$(awk '/^VmRSS:/ {print $2}' "/proc/$pid/status")
stop
awk -v w="$rss_with" -v wo="$rss_without" -v a="$after" 'BEGIN {
  printf "resident memory after launch: %.1f MiB with the control interface, %.1f MiB without: %+d KiB\n", w / 1024, wo / 1024, w - wo;
  printf "resident memory after 1,000 Status calls: %.1f MiB\n", a / 1024;
}'
