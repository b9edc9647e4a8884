#!/usr/bin/env bash
# The detector's main job, shown on a sample download area: builds the
# detector, then inside private mount, network and pid namespaces (nothing
# here touches this machine's /opt, network or resolver) writes a
# configuration and a queue, runs qv2_detect once and prints the queue
# before and after. Run as root.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ -z "${QV2_DEMO_INSIDE:-}" ]; then
    . scripts/deps.sh
    need_packages "${BUILD_PACKAGES[@]}" iproute2 util-linux python3
    cmake -S . -B build >/dev/null
    cmake --build build -j"$(nproc)" --target qv2_detect >/dev/null
    exec unshare --mount --net --pid --fork --kill-child --mount-proc \
        env QV2_DEMO_INSIDE=1 "$0" "$@"
fi

# Inside the namespaces from here on.
ip link set lo up
mount -t tmpfs tmpfs /tmp
[ -d /opt/etc ] || { mount -t tmpfs tmpfs /opt; mkdir /opt/etc; }
mount -t tmpfs tmpfs /opt/etc
printf '127.0.0.1 localhost\n' >/tmp/hosts && mount --bind /tmp/hosts /etc/hosts
printf 'nameserver 127.0.0.53\n' >/tmp/resolv.conf && mount --bind /tmp/resolv.conf /etc/resolv.conf

area=/tmp/area
mkdir -p $area/Download2/.logs $area/Download2/.sems
{ for i in $(seq 1 11); do echo "Setting$i=value"; done; echo "Base_path=$area"; } \
    >/opt/etc/qv2_general.conf
touch /opt/etc/qv2_detect_protected

show_queue() {
    python3 - "$1" <<'PY'
import struct, sys
data = open(sys.argv[1], 'rb').read()
print(f"{'id':>3}  {'status':6}  {'type':4}  {'retries':7}  url -> resolved url")
for at in range(0, len(data) - len(data) % 1052, 1052):
    rec = data[at:at + 1052]
    text = lambda a, n: rec[a:a + n].split(b'\0', 1)[0].decode('utf-8', 'replace')
    rid, = struct.unpack_from('=i', rec, 0)
    status, retries = struct.unpack_from('=ii', rec, 1040)
    print(f"{rid:>3}  {chr(status):6}  {text(1028, 12) or '-':4}  {retries:7}  "
          f"{text(4, 512)} -> {text(516, 512) or '-'}")
PY
}

python3 - $area/Download2/.logs/qv.jqs <<'PY'
import struct, sys
jobs = ["magnet:?xt=urn:btih:0123456789abcdef", "http://example.test/file.torrent",
        "ed2k://|file|demo.iso|1024|0123456789ABCDEF|/", "example.test/file.nzb"]
with open(sys.argv[1], 'wb') as f:
    for i, url in enumerate(jobs, 1):
        rec = bytearray(1052)
        struct.pack_into('=i', rec, 0, i)
        rec[4:4 + len(url)] = url.encode()
        struct.pack_into('=ii', rec, 1040, ord('w'), 0)
        f.write(rec)
PY

echo "== queue before =="
show_queue $area/Download2/.logs/qv.jqs
echo
echo "== running qv2_detect =="
build/driver/qv2_detect && echo "exit status 0"
[ -e /opt/etc/qv2_detect_protected ] || echo "marker /opt/etc/qv2_detect_protected removed"
echo
echo "== queue after =="
show_queue $area/Download2/.logs/qv.jqs
