#!/usr/bin/env bash
# Router builds: cross-builds the static executables for the router
# targets (MIPS both ways round, ARMv7 soft-float, 64-bit ARM), runs the
# whole test suite against each under qemu-user (the slow time-out cases
# included), checks that each writes and reads the queue bytes the host
# build does (in its own byte order), holds each executable to its size
# limit, and prints the sizes. Run as root.
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

# The host build the router builds are compared with.
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
    big=0
    [ "$triplet" = mips-linux-gnu ] && big=1
    QV2_OTHER_JOBS="$PWD/$dir/emulated/qv2_jobs" QV2_OTHER_DETECT="$PWD/$dir/emulated/qv2_detect" \
        QV2_OTHER_BIG_ENDIAN=$big \
        ctest --test-dir build -R '^WordSize\.' --output-on-failure --no-tests=error
    kind=static
    [ -f "/usr/$triplet/lib/rcrt1.o" ] && kind=static-pie
    scripts/check-hardening.sh "$dir/driver/qv2_detect" "$kind"
    size=$(stat -c %s "$dir/driver/qv2_detect")
    sizes+=$(printf '%-22s qv2_detect %8d bytes, qv2_jobs %8d bytes\n' "$triplet" "$size" \
        "$(stat -c %s "$dir/jobs/qv2_jobs")")$'\n'
    # A router's flash is small: the detector stays within 1 MiB. On MIPS
    # the static C library alone is over half of that (an empty program
    # is 540 KiB), and a static PIE carries its relocations (64-bit ARM),
    # so there the limit is 1.125 MiB.
    limit=1152
    [ "$triplet" = arm-linux-gnueabi ] && limit=1024
    if [ "$size" -gt $((limit * 1024)) ]; then
        echo "$triplet: qv2_detect is $size bytes, more than $limit KiB" >&2
        exit 1
    fi
done
echo "stripped static executables:"
printf '%s' "$sizes"
echo "router builds passed"
