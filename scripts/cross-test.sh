#!/usr/bin/env bash
# Router builds: cross-builds the static executables for mipsel and armhf
# routers, runs the whole test suite against them under qemu-user (the slow
# time-out cases included), checks that the 32-bit and 64-bit builds write
# and read the same queue bytes, and prints the sizes. Run as root.
#   scripts/cross-test.sh [--fast]     --fast leaves out the slow cases
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
need_packages "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}"
need_mbedtls
need_cross_packages

select=()
[ "${1:-}" = "--fast" ] && select=(-LE slow)
jobs=$(($(nproc) * 3))

# The host build the 32-bit one is compared with.
cmake -S . -B build -DQV2_WERROR=ON -DQV2_TESTS=ON >/dev/null
cmake --build build -j"$(nproc)" --target jobs_test qv2_jobs qv2_detect

sizes=""
for t in "${CROSS_TARGETS[@]}"; do
    triplet=${t%%:*}
    dir=build-$triplet
    cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE="cmake/$triplet.cmake" \
        -DCMAKE_BUILD_TYPE=MinSizeRel -DQV2_WERROR=ON -DQV2_TESTS=ON >/dev/null
    cmake --build "$dir" -j"$(nproc)"
    ctest --test-dir "$dir" -j"$jobs" --output-on-failure "${select[@]}"
    QV2_OTHER_JOBS="$PWD/$dir/emulated/qv2_jobs" QV2_OTHER_DETECT="$PWD/$dir/emulated/qv2_detect" \
        ctest --test-dir build -R '^WordSize\.' --output-on-failure --no-tests=error
    sizes+=$(printf '%-22s qv2_detect %8d bytes, qv2_jobs %8d bytes\n' "$triplet" \
        "$(stat -c %s "$dir/driver/qv2_detect")" "$(stat -c %s "$dir/jobs/qv2_jobs")")$'\n'
done
echo "stripped static executables:"
printf '%s' "$sizes"
echo "router builds passed"
