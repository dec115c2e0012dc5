#!/usr/bin/env bash
# Regression run of the fuzz harnesses: every checked-in corpus file once
# through its harness (seconds, no new inputs).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/fuzz_build.sh
for h in build-fuzz/fuzz/kq_fuzz_*; do
    t=${h##*/kq_fuzz_}
    [[ -d fuzz/corpus/$t ]] || { echo "fuzz: no corpus for $t" >&2; exit 1; }
    printf '== replay %-12s %3d inputs\n' "$t" "$(ls "fuzz/corpus/$t" | wc -l)"
    "$h" -runs=0 -timeout=10 -rss_limit_mb=2048 "fuzz/corpus/$t" >"build-fuzz/replay-$t.log" 2>&1 ||
        { tail -n 40 "build-fuzz/replay-$t.log"; exit 1; }
done
