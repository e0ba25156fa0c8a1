#!/usr/bin/env bash
# Runs every fuzz target with its seeds and dictionary; exits non-zero on the first finding.
# Usage: fuzz/run-all.sh <build-folder> [seconds per target, default 60] [runs per target]
# The mutation seed is fixed, so a run repeats the same inputs: a slower machine stops earlier on
# the same sequence and a finding can always be replayed. FUZZ_SEED picks another sequence.
set -euo pipefail
build=$1
seconds=${2:-60}
runs=${3:-20000}
here=$(cd "$(dirname "$0")" && pwd)
# A run stays under 256 MB, and libFuzzer fails it if not. ASan holds freed memory back to catch a
# late use (256 MB of it by default, which alone would pass the limit): 64 MB still spans
# thousands of inputs.
export ASAN_OPTIONS=${ASAN_OPTIONS:-quarantine_size_mb=64}
for target in remote_config remote_config_loader; do
    corpus="$build/fuzz/corpus-$target"
    mkdir -p "$corpus"
    echo "== fuzz $target for ${seconds}s"
    "$build/fuzz/noctave_${target}_fuzz" -dict="$here/remote_config.dict" \
        -seed="${FUZZ_SEED:-1}" -runs="$runs" -rss_limit_mb=256 -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$build/fuzz/$target-" \
        "$corpus" "$here/seeds/remote_config"
done
