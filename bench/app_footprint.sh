#!/usr/bin/env bash
# Whole-process footprint of the tray application on the virtual laptop under a virtual X
# display: resident memory once launched, and CPU used while idle over one minute.
#
#   bench/app_footprint.sh [build-folder] [idle-seconds]
#
# Prints one line per figure. Needs xvfb-run (Debian xvfb).
set -euo pipefail
build=${1:-build}
idle=${2:-60}
app="$build/app/noctave"
[ -x "$app" ] || { echo "app_footprint: $app not built" >&2; exit 1; }

home=$(mktemp -d)
log="$home/noctave.log"
trap 'rm -rf "$home"' EXIT
export NOCTAVE_PLATFORM=sim NOCTAVE_SIM_HOME="$home" IDLE="$idle" LOG="$log"

# shellcheck disable=SC2016  # expanded by the inner shell
xvfb-run -a bash -c '
  "$0" 2>"$LOG" &
  pid=$!
  for _ in $(seq 100); do grep -q "launch (v" "$LOG" 2>/dev/null && break; sleep 0.1; done
  sleep 2  # let the launch settle (first icon drawn, observers started)
  ticks=$(getconf CLK_TCK)
  rss_kb=$(awk "/^VmRSS:/ {print \$2}" /proc/$pid/status)
  cpu0=$(awk "{print \$14 + \$15}" /proc/$pid/stat)
  t0=$(date +%s.%N)
  sleep "$IDLE"
  cpu1=$(awk "{print \$14 + \$15}" /proc/$pid/stat)
  t1=$(date +%s.%N)
  threads=$(awk "/^Threads:/ {print \$2}" /proc/$pid/status)
  kill -TERM "$pid"
  wait "$pid" || true
  awk -v rss="$rss_kb" -v c0="$cpu0" -v c1="$cpu1" -v t0="$t0" -v t1="$t1" -v hz="$ticks" \
      -v threads="$threads" "BEGIN {
    cpu = (c1 - c0) / hz; wall = t1 - t0;
    printf \"resident memory after launch: %.1f MiB\n\", rss / 1024;
    printf \"idle CPU over %.0f s: %.3f s of CPU (%.3f %% of one core), %d threads\n\", wall, cpu, 100 * cpu / wall, threads;
  }"
' "$app"
grep -q "clean exit" "$log" && echo "ended with: clean exit" || { echo "no clean exit in the log:" >&2; cat "$log" >&2; exit 1; }
