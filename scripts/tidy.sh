#!/usr/bin/env bash
# clang-tidy over the product's sources with the checks in .clang-tidy; any finding fails.
#   scripts/tidy.sh BUILD_DIR          every source
#   scripts/tidy.sh BUILD_DIR BASE     only what changed since the commit BASE (a changed header
#                                      brings in the source of the same name)
# BUILD_DIR must be configured (its compile_commands.json names every flag).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
base=${2:-}

if [ ! -f "$build/compile_commands.json" ]; then
  echo "tidy: $build/compile_commands.json is missing; configure $build first" >&2
  exit 2
fi

mapfile -t sources < <(git ls-files 'core/*.cpp' 'platform/*.cpp' 'app/*.cpp')
if [ -n "$base" ]; then
  mapfile -t changed < <(git diff --name-only --diff-filter=d "$base" -- core platform app)
  declare -A wanted=()
  for file in "${changed[@]}"; do
    wanted["${file%.*}.cpp"]=1
  done
  selected=()
  for file in "${sources[@]}"; do
    if [ -n "${wanted[$file]:-}" ]; then
      selected+=("$file")
    fi
  done
  sources=("${selected[@]}")
fi

if [ ${#sources[@]} -eq 0 ]; then
  echo "tidy: no source to check"
  exit 0
fi
echo "tidy: ${#sources[@]} sources"
# clang-tidy counts the warnings it hid in system headers on stderr; only findings are news.
printf '%s\0' "${sources[@]}" |
  xargs -0 -n 1 -P "$(nproc)" clang-tidy -p "$build" --quiet --warnings-as-errors='*' \
    2> >(grep -v ' warnings\? generated\.$' >&2)
