#include "net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace {

// The reply to one query: the header and question echoed, with an answer
// or NXDOMAIN.
std::string dns_reply(const std::string& q, DnsServer::Mode mode, in_addr answer) {
    if (q.size() < 12) return "";
    std::size_t end = 12;
    while (end < q.size() && q[end] != 0)
        end += static_cast<unsigned char>(q[end]) + 1;
    end += 5;  // zero label, type, class
    if (end > q.size()) return "";
    std::string r = q.substr(0, end);
    const bool is_a = q[end - 4] == 0 && q[end - 3] == 1;  // question type A
    r[2] = static_cast<char>(0x81);                        // response, recursion desired
    r[3] = static_cast<char>(mode == DnsServer::NXDOMAIN ? 0x83 : 0x80);
    r[6] = r[7] = r[8] = r[9] = r[10] = r[11] = 0;
    if (mode == DnsServer::ANSWER && is_a) {
        r[7] = 1;
        const unsigned char rr[] = {0xc0, 0x0c, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4};
        r.append(reinterpret_cast<const char*>(rr), sizeof rr);
        r.append(reinterpret_cast<const char*>(&answer), 4);
    }
    return r;
}

}  // namespace

int bound_socket(int type, const std::string& ip, int port) {
    const bool v6 = ip.find(':') != std::string::npos;
    const int fd = socket(v6 ? AF_INET6 : AF_INET, type | SOCK_CLOEXEC, 0);
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_storage ss{};
    socklen_t len;
    if (v6) {
        setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
        auto& sa = reinterpret_cast<sockaddr_in6&>(ss);
        sa.sin6_family = AF_INET6;
        sa.sin6_port = htons(static_cast<uint16_t>(port));
        inet_pton(AF_INET6, ip.c_str(), &sa.sin6_addr);
        len = sizeof sa;
    } else {
        auto& sa = reinterpret_cast<sockaddr_in&>(ss);
        sa.sin_family = AF_INET;
        sa.sin_port = htons(static_cast<uint16_t>(port));
        inet_pton(AF_INET, ip.c_str(), &sa.sin_addr);
        len = sizeof sa;
    }
    if (bind(fd, reinterpret_cast<sockaddr*>(&ss), len) != 0) {
        close(fd);
        throw std::runtime_error("bind " + ip + ":" + std::to_string(port) + ": " +
                                 std::strerror(errno));
    }
    return fd;
}

int local_port(int fd) {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len);
    return ntohs(ss.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(ss).sin6_port
                                          : reinterpret_cast<sockaddr_in&>(ss).sin_port);
}

DnsServer::DnsServer(Mode mode, const std::string& answer) : mode_(mode) {
    inet_pton(AF_INET, answer.c_str(), &answer_);
    udp_ = bound_socket(SOCK_DGRAM, "127.0.0.53", 53);
    tcp_ = bound_socket(SOCK_STREAM, "127.0.0.53", 53);
    listen(tcp_, 16);
    if (pipe2(stop_, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    thread_ = std::thread([this] { serve(); });
}

DnsServer::~DnsServer() {
    (void)!write(stop_[1], "x", 1);
    thread_.join();
    close(udp_);
    close(tcp_);
    close(stop_[0]);
    close(stop_[1]);
}

void DnsServer::serve() {
    std::vector<int> conns;
    for (;;) {
        std::vector<pollfd> fds = {{stop_[0], POLLIN, 0}, {udp_, POLLIN, 0}, {tcp_, POLLIN, 0}};
        for (int c : conns)
            fds.push_back({c, POLLIN, 0});
        poll(fds.data(), fds.size(), -1);
        if (fds[0].revents) break;
        if (fds[1].revents) {
            char buf[1500];
            sockaddr_in from{};
            socklen_t len = sizeof from;
            const ssize_t n =
                recvfrom(udp_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
            if (n > 0) {
                ++queries_;
                const std::string r = dns_reply(std::string(buf, n), mode_, answer_);
                if (mode_ != SILENT && !r.empty())
                    sendto(udp_, r.data(), r.size(), 0, reinterpret_cast<sockaddr*>(&from), len);
            }
        }
        if (fds[2].revents) {
            const int c = accept4(tcp_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c >= 0) conns.push_back(c);
        }
        for (std::size_t i = 3; i < fds.size(); ++i) {
            if (!fds[i].revents) continue;
            char buf[1500];
            const ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n <= 2) {
                close(fds[i].fd);
                conns.erase(std::find(conns.begin(), conns.end(), fds[i].fd));
                continue;
            }
            ++queries_;
            const std::string r = dns_reply(std::string(buf + 2, n - 2), mode_, answer_);
            if (mode_ != SILENT && !r.empty()) {
                const unsigned char len[2] = {static_cast<unsigned char>(r.size() >> 8),
                                              static_cast<unsigned char>(r.size())};
                (void)!write(fds[i].fd, len, 2);
                (void)!write(fds[i].fd, r.data(), r.size());
            }
        }
    }
    for (int c : conns)
        close(c);
}

Listener::Listener(const std::string& ip, int port, int backlog) : ip_(ip) {
    fd_ = bound_socket(SOCK_STREAM, ip, port);
    listen(fd_, backlog);
    port_ = local_port(fd_);
}

Listener::~Listener() {
    for (int c : clients_)
        close(c);
    close(fd_);
}

void Listener::fill_accept_queue() {
    for (int i = 0; i < 64; ++i) {
        const int c = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(static_cast<uint16_t>(port_));
        inet_pton(AF_INET, ip_.c_str(), &sa.sin_addr);
        (void)connect(c, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        clients_.push_back(c);
        pollfd p{c, POLLOUT, 0};
        if (poll(&p, 1, 300) == 0) return;  // this one was dropped: the queue is full
    }
    throw std::runtime_error("accept queue never filled");
}

int Listener::accept_one(double seconds) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(seconds * 1000)) <= 0) return -1;
    return accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
}

int closed_port(const std::string& ip) {
    const int fd = bound_socket(SOCK_STREAM, ip, 0);
    const int port = local_port(fd);
    close(fd);
    return port;
}
