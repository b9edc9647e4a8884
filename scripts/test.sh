#!/usr/bin/env bash
# Builds everything and passes every test: the house checks (clang-format,
# clang-tidy), the release-like build with all tests, a second build under
# AddressSanitizer + UndefinedBehaviorSanitizer (clang, with the fuzz
# targets) running all but the slow time-out cases, the router builds
# (mipsel, mips, armv7 soft-float, aarch64) with all tests under qemu-user,
# and the router packages, checked.
# Run as root: the end-to-end tests need private namespaces.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
need_packages "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}"
need_mbedtls

jobs=$(($(nproc) * 3))

cmake -S . -B build -DQV2_WERROR=ON -DQV2_TESTS=ON
cmake --build build -j"$(nproc)"
scripts/lint.sh
scripts/check-hardening.sh build/driver/qv2_detect
ctest --test-dir build -j"$jobs" --output-on-failure

CC=clang CXX=clang++ cmake -S . -B build-san -DCMAKE_BUILD_TYPE=Debug \
    -DQV2_WERROR=ON -DQV2_TESTS=ON -DQV2_SANITIZE=ON -DQV2_FUZZ=ON
cmake --build build-san -j"$(nproc)"
export ASAN_OPTIONS=detect_leaks=1:halt_on_error=1:detect_stack_use_after_return=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
ctest --test-dir build-san -j"$jobs" --output-on-failure -LE slow
unset ASAN_OPTIONS UBSAN_OPTIONS

scripts/cross-test.sh
scripts/package.sh
echo "all tests passed"
