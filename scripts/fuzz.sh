#!/usr/bin/env bash
# A fuzzing campaign: scripts/fuzz.sh [target|all] [minutes per target]
# Builds the libFuzzer harnesses with clang (build-fuzz/), then runs each
# chosen target for the given minutes in one process (one core), starting from the
# checked-in corpus (fuzz/corpus/<target>) plus what earlier campaigns found
# (build-fuzz/corpus/<target>). A crash leaves its input in
# build-fuzz/artifacts/; add it to fuzz/corpus/<target>/ with the fix.
set -euo pipefail
cd "$(dirname "$0")/.."
target=${1:-all}
minutes=${2:-5}

bash scripts/fuzz_build.sh
targets=$(ls fuzz/corpus)
[[ $target == all ]] || targets=$target

mkdir -p build-fuzz/artifacts
for t in $targets; do
    [[ -x build-fuzz/fuzz/kq_fuzz_$t ]] || { echo "fuzz: no target $t" >&2; exit 2; }
    mkdir -p "build-fuzz/corpus/$t"
    echo "== fuzz $t for $minutes min"
    build-fuzz/fuzz/kq_fuzz_"$t" -max_total_time=$((minutes * 60)) \
        -dict=fuzz/imap.dict -max_len=65536 -timeout=10 -rss_limit_mb=2048 \
        -artifact_prefix=build-fuzz/artifacts/"$t"- -print_final_stats=1 \
        "build-fuzz/corpus/$t" "fuzz/corpus/$t" 2>&1 | tail -n 20
done
