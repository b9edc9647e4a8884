# Sourced by the project's commands: installs the Debian packages they need
# when missing, without ever letting a package start a daemon on this machine.

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

BUILD_PACKAGES=(cmake make g++ pkg-config libc-ares-dev libmbedtls-dev libgtest-dev)
TEST_PACKAGES=(clang clang-format clang-tidy libclang-rt-14-dev iproute2 util-linux nginx-light vsftpd
    groff-base strace time openssl ca-certificates socat)

CROSS_TARGETS=(mipsel-linux-gnu:mipsel arm-linux-gnueabihf:armhf)

# need_cross_packages: Debian's cross compilers, qemu-user and c-ares for the
# router targets (from the multiarch archive).
need_cross_packages() {
    local t arch pkgs=(qemu-user)
    for t in "${CROSS_TARGETS[@]}"; do
        arch=${t#*:}
        if ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
            [ "$(id -u)" -eq 0 ] || { echo "run as root to add the $arch architecture" >&2; return 1; }
            dpkg --add-architecture "$arch"
        fi
        pkgs+=("crossbuild-essential-$arch" "libc-ares-dev:$arch" "libmbedtls-dev:$arch")
    done
    need_packages "${pkgs[@]}"
}
