#!/usr/bin/env bash
# Benchmarks the release build of qv2_detect in the tests' sandbox and prints
# a table of medians: bench/run.sh [--runs N]. Run as root. Not a test.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
need_packages "${BUILD_PACKAGES[@]}" iproute2 util-linux nginx-light strace time curl openssl valgrind
need_mbedtls
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DQV2_STATIC=ON -DQV2_TESTS=ON >/dev/null
cmake --build build-bench -j"$(nproc)" --target qv2_detect qv2_bench bare_client >/dev/null
exec build-bench/bench/qv2_bench --detector "$PWD/build-bench/driver/qv2_detect" \
    --bare "$PWD/build-bench/bench/bare_client" "$@"
