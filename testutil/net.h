// Loopback peers for the connection tests: a name server that answers as
// told, listeners that accept, refuse or drop connections.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

/// A name server on UDP and TCP 127.0.0.53:53 (inside the sandbox).
class DnsServer {
  public:
    enum Mode {
        NXDOMAIN,  ///< every name is unknown
        SILENT,    ///< reads queries and never answers
        ANSWER,    ///< every A query gets `answer`
    };
    explicit DnsServer(Mode mode, const std::string& answer = "127.0.0.1");
    ~DnsServer();
    DnsServer(const DnsServer&) = delete;
    DnsServer& operator=(const DnsServer&) = delete;
    /// Queries received so far (UDP and TCP).
    int queries() const { return queries_; }

  private:
    void serve();
    Mode mode_;
    in_addr answer_{};
    int udp_ = -1, tcp_ = -1, stop_[2] = {-1, -1};
    std::atomic<int> queries_{0};
    std::thread thread_;
};

/// A listening TCP socket on ip:port (port 0: any free one).
class Listener {
  public:
    Listener(const std::string& ip, int port, int backlog = 16);
    ~Listener();
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;
    int port() const { return port_; }
    int fd() const { return fd_; }
    /// Connects clients until the accept queue is full, so that the kernel
    /// drops further connection requests.
    void fill_accept_queue();
    /// Accepts one pending connection (-1 when none within `seconds`).
    int accept_one(double seconds);

  private:
    int fd_ = -1;
    int port_ = 0;
    std::string ip_;
    std::vector<int> clients_;
};

/// A socket of `type` bound to ip:port (SO_REUSEADDR); throws on failure.
int bound_socket(int type, const std::string& ip, int port);
/// The local port a socket is bound to.
int local_port(int fd);

/// A port on `ip` where nothing listens (connections are refused).
int closed_port(const std::string& ip);
