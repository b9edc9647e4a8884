#include "servers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <stdexcept>

namespace {

void write_tree(const std::string& root, const std::map<std::string, std::string>& files) {
    for (const auto& [path, content] : files) {
        std::string::size_type slash = 0;
        while ((slash = path.find('/', slash + 1)) != std::string::npos)
            mkdir((root + "/" + path.substr(0, slash)).c_str(), 0755);
        write_file(root + "/" + path, content);
    }
}

}  // namespace

bool wait_for_port(const std::string& ip, int port, double seconds) {
    return wait_until(
        [&] {
            const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in sa{};
            sa.sin_family = AF_INET;
            sa.sin_port = htons(static_cast<uint16_t>(port));
            inet_pton(AF_INET, ip.c_str(), &sa.sin_addr);
            const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
            close(fd);
            return ok;
        },
        seconds);
}

ServerProcess::~ServerProcess() {
    if (!proc_) return;
    proc_->signal(SIGTERM);
    // 5 s from now, not from its start: a server killed outright leaves its
    // workers behind, still answering on the port the next server takes.
    proc_->wait(proc_->age() + 5);
}

std::string ServerProcess::log() const {
    return read_file(dir_.path() + "/" + log_name_);
}

void ServerProcess::start(const std::vector<std::string>& argv, const std::string& ip, int port) {
    proc_ = std::make_unique<Child>(argv, std::vector<std::pair<std::string, std::string>>{});
    if (!wait_for_port(ip, port, 10))
        throw std::runtime_error(argv[0] + " did not start: " + log() + proc_->wait(1).err);
}

NginxServer::NginxServer(const std::string& ip, int port,
                         const std::map<std::string, std::string>& files, const std::string& extra,
                         const CertFiles* tls)
    : ServerProcess("error.log") {
    const std::string d = dir();
    chmod(d.c_str(), 0755);
    mkdir((d + "/www").c_str(), 0755);
    mkdir((d + "/tmp").c_str(), 0755);
    write_tree(d + "/www", files);
    const std::string conf = d + "/nginx.conf";
    write_file(conf, "daemon off;\nuser root;\nworker_processes 1;\npid " + d +
                         "/nginx.pid;\nerror_log " + d +
                         "/error.log;\n"
                         "events { worker_connections 64; }\n"
                         "http {\n"
                         "  access_log off;\n"
                         "  client_body_temp_path " +
                         d +
                         "/tmp/body;\n"
                         "  proxy_temp_path " +
                         d +
                         "/tmp/proxy;\n"
                         "  fastcgi_temp_path " +
                         d +
                         "/tmp/fastcgi;\n"
                         "  uwsgi_temp_path " +
                         d +
                         "/tmp/uwsgi;\n"
                         "  scgi_temp_path " +
                         d +
                         "/tmp/scgi;\n"
                         "  types { text/html html; application/x-bittorrent torrent; }\n"
                         "  default_type application/octet-stream;\n"
                         "  absolute_redirect off;\n"
                         "  server {\n"
                         "    listen " +
                         ip + ":" + std::to_string(port) + (tls ? " ssl" : "") + ";\n" +
                         (tls ? "    ssl_certificate " + tls->cert + ";\n    ssl_certificate_key " +
                                    tls->key + ";\n"
                              : "") +
                         ""
                         "    root " +
                         d + "/www;\n" + extra +
                         "  }\n"
                         "}\n");
    start({"/usr/sbin/nginx", "-p", d, "-e", d + "/error.log", "-c", conf}, ip, port);
}

VsftpdServer::VsftpdServer(const std::string& ip, const std::map<std::string, std::string>& files,
                           const std::string& extra)
    : ServerProcess("vsftpd.log") {
    const std::string d = dir();
    chmod(d.c_str(), 0755);
    // vsftpd refuses an anonymous root the anonymous user could write to.
    mkdir((d + "/root").c_str(), 0555);
    mkdir((d + "/empty").c_str(), 0555);
    chmod((d + "/root").c_str(), 0755);
    write_tree(d + "/root", files);
    chmod((d + "/root").c_str(), 0555);
    const std::string conf = d + "/vsftpd.conf";
    write_file(conf, "listen=YES\nlisten_ipv6=NO\nbackground=NO\nlisten_address=" + ip +
                         "\nlisten_port=21\nanon_root=" + d + "/root\nsecure_chroot_dir=" + d +
                         "/empty\nwrite_enable=NO\nseccomp_sandbox=NO\n"
                         "xferlog_enable=NO\nsyslog_enable=NO\nvsftpd_log_file=" +
                         d + "/vsftpd.log\npam_service_name=vsftpd\n" + extra);
    start({"/usr/sbin/vsftpd", conf}, ip, 21);
}

TlsFront::TlsFront(const std::string& ip, int port, const CertFiles& cert, int plain_port) {
    proc_ = std::make_unique<Child>(
        std::vector<std::string>{"socat",
                                 "OPENSSL-LISTEN:" + std::to_string(port) + ",bind=" + ip +
                                     ",reuseaddr,fork,verify=0,cert=" + cert.cert +
                                     ",key=" + cert.key,
                                 "TCP:127.0.0.1:" + std::to_string(plain_port)},
        std::vector<std::pair<std::string, std::string>>{});
    if (!wait_for_port(ip, port, 10))
        throw std::runtime_error("socat did not start: " + proc_->wait(1).err);
}

TlsFront::~TlsFront() {
    proc_->signal(SIGTERM);
    // 5 s from now, not from its start: a server killed outright leaves its
    // workers behind, still answering on the port the next server takes.
    proc_->wait(proc_->age() + 5);
}

namespace {

void openssl(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"openssl"};
    argv.insert(argv.end(), args.begin(), args.end());
    const ProcResult r = run_process(argv, {}, 30);
    if (!r.exited || r.status != 0) throw std::runtime_error("openssl failed: " + r.err);
}

// A new key of the kind `key` names, unencrypted.
std::vector<std::string> new_key(const std::string& key) {
    if (key.compare(0, 4, "rsa:") == 0) return {"-newkey", key, "-nodes"};
    return {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:" + key, "-nodes"};
}

std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

}  // namespace

TestCa::TestCa(const std::string& name, const std::string& key, const TestCa* issuer) {
    const std::string d = dir_.path();
    cert_ = d + "/ca.crt";
    key_ = d + "/ca.key";
    if (issuer == nullptr) {
        openssl(std::vector<std::string>{"req", "-x509", "-days", "30", "-subj", "/CN=" + name,
                                         "-keyout", key_, "-out", cert_} +
                new_key(key));
    } else {
        openssl(std::vector<std::string>{"req", "-new", "-subj", "/CN=" + name, "-addext",
                                         "basicConstraints=critical,CA:TRUE", "-addext",
                                         "keyUsage=critical,keyCertSign,cRLSign", "-keyout", key_,
                                         "-out", d + "/ca.csr"} +
                new_key(key));
        issuer->sign(d + "/ca.csr", cert_, false);
        chain_ = read_file(cert_) + issuer->chain_;
    }
    write_file(d + "/index.txt", "");
    write_file(d + "/serial", "01\n");
    write_file(d + "/ca.cnf", "[ca]\ndefault_ca = test\n[test]\ndatabase = " + d +
                                  "/index.txt\nserial = " + d + "/serial\nnew_certs_dir = " + d +
                                  "\ndefault_md = sha256\npolicy = any\ncopy_extensions = copy\n"
                                  "unique_subject = no\n[any]\ncommonName = supplied\n");
}

void TestCa::sign(const std::string& csr, const std::string& out, bool expired) const {
    openssl({"ca", "-batch", "-notext", "-config", dir_.path() + "/ca.cnf", "-cert", cert_,
             "-keyfile", key_, "-in", csr, "-out", out, "-startdate",
             expired ? "20200101000000Z" : "20250101000000Z", "-enddate",
             expired ? "20200201000000Z" : "20991231000000Z"});
}

CertFiles TestCa::issue(const std::string& host, bool expired, std::size_t padding,
                        const std::string& alt_names, const std::string& key) {
    const std::string stem = dir_.path() + "/" + host + "." + std::to_string(++serial_);
    CertFiles c{stem + ".crt", stem + ".key"};
    std::string names = alt_names.empty() ? "DNS:" + host : alt_names;
    for (int i = 0; names.size() < padding; ++i)
        names += ",DNS:name" + std::to_string(i) + ".padding.test";
    openssl(std::vector<std::string>{"req", "-new", "-subj", "/CN=" + host, "-addext",
                                     "subjectAltName=" + names, "-keyout", c.key, "-out",
                                     stem + ".csr"} +
            new_key(key));
    sign(stem + ".csr", c.cert, expired);
    if (!chain_.empty()) write_file(c.cert, read_file(c.cert) + chain_);
    return c;
}

ApacheServer::ApacheServer(const std::string& ip, int port,
                           const std::map<std::string, std::string>& files,
                           const std::string& extra, const CertFiles* tls)
    : ServerProcess("error.log") {
    const std::string d = dir();
    chmod(d.c_str(), 0755);
    mkdir((d + "/www").c_str(), 0755);
    write_tree(d + "/www", files);
    write_file(d + "/mime.types", "text/html html\napplication/x-bittorrent torrent\n");
    std::string conf =
        "ServerName web.test\nListen " + ip + ":" + std::to_string(port) + "\nPidFile " + d +
        "/apache.pid\nErrorLog " + d + "/error.log\nDefaultRuntimeDir " + d + "\nMutex file:" + d +
        " default\nUser www-data\nGroup www-data\nTypesConfig " + d + "/mime.types\nDocumentRoot " +
        d + "/www\n<Directory />\n  Require all granted\n</Directory>\n";
    std::vector<std::string> modules = {"mpm_event", "authz_core", "dir", "alias", "mime"};
    if (tls != nullptr) {
        modules.push_back("ssl");
        conf += "SSLEngine on\nSSLCertificateFile " + tls->cert + "\nSSLCertificateKeyFile " +
                tls->key + "\n";
    }
    for (const auto& m : modules)
        conf = "LoadModule " + m + "_module /usr/lib/apache2/modules/mod_" + m + ".so\n" + conf;
    write_file(d + "/apache2.conf", conf + extra);
    start({"/usr/sbin/apache2", "-DFOREGROUND", "-d", d, "-f", d + "/apache2.conf"}, ip, port);
}
