#!/usr/bin/env bash
# Packages a router owner installs: for each router target, builds the
# static executables and makes dist/ARCH/qv2-detect_VERSION_ARCH.ipk as the
# router feed's ipkg-build makes them (a gzip'd tar of ./debian-binary,
# ./data.tar.gz and ./control.tar.gz, owners root, names sorted, times
# fixed), with the feed's control fields and architecture names, and a feed
# index beside it (dist/ARCH/Packages and Packages.gz). Then checks each
# package as the feed's client reads it: from the index, into a scratch
# root, where its qv2_detect does a detection run under qemu-user, and out
# again. Run as root.
#   scripts/package.sh [--no-check]
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
need_packages "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}"
need_mbedtls
need_cross_packages

# The project's one version, where CMake keeps it.
version=$(sed -n 's/^project(qv2_detect VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
# What the feed's packages carry the same way: sorted names, root, one time.
tar_opts=(--format=gnu --owner=0 --group=0 --numeric-owner --sort=name --mtime=@0)
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
    # The libraries built in, and so the security fixes the package has.
    emulator=$(sed -n 's/^set(QV2_EMULATOR \(.*\))/\1/p' "cmake/$triplet.cmake")
    "$emulator" "$dir/jobs/qv2_jobs" --version >"$root/opt/share/doc/qv2-detect/VERSIONS"
    chmod 0644 "$root/opt/share/doc/qv2-detect/VERSIONS"
    mkdir -p "$work/control"
    # No field may begin with another's name: the feed's client matches
    # field names by their start, so "SourceName" would be read as "Source".
    cat >"$work/control/control" <<CONTROL
Package: qv2-detect
Version: $version
Depends: ca-bundle
Source: qv2-detect
License: MIT
LicenseFiles: LICENSE
Section: net
URL: http://qv2-detect.invalid/
Maintainer: qv2-detect developers <qv2-detect@users.invalid>
Architecture: $arch
Installed-Size: $(find "$root" -type f -printf '%s\n' | awk '{ n += $1 } END { print n }')
Description: URL type detector of the qv2 download manager
 Sorts the download manager's new jobs to the right downloader (HTTP,
 FTP, BitTorrent, NZB, ed2k) by probing their URLs. https links use the
 CA bundle at /opt/etc/ssl/certs/ca-certificates.crt (ca-bundle).
CONTROL
    echo "2.0" >"$work/debian-binary"
    (cd "$work/control" && tar "${tar_opts[@]}" -cf - ./control | gzip -n9 >"$work/control.tar.gz")
    (cd "$root" && tar "${tar_opts[@]}" -cf - . | gzip -n9 >"$work/data.tar.gz")
    mkdir -p "dist/$arch"
    name=qv2-detect_${version}_$arch.ipk
    (cd "$work" && tar "${tar_opts[@]}" -cf - ./debian-binary ./data.tar.gz ./control.tar.gz |
        gzip -n9 >"$OLDPWD/dist/$arch/$name")
    # The feed index: the control fields, where the file is, its size and
    # checksum, then a blank line.
    {
        sed '/^Description:/,$d' "$work/control/control"
        echo "Filename: $name"
        echo "Size: $(stat -c %s "dist/$arch/$name")"
        echo "SHA256sum: $(sha256sum "dist/$arch/$name" | cut -d' ' -f1)"
        sed -n '/^Description:/,$p' "$work/control/control"
        echo
    } >"dist/$arch/Packages"
    gzip -n9 -c "dist/$arch/Packages" >"dist/$arch/Packages.gz"
    rm -rf "$work"
    packages+=("$PWD/dist/$arch:$arch:$emulator")
    echo "dist/$arch/$name"
done

[ "${1:-}" = "--no-check" ] && exit 0
cmake -S . -B build -DQV2_WERROR=ON -DQV2_TESTS=ON >/dev/null
cmake --build build -j"$(nproc)" --target driver_test >/dev/null
QV2_FEEDS="${packages[*]}" QV2_VERSION="$version" \
    ctest --test-dir build -R '^Package\.' --output-on-failure --no-tests=error
echo "packages checked"
