#!/usr/bin/env bash
# The README's run command: starts Noctave from the build folder.
set -euo pipefail
build=${1:-build}
exec "$build/app/noctave" "${@:2}"
