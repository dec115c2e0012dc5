#!/usr/bin/env bash
# Builds the libFuzzer harnesses into build-fuzz/ with clang (KQ_FUZZ=ON).
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKQ_FUZZ=ON -DKQ_BUILD_TESTS=OFF -DKQ_BUILD_BENCH=OFF >build-fuzz.configure.log 2>&1 ||
    { cat build-fuzz.configure.log; exit 1; }
ninja -C build-fuzz -j "$jobs"
