# Sourced by the project's commands: installs the Debian packages they need
# when missing, without ever letting a package start a daemon on this machine,
# and builds the TLS library the detector links. Run as a command it builds
# that library: scripts/deps.sh mbedtls [TRIPLET] (default: this machine's).

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
    groff-base strace time openssl ca-certificates socat)

CROSS_TARGETS=(mipsel-linux-gnu:mipsel arm-linux-gnueabihf:armhf)

# need_cross_packages: Debian's cross compilers, qemu-user and c-ares for the
# router targets (from the multiarch archive), and the TLS library built for
# each.
need_cross_packages() {
    local t arch pkgs=(qemu-user)
    for t in "${CROSS_TARGETS[@]}"; do
        arch=${t#*:}
        if ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
            [ "$(id -u)" -eq 0 ] || { echo "run as root to add the $arch architecture" >&2; return 1; }
            dpkg --add-architecture "$arch"
        fi
        pkgs+=("crossbuild-essential-$arch" "libc-ares-dev:$arch")
    done
    need_packages "${pkgs[@]}"
    for t in "${CROSS_TARGETS[@]}"; do
        need_mbedtls "${t%%:*}"
    done
}

# ---- mbedTLS, built by the project -------------------------------------------
# A static executable never gets the distribution's fixes, so the detector
# links one maintained mbedTLS (the 3.6 LTS line: TLS 1.3, handshake
# reassembly) that the project builds itself, for this machine and every
# router target alike, with its own configuration (deps/mbedtls_config.h).
# The source is Debian's source package, checked by apt against the signed
# index, fetched through a private sources list (the machine's own stays as
# it is). Built libraries are kept outside the work tree, keyed by version,
# target and configuration: CMakeLists.txt works out the same key.
QV2_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
DEPS_CACHE=${QV2_DEPS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/qv2-detect}
MBEDTLS_VERSION=$(head -n1 "$QV2_ROOT/deps/mbedtls.version")
MBEDTLS_SUITE=trixie

# mbedtls_dir TRIPLET: where the library for TRIPLET is (or goes).
mbedtls_dir() {
    local sum
    sum=$(cat "$QV2_ROOT"/deps/mbedtls.version "$QV2_ROOT"/deps/mbedtls_config.h \
        "$QV2_ROOT"/deps/mbedtls-*.patch | sha256sum)
    echo "$DEPS_CACHE/mbedtls-$MBEDTLS_VERSION-$1-${sum:0:12}"
}

# mbedtls_tarball: the upstream source of the pinned version (fetched once).
mbedtls_tarball() {
    local src=$DEPS_CACHE/src/$MBEDTLS_VERSION apt=$DEPS_CACHE/apt
    if ! ls "$src"/mbedtls_*.orig.tar.* >/dev/null 2>&1; then
        mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial" "$src.tmp"
        echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg]" \
            "http://deb.debian.org/debian $MBEDTLS_SUITE main" >"$apt/sources.list"
        local opts=(-o "Dir::Etc::SourceList=$apt/sources.list" -o Dir::Etc::SourceParts=/dev/null
            -o "Dir::State::Lists=$apt/lists" -o "Dir::Cache=$apt/cache" -o APT::Sandbox::User=root)
        apt-get "${opts[@]}" update >&2
        (cd "$src.tmp" && apt-get "${opts[@]}" source --download-only "mbedtls=$MBEDTLS_VERSION" >&2)
        rm -rf "$src" && mv "$src.tmp" "$src"
    fi
    ls "$src"/mbedtls_*.orig.tar.*
}

# need_mbedtls [TRIPLET]: builds the static libraries for TRIPLET unless
# the cache has them; a cross target builds with its toolchain file. The
# one patch lets a handshake message span up to 64 KiB of records (long
# certificate chains); the library reassembles them only within one
# record's buffer.
need_mbedtls() {
    local triplet=${1:-$(gcc -dumpmachine)} dir tarball work
    dir=$(mbedtls_dir "$triplet")
    [ -f "$dir/lib/libmbedtls.a" ] && return 0
    command -v patch >/dev/null || need_packages patch
    tarball=$(mbedtls_tarball)
    work=$(mktemp -d)
    mkdir "$work/src"
    tar -xf "$tarball" -C "$work/src" --strip-components=1
    for p in "$QV2_ROOT"/deps/mbedtls-*.patch; do
        patch -d "$work/src" -p1 --quiet <"$p"
    done
    local cross=() flags="-O2"
    if [ "$triplet" != "$(gcc -dumpmachine)" ]; then
        cross=(-DCMAKE_TOOLCHAIN_FILE="$QV2_ROOT/cmake/$triplet.cmake")
        flags="-Os -ffunction-sections -fdata-sections"
    fi
    echo "building mbedTLS $MBEDTLS_VERSION for $triplet" >&2
    cmake -S "$work/src" -B "$work/build" "${cross[@]}" -DCMAKE_BUILD_TYPE=None \
        -DCMAKE_C_FLAGS="$flags" -DCMAKE_POSITION_INDEPENDENT_CODE=ON \
        -DMBEDTLS_CONFIG_FILE="$QV2_ROOT/deps/mbedtls_config.h" -DENABLE_TESTING=OFF \
        -DENABLE_PROGRAMS=OFF -DUSE_SHARED_MBEDTLS_LIBRARY=OFF -DMBEDTLS_FATAL_WARNINGS=OFF \
        -DCMAKE_INSTALL_PREFIX="$dir.tmp" >/dev/null
    cmake --build "$work/build" -j"$(nproc)" >/dev/null
    rm -rf "$dir.tmp" && cmake --install "$work/build" >/dev/null
    # Whoever includes the headers gets this configuration, not the default.
    cp "$QV2_ROOT/deps/mbedtls_config.h" "$dir.tmp/include/mbedtls/mbedtls_config.h"
    rm -rf "$work" "$dir" && mv "$dir.tmp" "$dir"
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    set -euo pipefail
    case "${1:-}" in
    mbedtls) need_mbedtls "${2:-}" ;;
    *) echo "usage: scripts/deps.sh mbedtls [TRIPLET]" >&2; exit 1 ;;
    esac
fi
