# Sourced by the project's commands: installs the Debian packages they need
# when missing, without ever letting a package start a daemon on this machine,
# and builds the libraries the detector links. Run as a command it builds
# one: scripts/deps.sh mbedtls|c-ares [TRIPLET] (default: this machine's).

# need_packages PKG...: installs whichever of PKG are not installed yet.
need_packages() {
    local missing=() p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
            missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "missing packages: ${missing[*]} (run as root to install them)" >&2
        return 1
    fi
    # Server packages (nginx, vsftpd) would start their daemons on install;
    # policy-rc.d answering 101 forbids that.
    local policy=/usr/sbin/policy-rc.d saved=""
    if [ ! -x "$policy" ] || { "$policy" >/dev/null 2>&1; [ $? -ne 101 ]; }; then
        [ -e "$policy" ] && { saved=$(mktemp); cp -p "$policy" "$saved"; }
        printf '#!/bin/sh\nexit 101\n' >"$policy"
        chmod 755 "$policy"
    fi
    export DEBIAN_FRONTEND=noninteractive
    echo "installing: ${missing[*]}" >&2
    local rc=0
    apt-get install -y --no-install-recommends "${missing[@]}" >&2 ||
        { apt-get update >&2 && apt-get install -y --no-install-recommends "${missing[@]}" >&2; } ||
        rc=$?
    if [ -n "$saved" ]; then cp -p "$saved" "$policy"; rm -f "$saved"; fi
    return $rc
}

BUILD_PACKAGES=(cmake make g++ pkg-config libc-ares-dev libgtest-dev xz-utils bzip2 patch)
TEST_PACKAGES=(clang clang-format clang-tidy libclang-rt-14-dev iproute2 util-linux nginx-light vsftpd
    apache2 gnutls-bin python3 groff-base strace time openssl ca-certificates socat)

# The router targets: the cross compiler's triplet, and the architecture
# name the router package feeds use for it.
CROSS_TARGETS=(mipsel-linux-gnu:mipsel-3.4 mips-linux-gnu:mips-3.4 arm-linux-gnueabi:armv7-3.2
    aarch64-linux-gnu:aarch64-3.10)

# need_cross_packages: Debian's cross compilers and qemu-user for the router
# targets, and the libraries built for each.
need_cross_packages() {
    local t pkgs=(qemu-user)
    for t in "${CROSS_TARGETS[@]}"; do
        pkgs+=("g++-${t%%:*}")
    done
    need_packages "${pkgs[@]}"
    for t in "${CROSS_TARGETS[@]}"; do
        need_dep mbedtls "${t%%:*}"
        need_dep c-ares "${t%%:*}"
    done
}

# ---- Libraries built by the project -------------------------------------------
# A static executable never gets the distribution's fixes, so the detector
# links one maintained mbedTLS (the 3.6 LTS line: TLS 1.3, handshake
# reassembly) that the project builds itself, for this machine and every
# router target alike, with its own configuration (deps/mbedtls_config.h);
# the router builds link c-ares built the same way (Debian has no
# big-endian MIPS packages to link against). Each source is the upstream
# release pinned in deps/NAME.version, by version and by the SHA-256 of its
# tarball, as a Debian source package carries it (checked by apt against
# the signed index, fetched through a private sources list; the machine's
# own stays as it is), with that package's patch series applied first:
# Debian's security fixes ship too. The suites are tried in order, so a
# fresh clone keeps building when one moves on. Built libraries are kept
# outside the work tree, keyed by version, target and every deps/NAME file
# (configuration, patches): CMakeLists.txt works out the same key.
QV2_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
DEPS_CACHE=${QV2_DEPS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/qv2-detect}
# deps/NAME.version: the upstream version, the SHA-256 of its tarball, and
# the Debian suites to look for it in, in order.
dep_version() {
    sed -n 1p "$QV2_ROOT/deps/$1.version"
}
dep_sha256() {
    sed -n 2p "$QV2_ROOT/deps/$1.version"
}
dep_suites() {
    sed -n 3p "$QV2_ROOT/deps/$1.version"
}

# dep_dir NAME TRIPLET: where the library NAME for TRIPLET is (or goes).
# The key covers every deps/NAME file, this script (how it builds) and, for
# a router, its toolchain.
dep_dir() {
    local sum toolchain=()
    [ -f "$QV2_ROOT/cmake/$2.cmake" ] &&
        toolchain=("$QV2_ROOT/cmake/$2.cmake" "$QV2_ROOT/cmake/cross-common.cmake")
    sum=$( (cd "$QV2_ROOT/deps" && LC_ALL=C ls -1 | LC_ALL=C grep -E "^$1[._-]" | LC_ALL=C sort |
        xargs cat; cat "$QV2_ROOT/scripts/deps.sh" "${toolchain[@]}" /dev/null) | sha256sum)
    echo "$DEPS_CACHE/$1-$(dep_version "$1")-$2-${sum:0:12}"
}

# dep_source NAME: a folder holding a Debian source package of NAME with
# the pinned upstream tarball (fetched once): NAME_*.orig.tar.* and
# NAME_*.debian.tar.*.
dep_source() {
    local version sum suite src apt
    version=$(dep_version "$1")
    sum=$(dep_sha256 "$1")
    src=$DEPS_CACHE/src/$1-$version-${sum:0:12}
    if ! ls "$src/$1"_*.debian.tar.* >/dev/null 2>&1; then
        for suite in $(dep_suites "$1"); do
            apt=$DEPS_CACHE/apt-$suite
            mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial"
            echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg]" \
                "http://deb.debian.org/debian $suite main" >"$apt/sources.list"
            local opts=(-o "Dir::Etc::SourceList=$apt/sources.list"
                -o Dir::Etc::SourceParts=/dev/null -o "Dir::State::Lists=$apt/lists"
                -o "Dir::Cache=$apt/cache" -o APT::Sandbox::User=root)
            apt-get -q "${opts[@]}" update >/dev/null 2>&1 || continue
            local debian
            for debian in $(apt-cache "${opts[@]}" showsrc "$1" 2>/dev/null |
                sed -n "s/^Version: \(${version}-.*\)/\1/p"); do
                rm -rf "$src.tmp" && mkdir -p "$src.tmp"
                (cd "$src.tmp" && apt-get -q "${opts[@]}" source --download-only \
                    "$1=$debian" >/dev/null 2>&1) || continue
                if (cd "$src.tmp" && ls "$1"_*.orig.tar.* | grep -v '\.asc$' |
                    xargs sha256sum | grep -q "^$sum "); then
                    echo "$1 $version: Debian's $debian ($suite)" >&2
                    rm -rf "$src" && mv "$src.tmp" "$src"
                    break 2
                fi
            done
        done
        rm -rf "$src.tmp"
        if ! ls "$src/$1"_*.debian.tar.* >/dev/null 2>&1; then
            echo "no Debian suite ($(dep_suites "$1")) has $1 $version with the pinned tarball" >&2
            return 1
        fi
    fi
    echo "$src"
}

# need_dep NAME [TRIPLET]: builds the static library NAME (mbedtls or
# c-ares) for TRIPLET unless the cache has it; a cross target builds with
# its toolchain file. mbedTLS's patches (deps/mbedtls-*.patch): one lets a
# handshake message span up to 64 KiB of records (long certificate chains;
# the library reassembles them only within one record's buffer), one lets
# a TLS 1.2 server sign its key exchange with the RSA-PSS the client
# offers (the library offers it but refused the answer).
need_dep() {
    local name=$1 triplet=${2:-$(gcc -dumpmachine)} dir src work
    dir=$(dep_dir "$name" "$triplet")
    [ -d "$dir/lib" ] && return 0
    command -v patch >/dev/null || need_packages patch
    src=$(dep_source "$name")
    work=$(mktemp -d)
    mkdir "$work/src"
    tar -xf "$(ls "$src/$name"_*.orig.tar.* | grep -v '\.asc$')" -C "$work/src" --strip-components=1
    tar -xf "$(ls "$src/$name"_*.debian.tar.*)" -C "$work/src"
    local p opts=()
    # Debian's series first (its fixes), then the project's own patches.
    if [ -f "$work/src/debian/patches/series" ]; then
        for p in $(sed 's/#.*//' "$work/src/debian/patches/series"); do
            patch -d "$work/src" -p1 --quiet <"$work/src/debian/patches/$p"
        done
    fi
    for p in "$QV2_ROOT/deps/$name"-*.patch; do
        [ -f "$p" ] && patch -d "$work/src" -p1 --quiet <"$p"
    done
    case $name in
    mbedtls)
        opts=(-DMBEDTLS_CONFIG_FILE="$QV2_ROOT/deps/mbedtls_config.h" -DENABLE_TESTING=OFF
            -DENABLE_PROGRAMS=OFF -DUSE_SHARED_MBEDTLS_LIBRARY=OFF -DMBEDTLS_FATAL_WARNINGS=OFF) ;;
    c-ares)
        opts=(-DCARES_STATIC=ON -DCARES_SHARED=OFF -DCARES_BUILD_TOOLS=OFF -DCARES_BUILD_TESTS=OFF) ;;
    esac
    # The host's libraries are position-independent (its executables are
    # PIE); a router's follow its toolchain file.
    # Hardened as the detector is (see CMakeLists.txt).
    local hardening="-fstack-protector-strong -fstack-clash-protection -D_FORTIFY_SOURCE=2"
    hardening+=" -Wformat -Werror=format-security"
    local cross=(-DCMAKE_POSITION_INDEPENDENT_CODE=ON) flags="-O2 $hardening"
    if [ "$triplet" != "$(gcc -dumpmachine)" ]; then
        cross=(-DCMAKE_TOOLCHAIN_FILE="$QV2_ROOT/cmake/$triplet.cmake")
        # LTO objects, linked whole program (smaller), with their code
        # beside for a link without LTO. No unwind tables: this C code
        # throws nothing, and an exception from a callback into the
        # detector ends the run the same way with or without them, as
        # nothing catches it (a fifteenth of the 64-bit ARM executable).
        flags="-Os $hardening -ffunction-sections -fdata-sections -flto -ffat-lto-objects"
        flags+=" -fno-asynchronous-unwind-tables -fno-unwind-tables"
    fi
    echo "building $name $(dep_version "$name") for $triplet" >&2
    # Through CFLAGS, so that a toolchain's own flags (the ARM
    # architecture, the float ABI) are kept beside them.
    CFLAGS="$flags" cmake -S "$work/src" -B "$work/build" "${cross[@]}" -DCMAKE_BUILD_TYPE=None \
        "${opts[@]}" \
        -DCMAKE_INSTALL_PREFIX="$dir.tmp" -DCMAKE_INSTALL_LIBDIR=lib >/dev/null
    cmake --build "$work/build" -j"$(nproc)" >/dev/null
    rm -rf "$dir.tmp" && cmake --install "$work/build" >/dev/null
    # Whoever includes mbedTLS's headers gets this configuration.
    if [ "$name" = mbedtls ]; then
        cp "$QV2_ROOT/deps/mbedtls_config.h" "$dir.tmp/include/mbedtls/mbedtls_config.h"
    fi
    rm -rf "$work" "$dir" && mv "$dir.tmp" "$dir"
}

# need_mbedtls [TRIPLET]: mbedTLS for TRIPLET (default: this machine).
need_mbedtls() {
    need_dep mbedtls "${1:-}"
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    set -euo pipefail
    case "${1:-}" in
    mbedtls | c-ares) need_dep "$1" "${2:-}" ;;
    *) echo "usage: scripts/deps.sh mbedtls|c-ares [TRIPLET]" >&2; exit 1 ;;
    esac
fi
