// Real servers from Debian, started by a test inside the sandbox with a
// configuration it writes, and stopped with it.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "util.h"

/// nginx serving `files` (path under the root -> content) on ip:port, with
/// `extra` added to its server block (for redirects, say). Relative
/// Location headers are sent as written.
class NginxServer {
  public:
    NginxServer(const std::string& ip, int port, const std::map<std::string, std::string>& files,
                const std::string& extra = "");
    ~NginxServer();
    NginxServer(const NginxServer&) = delete;
    NginxServer& operator=(const NginxServer&) = delete;
    /// The server's error log (for failure messages).
    std::string log() const;

  private:
    TempDir dir_;
    std::unique_ptr<Child> proc_;
};

/// vsftpd settings under which every login is refused: USER is answered
/// with 331, PASS with 530 after PAM's delay (vsftpd's own delay is off to
/// keep it within the probe's time-out).
inline constexpr const char* VSFTPD_REFUSE_LOGINS =
    "anonymous_enable=NO\nlocal_enable=YES\ndelay_failed_login=0\n";

/// vsftpd in standalone foreground mode on ip:21 with an anonymous root
/// holding `files`; `extra` lines are added to its configuration.
class VsftpdServer {
  public:
    VsftpdServer(const std::string& ip, const std::map<std::string, std::string>& files,
                 const std::string& extra = "anonymous_enable=YES\nlocal_enable=NO\n");
    ~VsftpdServer();
    VsftpdServer(const VsftpdServer&) = delete;
    VsftpdServer& operator=(const VsftpdServer&) = delete;
    std::string log() const;

  private:
    TempDir dir_;
    std::unique_ptr<Child> proc_;
};

/// True once something accepts connections on ip:port (within `seconds`).
bool wait_for_port(const std::string& ip, int port, double seconds);
