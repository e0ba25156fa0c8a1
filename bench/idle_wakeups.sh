#!/usr/bin/env bash
# Wake-ups of the tray application while nothing happens (no gesture, the curtain hidden), on
# the virtual laptop under a virtual X display: the context switches of each thread over a
# quiet stretch, per second. A sleeping thread switches once per wake-up, so this counts them.
#
#   bench/idle_wakeups.sh [build-folder] [seconds]
#
# Needs xvfb-run (Debian xvfb).
set -euo pipefail
build=${1:-build}
seconds=${2:-20}
app="$build/app/noctave"
[ -x "$app" ] || { echo "idle_wakeups: $app not built" >&2; exit 1; }

home=$(mktemp -d)
log="$home/noctave.log"
trap 'rm -rf "$home"' EXIT
export NOCTAVE_PLATFORM=sim NOCTAVE_SIM_HOME="$home" SECONDS_QUIET="$seconds" LOG="$log"

# shellcheck disable=SC2016  # expanded by the inner shell
xvfb-run -a bash -c '
  "$0" 2>"$LOG" &
  pid=$!
  for _ in $(seq 100); do grep -q "launch (v" "$LOG" 2>/dev/null && break; sleep 0.1; done
  sleep 2
  switches() {
    for task in /proc/$pid/task/*; do
      name=$(cat "$task/comm")
      awk -v tid="${task##*/}" -v name="$name" \
        "/^(voluntary|nonvoluntary)_ctxt_switches:/ {n += \$2} END {print tid, name, n}" \
        "$task/status"
    done
  }
  switches >"$LOG.before"
  sleep "$SECONDS_QUIET"
  switches >"$LOG.after"
  kill -TERM "$pid"
  wait "$pid" || true
  join <(sort "$LOG.before") <(sort "$LOG.after") | awk -v s="$SECONDS_QUIET" -v pid="$pid" "
    { rate = (\$NF - \$3) / s; total += rate;
      printf \"  %-18s %7.1f wake-ups/s%s\n\", \$2, rate, (\$1 == pid ? \"  (main thread)\" : \"\") }
    END { printf \"whole program while idle: %.1f wake-ups/s over %d s\n\", total, s }"
' "$app"
