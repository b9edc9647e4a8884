// Real servers from Debian, started by a test inside the sandbox with a
// configuration it writes, and stopped with it.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "util.h"

/// A certificate and its key, as PEM files.
struct CertFiles {
    std::string cert, key;
};

/// A server program a test starts in a folder of its own, stopped
/// (SIGTERM) and its folder removed with the object.
class ServerProcess {
  public:
    ~ServerProcess();
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;
    /// The server's log in its folder (for failure messages).
    std::string log() const;

  protected:
    explicit ServerProcess(std::string log_name) : log_name_(std::move(log_name)) {}
    /// Starts argv; throws, with the log, unless ip:port accepts soon.
    void start(const std::vector<std::string>& argv, const std::string& ip, int port);
    const std::string& dir() const { return dir_.path(); }

  private:
    TempDir dir_;
    std::string log_name_;
    std::unique_ptr<Child> proc_;
};

/// nginx serving `files` (path under the root -> content) on ip:port, with
/// `extra` added to its server block (for redirects, say), over TLS with
/// `tls` when given. Relative Location headers are sent as written.
class NginxServer : public ServerProcess {
  public:
    NginxServer(const std::string& ip, int port, const std::map<std::string, std::string>& files,
                const std::string& extra = "", const CertFiles* tls = nullptr);
};

/// vsftpd settings under which every login is refused: USER is answered
/// with 331, PASS with 530 after PAM's delay (vsftpd's own delay is off to
/// keep it within the probe's time-out).
inline constexpr const char* VSFTPD_REFUSE_LOGINS =
    "anonymous_enable=NO\nlocal_enable=YES\ndelay_failed_login=0\n";

/// vsftpd in standalone foreground mode on ip:21 with an anonymous root
/// holding `files`; `extra` lines are added to its configuration.
class VsftpdServer : public ServerProcess {
  public:
    VsftpdServer(const std::string& ip, const std::map<std::string, std::string>& files,
                 const std::string& extra = "anonymous_enable=YES\nlocal_enable=NO\n");
};

/// A TLS front (socat) on ip:port that hands the plain bytes to a loopback
/// port, so a scripted server behind it sees exactly what was sent inside
/// TLS.
class TlsFront {
  public:
    TlsFront(const std::string& ip, int port, const CertFiles& cert, int plain_port);
    ~TlsFront();
    TlsFront(const TlsFront&) = delete;
    TlsFront& operator=(const TlsFront&) = delete;

  private:
    std::unique_ptr<Child> proc_;
};

/// Keys a test certificate can hold: an openssl curve name, or "rsa:BITS".
inline constexpr const char* KEY_P256 = "prime256v1";
inline constexpr const char* KEY_P384 = "secp384r1";
inline constexpr const char* KEY_RSA2048 = "rsa:2048";
inline constexpr const char* KEY_RSA4096 = "rsa:4096";

/// A test certificate authority made with openssl in a temp dir: a root,
/// or an intermediate that `issuer` signed. It signs with its own key
/// (ECDSA or RSA PKCS#1 v1.5, SHA-256).
class TestCa {
  public:
    explicit TestCa(const std::string& name = "Test CA", const std::string& key = KEY_P256,
                    const TestCa* issuer = nullptr);
    /// The root's certificate; an intermediate's own.
    const std::string& cert() const { return cert_; }
    /// A server certificate for `host` (a DNS name) with a `key` key, its
    /// file followed by the intermediates up to the root: valid now, or
    /// one that expired long ago; `padding` more names make it that much
    /// larger. `names` (DNS:a,DNS:b) replace the one name it carries.
    CertFiles issue(const std::string& host, bool expired = false, std::size_t padding = 0,
                    const std::string& names = "", const std::string& key = KEY_P256);

  private:
    // Signs the request `csr` into the certificate `out`.
    void sign(const std::string& csr, const std::string& out, bool expired) const;

    TempDir dir_;
    std::string cert_, key_;
    std::string chain_;  // PEM of this CA and the intermediates above it
    int serial_ = 0;
};

/// Apache httpd on ip:port serving `files` from its document root, with
/// `extra` added to its configuration (redirects, say), over TLS with
/// `tls` when given. Its absolute redirects name the host and port the
/// request's Host line gave, as its defaults do.
class ApacheServer : public ServerProcess {
  public:
    ApacheServer(const std::string& ip, int port, const std::map<std::string, std::string>& files,
                 const std::string& extra = "", const CertFiles* tls = nullptr);
};

/// True once something accepts connections on ip:port (within `seconds`).
bool wait_for_port(const std::string& ip, int port, double seconds);
