#!/usr/bin/env bash
# Runs every fuzz target for a bounded time with its seeds and dictionary; exits non-zero on the
# first finding. Usage: fuzz/run-all.sh <build-folder> [seconds per target, default 60]
set -euo pipefail
build=$1
seconds=${2:-60}
here=$(cd "$(dirname "$0")" && pwd)
for target in remote_config remote_config_loader; do
    corpus="$build/fuzz/corpus-$target"
    mkdir -p "$corpus"
    echo "== fuzz $target for ${seconds}s"
    "$build/fuzz/noctave_${target}_fuzz" -dict="$here/remote_config.dict" \
        -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$build/fuzz/$target-" \
        "$corpus" "$here/seeds/remote_config"
done
