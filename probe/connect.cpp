// Connection set-up for the probes: every step bounded by the time-out of
// the job's retry class.
//
// Name lookups go through c-ares and are abandoned by cancelling the query
// at the deadline. Jumping out of the C library's resolver on an alarm, the
// classic way, leaves its internal lock taken, and every later lookup of the
// run then fails.
#include "connect.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/select.h>  // before ares.h, which needs fd_set
#include <ares.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <map>

namespace {

ares_channel channel = nullptr;

// c-ares' own per-try time-out and tries: a silent name server is asked
// again within the deadline, and c-ares never gives up before it (1+2+4+8 s
// with the doubling per round), so the class time-out alone ends a lookup.
constexpr int ARES_TRY_MS = 1000;
constexpr int ARES_TRIES = 4;

bool channel_ready() {
    if (channel != nullptr) return true;
    if (ares_library_init(ARES_LIB_INIT_ALL) != ARES_SUCCESS) return false;
    ares_options opts{};
    char lookups[] = "fb";  // /etc/hosts first, then DNS
    opts.lookups = lookups;
    opts.timeout = ARES_TRY_MS;
    opts.tries = ARES_TRIES;
    const int mask = ARES_OPT_LOOKUPS | ARES_OPT_TIMEOUTMS | ARES_OPT_TRIES;
    if (ares_init_options(&channel, &opts, mask) != ARES_SUCCESS) {
        channel = nullptr;
        return false;
    }
    return true;
}

struct Lookup {
    bool done = false;
    int status = ARES_ECANCELLED;
    std::optional<in_addr> addr;
};

// What a run has learnt about each name. A name is looked up at most once
// per run for each time-out class: a lookup that ran out of time is not
// repeated for a probe that would wait no longer, a name the server says
// does not exist is not asked again, and a found address is reused. Jobs on
// one unreachable host then cost one bounded lookup, not two per job.
struct Known {
    enum { FOUND, UNKNOWN, TIMED_OUT } state;
    in_addr addr{};
    int waited = 0;  // seconds a timed-out lookup was given
};
std::map<std::string, Known> known;

bool alarm_ignored = false;

void on_host(void* arg, int status, int /*timeouts*/, hostent* he) {
    auto* l = static_cast<Lookup*>(arg);
    l->done = true;
    l->status = status;
    if (status == ARES_SUCCESS && he != nullptr && he->h_addrtype == AF_INET &&
        he->h_length == static_cast<int>(sizeof(in_addr)) && he->h_addr_list[0] != nullptr) {
        in_addr a;
        std::copy_n(he->h_addr_list[0], sizeof a, reinterpret_cast<char*>(&a));
        l->addr = a;
    }
}

using Clock = std::chrono::steady_clock;

int ms_until(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::max<long long>(0, left.count()));
}

// Runs the query to its end or to the deadline, whichever is first.
Lookup ares_lookup(const std::string& host, int seconds) {
    Lookup l;
    if (!channel_ready()) return l;
    const auto deadline = Clock::now() + std::chrono::seconds(seconds);
    ares_gethostbyname(channel, host.c_str(), AF_INET, on_host, &l);
    while (!l.done) {
        const int left = ms_until(deadline);
        if (left == 0) {
            ares_cancel(channel);  // calls on_host with ARES_ECANCELLED
            break;
        }
        ares_socket_t socks[ARES_GETSOCK_MAXNUM];
        const int bits = ares_getsock(channel, socks, ARES_GETSOCK_MAXNUM);
        pollfd fds[ARES_GETSOCK_MAXNUM];
        nfds_t n = 0;
        for (int i = 0; i < ARES_GETSOCK_MAXNUM; ++i) {
            short ev = 0;
            if (ARES_GETSOCK_READABLE(bits, i)) ev |= POLLIN;
            if (ARES_GETSOCK_WRITABLE(bits, i)) ev |= POLLOUT;
            if (ev != 0) fds[n++] = pollfd{socks[i], ev, 0};
        }
        timeval max{left / 1000, static_cast<suseconds_t>(left % 1000) * 1000};
        timeval tv;
        const timeval* t = ares_timeout(channel, &max, &tv);
        const int wait_ms = static_cast<int>(t->tv_sec * 1000 + (t->tv_usec + 999) / 1000);
        const int ready = poll(fds, n, wait_ms);
        if (ready < 0 && errno != EINTR) {
            ares_cancel(channel);
            break;
        }
        if (ready <= 0) {
            ares_process_fd(channel, ARES_SOCKET_BAD, ARES_SOCKET_BAD);  // time-outs
            continue;
        }
        for (nfds_t i = 0; i < n; ++i) {
            const auto r =
                (fds[i].revents & (POLLIN | POLLERR | POLLHUP)) ? fds[i].fd : ARES_SOCKET_BAD;
            const auto w = (fds[i].revents & (POLLOUT | POLLERR)) ? fds[i].fd : ARES_SOCKET_BAD;
            if (r != ARES_SOCKET_BAD || w != ARES_SOCKET_BAD) ares_process_fd(channel, r, w);
        }
    }
    return l;
}

std::optional<in_addr> lookup_name(const std::string& host, int seconds) {
    if (const auto it = known.find(host); it != known.end()) {
        const Known& k = it->second;
        if (k.state == Known::FOUND) return k.addr;
        if (k.state == Known::UNKNOWN || seconds <= k.waited) return std::nullopt;
    }
    const Lookup l = ares_lookup(host, seconds);
    if (l.addr) {
        known[host] = Known{Known::FOUND, *l.addr, 0};
    } else if (l.status == ARES_ENOTFOUND || l.status == ARES_ENODATA) {
        known[host] = Known{Known::UNKNOWN, {}, 0};
    } else if (l.status == ARES_ECANCELLED || l.status == ARES_ETIMEOUT) {
        known[host] = Known{Known::TIMED_OUT, {}, seconds};
    }
    return l.addr;
}

}  // namespace

int probe_timeout(int retries) {
    if (retries <= 1) return 3;
    return retries == 2 ? 5 : 8;
}

std::optional<in_addr> resolve_host(const std::string& host, int seconds) {
    std::optional<in_addr> addr;
    in_addr dotted;
    if (host.empty() || host.find('\0') != std::string::npos) {
        // no such name
    } else if (inet_aton(host.c_str(), &dotted) != 0) {
        addr = dotted;  // a dotted address needs no name server
    } else {
        addr = lookup_name(host, seconds);
    }
    // The starter may rely on SIGALRM being ignored after the first lookup,
    // as it has always been.
    if (!alarm_ignored) signal(SIGALRM, SIG_IGN);
    alarm_ignored = true;
    return addr;
}

void resolve_reset() {
    if (channel != nullptr) ares_destroy(channel);
    channel = nullptr;
    known.clear();
    alarm_ignored = false;
}

int tcp_connect(const std::string& host, int port, int retries) {
    const int seconds = probe_timeout(retries);
    const auto addr = resolve_host(host, seconds);
    if (!addr) return 0;
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return 0;
    if (fd == 0) {
        // 0 means failure to the callers; stdin is closed, so move up.
        const int up = fcntl(fd, F_DUPFD_CLOEXEC, 3);
        close(fd);
        if (up < 0) return 0;
        fd = up;
    }
    Socket s(fd);
    timeval tv{seconds, 0};
    setsockopt(s.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<std::uint16_t>(port & 0xffff));
    sa.sin_addr = *addr;
    // A connect still unanswered when the send time-out runs out fails with
    // EINPROGRESS, like any other failure.
    if (connect(s.get(), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) return 0;
    return s.release();
}

void report(int /*level*/, const char* format, ...) {
    if (format == nullptr) return;
    va_list ap;
    va_start(ap, format);
    std::vfprintf(stderr, format, ap);
    va_end(ap);
}

std::string concat_pieces(std::initializer_list<ConcatPiece> pieces) {
    std::size_t total = 0;
    for (const auto& p : pieces) {
        if (p.end) break;
        total += p.text.size();
    }
    std::string out;
    out.reserve(total);
    for (const auto& p : pieces) {
        if (p.end) break;
        out.append(p.text);
    }
    return out;
}

bool Socket::set_receive_timeout(int seconds) const {
    timeval tv{seconds, 0};
    return setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0;
}

long Socket::send_once(std::string_view data) const {
    return static_cast<long>(send(fd_, data.data(), data.size(), MSG_NOSIGNAL));
}

bool has_control_byte(std::string_view text) {
    return std::any_of(text.begin(), text.end(), [](char c) {
        const auto b = static_cast<unsigned char>(c);
        return b < 0x20 || b == 0x7f;
    });
}
