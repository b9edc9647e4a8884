// The session cache and the first-handshake gate. `mu` guards every
// structure below it; a waiter on `changed` holds it.
#include "tls_session.h"

#include <mbedtls/platform.h>
#include <mbedtls/ssl.h>
#include <mbedtls/x509_crt.h>

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <utility>
#include <vector>

#include "caps.h"
#include "wait.h"

namespace {

// Sessions with the hosts whose certificate was verified in this run, by
// name and port, kept serialised: a later connection to the same site
// resumes one instead of paying a full handshake (a tenth of one in CPU).
// Only what resumption needs is kept (not the server's certificate), for
// the most recent sites; nothing is kept on disk or between runs.

struct KeptSession {
    std::vector<unsigned char> bytes;
    std::uint64_t used = 0;  // when it was last kept: the oldest goes first
};
using Site = std::pair<std::string, int>;

std::mutex mu;
std::condition_variable changed;  // a session kept, or a first handshake over
std::map<Site, KeptSession> sessions;
std::uint64_t sessions_clock = 0;
// The first full handshake with each site: while one is under way, other
// probes to the site wait for its session instead of paying a full
// handshake each (eight probes start at once). Only the first is waited
// for: after it, a site with no session is reached as before.
std::set<Site> firsts_begun;
std::set<Site> firsts_in_flight;

// The session `ssl` has, as much of it as resumption needs; empty when
// there is none worth keeping.
std::vector<unsigned char> session_bytes(const mbedtls_ssl_context& ssl) {
    mbedtls_ssl_session s;
    mbedtls_ssl_session_init(&s);
    std::vector<unsigned char> bytes;
    std::size_t len = 0;
    if (mbedtls_ssl_get_session(&ssl, &s) == 0 && s.MBEDTLS_PRIVATE(ticket_len) <= TICKET_MAX) {
        // A resumed session is not verified again: the certificate it was
        // verified with is only weight.
        if (s.MBEDTLS_PRIVATE(peer_cert) != nullptr) {
            mbedtls_x509_crt_free(s.MBEDTLS_PRIVATE(peer_cert));
            mbedtls_free(s.MBEDTLS_PRIVATE(peer_cert));
            s.MBEDTLS_PRIVATE(peer_cert) = nullptr;
        }
        if (mbedtls_ssl_session_save(&s, nullptr, 0, &len) == MBEDTLS_ERR_SSL_BUFFER_TOO_SMALL) {
            bytes.resize(len);
            if (mbedtls_ssl_session_save(&s, bytes.data(), bytes.size(), &len) != 0) bytes.clear();
        }
    }
    mbedtls_ssl_session_free(&s);
    return bytes;
}

// The one place a first handshake ends; `mu` is held.
void first_over(const Site& site) {
    firsts_in_flight.erase(site);
    changed.notify_all();
}

}  // namespace

void tls_session_keep(const std::string& host, int port, const mbedtls_ssl_context& ssl) {
    std::vector<unsigned char> bytes = session_bytes(ssl);
    std::lock_guard<std::mutex> lock(mu);
    if (bytes.empty()) {
        sessions.erase({host, port});  // an older one would not be the server's latest
        return;
    }
    sessions[{host, port}] = KeptSession{std::move(bytes), ++sessions_clock};
    if (sessions.size() > SESSIONS_MAX) {
        auto oldest = sessions.begin();
        for (auto it = sessions.begin(); it != sessions.end(); ++it)
            if (it->second.used < oldest->second.used) oldest = it;
        sessions.erase(oldest);
    }
    first_over({host, port});
}

bool tls_session_offer(const std::string& host, int port, mbedtls_ssl_context& ssl,
                       std::chrono::milliseconds wait, bool& first) {
    std::vector<unsigned char> bytes;
    {
        const Site site{host, port};
        std::unique_lock<std::mutex> lock(mu);
        changed.wait_until(lock, Clock::now() + wait, [&] {
            return sessions.count(site) != 0 || firsts_in_flight.count(site) == 0;
        });
        const auto it = sessions.find(site);
        if (it == sessions.end()) {
            first = firsts_begun.insert(site).second;
            if (first) firsts_in_flight.insert(site);
            return false;
        }
        bytes = it->second.bytes;
    }
    mbedtls_ssl_session s;
    mbedtls_ssl_session_init(&s);
    const bool offered = mbedtls_ssl_session_load(&s, bytes.data(), bytes.size()) == 0 &&
                         mbedtls_ssl_set_session(&ssl, &s) == 0;
    mbedtls_ssl_session_free(&s);
    return offered;
}

void tls_session_forget(const std::string& host, int port) {
    std::lock_guard<std::mutex> lock(mu);
    sessions.erase({host, port});
}

void tls_first_over(const std::string& host, int port) {
    std::lock_guard<std::mutex> lock(mu);
    first_over({host, port});
}

void tls_sessions_reset() {
    std::lock_guard<std::mutex> lock(mu);
    sessions.clear();
    sessions_clock = 0;
    firsts_begun.clear();
    firsts_in_flight.clear();
}
