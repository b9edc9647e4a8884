#!/usr/bin/env bash
# Packages a router owner installs: for each router target, builds the
# static executables and makes dist/qv2-detect_VERSION_ARCH.ipk in the form
# the router package managers install (an ar archive of debian-binary,
# control.tar.gz and data.tar.gz), with the architecture names of the
# common router feed, then checks each package: dpkg-deb reads it, its
# control fields, files and modes are right, and its qv2_detect, unpacked
# into a scratch root, does a detection run under qemu-user. Run as root.
#   scripts/package.sh [--no-check]
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
need_packages "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}" binutils
need_mbedtls
need_cross_packages

# The project's one version, where CMake keeps it.
version=$(sed -n 's/^project(qv2_detect VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
mkdir -p dist
packages=()
for t in "${CROSS_TARGETS[@]}"; do
    triplet=${t%%:*} arch=${t#*:}
    dir=build-$triplet
    cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE="cmake/$triplet.cmake" \
        -DCMAKE_BUILD_TYPE=MinSizeRel -DQV2_WERROR=ON -DQV2_TESTS=ON >/dev/null
    cmake --build "$dir" -j"$(nproc)" --target qv2_detect qv2_jobs >/dev/null

    work=$(mktemp -d)
    root=$work/data
    install -D -m 0755 "$dir/driver/qv2_detect" "$root/opt/bin/qv2_detect"
    install -D -m 0755 "$dir/jobs/qv2_jobs" "$root/opt/bin/qv2_jobs"
    install -D -m 0644 man/qv2_detect.8 "$root/opt/share/man/man8/qv2_detect.8"
    install -D -m 0644 man/qv2_jobs.1 "$root/opt/share/man/man1/qv2_jobs.1"
    install -D -m 0644 LICENSE "$root/opt/share/doc/qv2-detect/LICENSE"
    mkdir -p "$work/control"
    cat >"$work/control/control" <<CONTROL
Package: qv2-detect
Version: $version
Architecture: $arch
Maintainer: qv2-detect developers <qv2-detect@users.invalid>
License: MIT
Section: net
Installed-Size: $(du -sk --apparent-size "$root/opt" | cut -f1)
Description: URL type detector of the qv2 download manager
 Sorts the download manager's new jobs to the right downloader (HTTP,
 FTP, BitTorrent, NZB, ed2k) by probing their URLs. https links need a
 CA bundle at /opt/etc/ssl/certs/ca-certificates.crt (the ca-certificates
 package).
CONTROL
    echo "2.0" >"$work/debian-binary"
    tar_opts=(--owner=root:0 --group=root:0 --sort=name --mtime=@0)
    tar -czf "$work/control.tar.gz" "${tar_opts[@]}" -C "$work/control" ./control
    tar -czf "$work/data.tar.gz" "${tar_opts[@]}" -C "$root" ./opt
    pkg=dist/qv2-detect_${version}_$arch.ipk
    rm -f "$pkg"
    (cd "$work" && ar rc "$OLDPWD/$pkg" debian-binary control.tar.gz data.tar.gz)
    rm -rf "$work"
    packages+=("$PWD/$pkg:$arch:$(sed -n 's/^set(QV2_EMULATOR \(.*\))/\1/p' "cmake/$triplet.cmake")")
    echo "$pkg"
done

[ "${1:-}" = "--no-check" ] && exit 0
cmake -S . -B build -DQV2_WERROR=ON -DQV2_TESTS=ON >/dev/null
cmake --build build -j"$(nproc)" --target driver_test >/dev/null
QV2_PACKAGES="${packages[*]}" QV2_VERSION="$version" \
    ctest --test-dir build -R '^Package\.' --output-on-failure --no-tests=error
echo "packages checked"
