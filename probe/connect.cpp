// Connection set-up for the probes: every step bounded by the time-out of
// the job's retry class.
#include "connect.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "host_memory.h"
#include "report.h"
#include "resolve.h"
#include "text.h"
#include "transport.h"

namespace {

class PlainTransport : public Transport {
  public:
    using Transport::Transport;
    bool open(const std::string& host, int port, int retries) override {
        fd_ = tcp_connect(host, port, retries, job());
        return static_cast<bool>(fd_);
    }
    bool send(std::string_view data) override {
        // One write; only the send time-out counts as a failure here, the
        // read that follows tells of anything else.
        return ::send(fd_.get(), data.data(), data.size(), MSG_NOSIGNAL) >= 0 || errno != EAGAIN;
    }
    long receive(char* buf, std::size_t n, int timeout_ms, Clock::time_point deadline) override {
        if (!wait_fd(fd_.get(), POLLIN, timeout_ms, deadline, job().limit)) {
            timed_out_ = true;
            return -1;
        }
        ssize_t r;
        do {
            r = read(fd_.get(), buf, n);
        } while (r < 0 && errno == EINTR);
        if (r > 0) heard_ = true;
        return r;
    }
    void close() override { fd_.reset(); }
    bool timed_out() const override { return timed_out_; }
    bool heard() const override { return heard_; }

  private:
    UniqueFd fd_;
    bool timed_out_ = false;
    bool heard_ = false;
};

// "192.0.2.7" or "2001:db8::1", for the steps a probe shows.
std::string address_text(const HostAddress& a) {
    char text[INET6_ADDRSTRLEN] = {};
    inet_ntop(a.family, a.family == AF_INET6 ? static_cast<const void*>(&a.v6) : &a.v4, text,
              sizeof text);
    return text;
}

long long elapsed_ms(Clock::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
}

// The sends wait the class time-out, but never past the time the job has
// left. False when no time is left.
bool bound_sends(int fd, int seconds, TimeLimit& limit) {
    const int ms = std::min(seconds * 1000, ms_until(limit.at));
    if (ms == 0) {
        limit.cut = true;
        return false;
    }
    timeval tv{ms / 1000, static_cast<suseconds_t>(ms % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    return true;
}

// Connects without blocking, so that the wait for the answer can be called
// off like any other; the run remembers a host:port that did not answer.
bool connect_within(int fd, const HostAddress& addr, int port, int seconds, const std::string& host,
                    const std::string& where, JobState& job) {
    const auto port16 = htons(static_cast<std::uint16_t>(port_on_wire(port)));
    sockaddr_storage ss{};
    socklen_t len;
    if (addr.family == AF_INET6) {
        auto& sa = reinterpret_cast<sockaddr_in6&>(ss);
        sa.sin6_family = AF_INET6;
        sa.sin6_port = port16;
        sa.sin6_addr = addr.v6;
        len = sizeof sa;
    } else {
        auto& sa = reinterpret_cast<sockaddr_in&>(ss);
        sa.sin_family = AF_INET;
        sa.sin_port = port16;
        sa.sin_addr = addr.v4;
        len = sizeof sa;
    }
    const auto since = Clock::now();
    auto failed = [&](const char* why) {
        report_step(job, "connect", strconcat(where, ": ", why));
        return false;
    };
    if (connect(fd, reinterpret_cast<const sockaddr*>(&ss), len) != 0) {
        if (errno != EINPROGRESS) return failed(std::strerror(errno));
        if (!wait_fd(fd, POLLOUT, seconds * 1000, Clock::time_point::max(), job.limit)) {
            host_remember_silent(job, host, port, seconds, since);
            return failed("no answer in time");
        }
        int err = 0;
        socklen_t err_len = sizeof err;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &err_len) != 0 || err != 0)
            return failed(std::strerror(err));
    }
    host_answered(host, port);
    report_step(job, "connect", strconcat(where, " (", decimal(elapsed_ms(since)), " ms)"));
    return true;
}

}  // namespace

std::unique_ptr<Transport> plain_transport(JobState& job) {
    return std::make_unique<PlainTransport>(job);
}

UniqueFd tcp_connect(const std::string& host, int port, int retries, JobState& job) {
    const int seconds = probe_timeout(retries);
    // A server that let an earlier probe of the run wait in vain is not
    // waited for again by one that would wait no longer.
    if (host_known_silent(job, host, port, seconds)) {
        report_step(
            job, "connect",
            strconcat(host, ":", decimal(port), " not tried: it did not answer an earlier job"));
        return UniqueFd();
    }
    const auto t0 = Clock::now();
    const auto addr = resolve_host(host, seconds, job.limit);
    const std::string address = addr ? address_text(*addr) : "";
    report_step(job, "lookup",
                strconcat(host, addr ? " -> " : ": no address", address, " (",
                          decimal(elapsed_ms(t0)), " ms)"));
    if (!addr) return UniqueFd();
    const bool v6 = addr->family == AF_INET6;
    const std::string where = strconcat(v6 ? "[" : "", address, v6 ? "]:" : ":", decimal(port));
    UniqueFd s(socket(addr->family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!s || !bound_sends(s.get(), seconds, job.limit)) return UniqueFd();
    if (!connect_within(s.get(), *addr, port, seconds, host, where, job)) return UniqueFd();
    // Blocking again: every later wait is a wait_fd, and a send waits at
    // most the send time-out.
    const int fl = fcntl(s.get(), F_GETFL);
    if (fl == -1 || fcntl(s.get(), F_SETFL, fl & ~O_NONBLOCK) == -1) return UniqueFd();
    return s;
}
