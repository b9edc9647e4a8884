// Name lookups through c-ares, each abandoned by cancelling its query at
// the deadline. Jumping out of the C library's resolver on an alarm, the
// classic way, leaves its internal lock taken, and every later lookup of
// the run then fails.
#include "caps.h"
#include "resolve.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <poll.h>
#include <sys/select.h>  // before ares.h, which needs fd_set
#include <ares.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>

#include "signals.h"
#include "wait.h"

namespace {

struct Lookup {
    bool done = false;
    int status = ARES_ECANCELLED;
    std::optional<HostAddress> addr;
    bool cut = false;  // ended by the job's time limit or called off, not given its time
};

void on_host(void* arg, int status, int /*timeouts*/, hostent* he) {
    auto* l = static_cast<Lookup*>(arg);
    l->done = true;
    l->status = status;
    if (status != ARES_SUCCESS || he == nullptr || he->h_addr_list[0] == nullptr) return;
    HostAddress a;
    a.family = he->h_addrtype;
    if (he->h_addrtype == AF_INET && he->h_length == static_cast<int>(sizeof a.v4)) {
        std::memcpy(&a.v4, he->h_addr_list[0], sizeof a.v4);
        l->addr = a;
    } else if (he->h_addrtype == AF_INET6 && he->h_length == static_cast<int>(sizeof a.v6)) {
        std::memcpy(&a.v6, he->h_addr_list[0], sizeof a.v6);
        l->addr = a;
    }
}

// Runs one query on a channel of its own to its end or until `full`, the
// time it is given, whichever is first (or until the job's time limit, or
// the waits are called off). c-ares channels are not shared between
// threads.
Lookup ares_lookup(const std::string& host, int family, Clock::time_point full,
                   const TimeLimit& limit) {
    Lookup l;
    const Clock::time_point deadline = within_limit(limit, full);
    const bool limited = limit_binds(limit, full);
    static std::once_flag library;
    static int library_status = ARES_SUCCESS;
    std::call_once(library, [] { library_status = ares_library_init(ARES_LIB_INIT_ALL); });
    if (library_status != ARES_SUCCESS) return l;
    ares_options opts{};
    char lookups[] = "fb";  // /etc/hosts first, then DNS
    opts.lookups = lookups;
    opts.timeout = ARES_TRY_MS;
    opts.tries = ARES_TRIES;
    ares_channel channel = nullptr;
    if (ares_init_options(&channel, &opts,
                          ARES_OPT_LOOKUPS | ARES_OPT_TIMEOUTMS | ARES_OPT_TRIES) != ARES_SUCCESS)
        return l;
    ares_gethostbyname(channel, host.c_str(), family, on_host, &l);
    while (!l.done) {
        const int left = ms_until(deadline);
        if (left == 0) {
            l.cut = limited;
            ares_cancel(channel);  // calls on_host with ARES_ECANCELLED
            break;
        }
        ares_socket_t socks[ARES_GETSOCK_MAXNUM];
        const int bits = ares_getsock(channel, socks, ARES_GETSOCK_MAXNUM);
        pollfd fds[ARES_GETSOCK_MAXNUM + 1];
        fds[0] = pollfd{called_off_fd(), POLLIN, 0};
        nfds_t n = 1;
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
        if ((ready < 0 && errno != EINTR) || fds[0].revents != 0) {
            l.cut = fds[0].revents != 0;
            ares_cancel(channel);
            break;
        }
        if (ready <= 0) {
            ares_process_fd(channel, ARES_SOCKET_BAD, ARES_SOCKET_BAD);  // time-outs
            continue;
        }
        for (nfds_t i = 1; i < n; ++i) {
            const auto r =
                (fds[i].revents & (POLLIN | POLLERR | POLLHUP)) ? fds[i].fd : ARES_SOCKET_BAD;
            const auto w = (fds[i].revents & (POLLOUT | POLLERR)) ? fds[i].fd : ARES_SOCKET_BAD;
            if (r != ARES_SOCKET_BAD || w != ARES_SOCKET_BAD) ares_process_fd(channel, r, w);
        }
    }
    ares_destroy(channel);
    return l;
}

// What a run has learnt about each name. A name is looked up at most once
// per run for each time-out class: a lookup that ran out of time is not
// repeated for a probe that would wait no longer, a name the server says
// does not exist is not asked again, and a found address is reused. Jobs on
// one unreachable host then cost one bounded lookup, not two per job.
struct Known {
    enum { FOUND, UNKNOWN, TIMED_OUT, ASKING } state;
    HostAddress addr{};
    int waited = 0;  // seconds a timed-out lookup was given
};
// `known_mu` guards `known`; a probe waiting for another's lookup of the
// same name waits on `known_changed`, holding it.
std::mutex known_mu;
std::condition_variable known_changed;
std::map<std::string, Known> known;

std::optional<HostAddress> lookup_name(const std::string& host, int seconds, TimeLimit& limit) {
    std::unique_lock<std::mutex> lock(known_mu);
    // One lookup per name at a time: the others wait for its answer.
    known_changed.wait(lock, [&] {
        const auto it = known.find(host);
        return it == known.end() || it->second.state != Known::ASKING;
    });
    if (const auto it = known.find(host); it != known.end()) {
        const Known& k = it->second;
        if (k.state == Known::FOUND) return k.addr;
        if (k.state == Known::UNKNOWN || seconds <= k.waited) return std::nullopt;
    }
    known[host] = Known{Known::ASKING, {}, 0};
    lock.unlock();

    const auto full = Clock::now() + std::chrono::seconds(seconds);
    Lookup l = ares_lookup(host, AF_INET, full, limit);
    if (!l.addr && l.status != ARES_ECANCELLED && l.status != ARES_ETIMEOUT)
        l = ares_lookup(host, AF_INET6, full, limit);  // a name with only an IPv6 address
    // A lookup cut by the job's time, or called off, was not given its
    // time: the name is not taken for one that does not answer.
    const bool cut = l.cut;
    if (cut) limit.cut = true;

    lock.lock();
    if (l.addr) {
        known[host] = Known{Known::FOUND, *l.addr, 0};
    } else if (l.status == ARES_ENOTFOUND || l.status == ARES_ENODATA) {
        known[host] = Known{Known::UNKNOWN, {}, 0};
    } else if (!cut && (l.status == ARES_ECANCELLED || l.status == ARES_ETIMEOUT)) {
        known[host] = Known{Known::TIMED_OUT, {}, seconds};
    } else {
        known.erase(host);
    }
    known_changed.notify_all();
    return l.addr;
}

}  // namespace

std::optional<HostAddress> resolve_host(const std::string& host, int seconds, TimeLimit& limit) {
    std::optional<HostAddress> addr;
    HostAddress literal;
    const bool bracketed = host.size() > 2 && host.front() == '[' && host.back() == ']';
    if (host.empty() || host.find('\0') != std::string::npos) {
        // no such name
    } else if (bracketed) {
        literal.family = AF_INET6;
        if (inet_pton(AF_INET6, host.substr(1, host.size() - 2).c_str(), &literal.v6) == 1)
            addr = literal;
    } else if (inet_aton(host.c_str(), &literal.v4) != 0) {
        addr = literal;  // a dotted address needs no name server
    } else {
        addr = lookup_name(host, seconds, limit);
    }
    signals_lookup_done();
    return addr;
}

void resolve_reset() {
    std::lock_guard<std::mutex> lock(known_mu);
    known.clear();
    signals_reset();
}
