#!/usr/bin/env bash
# The detector's main job, shown end to end: builds qv2_detect and qv2_jobs,
# then inside private mount, network and pid namespaces (nothing here
# touches this machine's /opt, network or resolver, and everything started
# here ends with them) sets up a download area, starts a real HTTP server
# (nginx) and FTP server (vsftpd) on loopback, adds a handful of jobs with
# the queue tool, runs qv2_detect once and shows the queue before and after.
# Run as root.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ -z "${QV2_DEMO_INSIDE:-}" ]; then
    . scripts/deps.sh
    need_packages "${BUILD_PACKAGES[@]}" iproute2 util-linux nginx-light vsftpd openssl
    need_mbedtls
    cmake -S . -B build >/dev/null
    cmake --build build -j"$(nproc)" --target qv2_detect qv2_jobs >/dev/null
    # A private tmpfs goes over this empty folder inside the namespaces.
    work=$(mktemp -d /tmp/qv2demo.XXXXXX)
    trap 'rmdir "$work"' EXIT
    unshare --mount --net --pid --fork --kill-child --mount-proc \
        env QV2_DEMO_INSIDE=1 QV2_DEMO_DIR="$work" "$0" "$@"
    exit
fi

# ---- Inside the namespaces from here on ------------------------------------
detect=$PWD/build/driver/qv2_detect
jobs=$PWD/build/jobs/qv2_jobs

w=$QV2_DEMO_DIR
ip link set lo up
mount -t tmpfs tmpfs "$w"
[ -d /opt/etc ] || { mount -t tmpfs tmpfs /opt; mkdir /opt/etc; }
mount -t tmpfs tmpfs /opt/etc
printf '127.0.0.1 localhost web.example\n127.0.0.2 files.example\n127.0.0.9 dead.example\n' \
    >"$w/hosts"
mount --bind "$w/hosts" /etc/hosts
printf 'nameserver 127.0.0.53\n' >"$w/resolv.conf"
mount --bind "$w/resolv.conf" /etc/resolv.conf

# The download area and the general configuration naming it (line 12).
area=$w/area
mkdir -p $area/Download2/.logs $area/Download2/.sems
{ for i in $(seq 1 11); do echo "Setting$i=value"; done; echo "Base_path=$area"; } \
    >/opt/etc/qv2_general.conf

# A web server with two files and a redirect, an FTP server with one file.
mkdir -p $w/www/files $w/nginx $w/ftp/pub $w/ftp-empty
echo "quarterly report" >$w/www/files/report.pdf
head -c 4096 /dev/zero >$w/www/files/app-1.2.tar.gz
echo "read me" >$w/ftp/pub/readme.txt
chmod 555 $w/ftp $w/ftp-empty
# https: a CA of the demo's own, trusted through SSL_CERT_FILE, and a
# certificate for web.example signed by it.
mkdir -p $w/pki
ec=(-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes)
openssl req -x509 "${ec[@]}" -days 2 -subj "/CN=Demo CA" -keyout $w/pki/ca.key \
    -out $w/pki/ca.crt 2>/dev/null
openssl req "${ec[@]}" -subj /CN=web.example -keyout $w/pki/web.key -out $w/pki/web.csr 2>/dev/null
printf 'subjectAltName=DNS:web.example\n' >$w/pki/san
openssl x509 -req -days 2 -in $w/pki/web.csr -CA $w/pki/ca.crt -CAkey $w/pki/ca.key \
    -CAcreateserial -extfile $w/pki/san -out $w/pki/web.crt 2>/dev/null
export SSL_CERT_FILE=$w/pki/ca.crt

cat >$w/nginx/nginx.conf <<EOF
daemon off; user root; worker_processes 1; pid $w/nginx/pid; error_log $w/nginx/error.log;
events { worker_connections 64; }
http {
  access_log off; absolute_redirect off; default_type application/octet-stream;
  client_body_temp_path $w/nginx/body; proxy_temp_path $w/nginx/proxy;
  fastcgi_temp_path $w/nginx/fcgi; uwsgi_temp_path $w/nginx/uwsgi; scgi_temp_path $w/nginx/scgi;
  server {
    listen 127.0.0.1:80; root $w/www;
    location = /latest { return 302 /files/app-1.2.tar.gz; }
  }
  server {
    listen 127.0.0.1:443 ssl; root $w/www;
    ssl_certificate $w/pki/web.crt; ssl_certificate_key $w/pki/web.key;
    location = /download.php { default_type application/x-bittorrent; return 200 d8:e; }
  }
}
EOF
cat >$w/vsftpd.conf <<EOF
listen=YES
listen_ipv6=NO
background=NO
listen_address=127.0.0.2
anonymous_enable=YES
local_enable=NO
write_enable=NO
anon_root=$w/ftp
secure_chroot_dir=$w/ftp-empty
seccomp_sandbox=NO
xferlog_enable=NO
EOF
/usr/sbin/nginx -p $w/nginx -e $w/nginx/error.log -c $w/nginx/nginx.conf &
/usr/sbin/vsftpd $w/vsftpd.conf &
# The download manager's stand-in: the queue lock with its one token.
$jobs lock init 2>/dev/null &

wait_for() {  # wait_for WHAT CHECK...
    local what=$1
    shift
    for _ in $(seq 1 100); do "$@" 2>/dev/null && return 0; sleep 0.1; done
    echo "demo: $what did not come up" >&2
    exit 1
}
wait_for nginx bash -c ': <>/dev/tcp/127.0.0.1/443'
wait_for vsftpd bash -c ': <>/dev/tcp/127.0.0.2/21'
wait_for "the queue lock" bash -c "[ \"\$($jobs lock status)\" = 1 ]"

for url in \
    "magnet:?xt=urn:btih:c12fe1c06bba254a9dc9f519b335aa7c1367a88a&dn=distro.iso" \
    "http://web.example/torrents/distro.torrent" \
    "ed2k://|file|distro.iso|734003200|0123456789ABCDEF0123456789ABCDEF|/" \
    "web.example/files/report.pdf" \
    "http://web.example/latest" \
    "https://web.example/files/report.pdf" \
    "https://web.example/download.php?id=7" \
    "ftp://files.example/pub/readme.txt" \
    "http://files.example/pub/readme.txt" \
    "http://dead.example/gone.iso"; do
    $jobs add "$url" >/dev/null
done
touch /opt/etc/qv2_detect_protected

echo "== The queue before the run =="
$jobs list
echo
echo "== qv2_detect =="
start=$(date +%s%N)
status=0
$detect || status=$?
echo -n "exit status $status after $((($(date +%s%N) - start) / 1000000)) ms; "
[ -e /opt/etc/qv2_detect_protected ] && echo "marker still there" || echo "marker removed"
echo
echo "== The queue after the run =="
$jobs list
echo
echo "Types: 1 HTTP, 2 FTP, 3 torrent/magnet, 4 NZB, 5 undetermined (retried next run), 6 ed2k."
echo "The https links went over verified TLS; the download script declared a torrent."
echo "The dead host stays waiting with retries 1; its next probe waits longer."
echo "Queue lock tokens left: $($jobs lock status)"
