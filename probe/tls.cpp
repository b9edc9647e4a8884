// HTTPS: TLS over the probe's own socket, so the probe's time-outs bound
// every handshake read and write as they bound the plain ones. The server's
// chain is verified against the CA bundle and its name against the host;
// there is never a fallback to an unverified or clear-text request.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/socket.h>
#include <unistd.h>

#include <mbedtls/bignum.h>
#include <mbedtls/ctr_drbg.h>
#include <mbedtls/ecp.h>
#include <mbedtls/entropy.h>
#include <mbedtls/net_sockets.h>
#include <mbedtls/pk.h>
#include <mbedtls/platform.h>
#include <mbedtls/platform_util.h>
#include <mbedtls/ssl.h>
#include <mbedtls/x509_crt.h>
#include <psa/crypto.h>

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <cstdlib>
#include <map>
#include <optional>
#include <set>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "ca_bundle.h"
#include "connect.h"
#include "report.h"
#include "text.h"
#include "host_memory.h"
#include "tls_session.h"
#include "transport.h"
#include "unique_fd.h"

namespace {

// Key exchange groups, cheapest first: with the library's precomputed
// tables for P-256's base point, a P-256 exchange costs two thirds of an
// X25519 one in instructions.
const std::uint16_t GROUPS[] = {
    MBEDTLS_SSL_IANA_TLS_GROUP_SECP256R1, MBEDTLS_SSL_IANA_TLS_GROUP_X25519,
    MBEDTLS_SSL_IANA_TLS_GROUP_SECP384R1, MBEDTLS_SSL_IANA_TLS_GROUP_NONE};

// What is wrong with the server's certificate, from the verify flags.
std::string certificate_problem(std::uint32_t flags) {
    std::string what;
    auto add = [&](const char* text) { what += what.empty() ? text : std::string(", ") + text; };
    if (flags & MBEDTLS_X509_BADCERT_EXPIRED) add("certificate expired");
    if (flags & MBEDTLS_X509_BADCERT_FUTURE) add("certificate not yet valid");
    if (flags & MBEDTLS_X509_BADCERT_NOT_TRUSTED) add("certificate from an unknown issuer");
    if (flags & MBEDTLS_X509_BADCERT_CN_MISMATCH) add("certificate name mismatch");
    if (flags & MBEDTLS_X509_BADCERT_REVOKED) add("certificate revoked");
    if (what.empty()) add("certificate not acceptable");
    return what;
}

class TlsTransport : public Transport {
  public:
    explicit TlsTransport(JobState& job) : Transport(job) {
        mbedtls_ssl_init(&ssl_);
        mbedtls_ssl_config_init(&conf_);
        mbedtls_entropy_init(&entropy_);
        mbedtls_ctr_drbg_init(&drbg_);
    }
    ~TlsTransport() override {
        end_first_handshake();
        mbedtls_ssl_free(&ssl_);
        mbedtls_ssl_config_free(&conf_);
        mbedtls_ctr_drbg_free(&drbg_);
        mbedtls_entropy_free(&entropy_);
    }
    TlsTransport(const TlsTransport&) = delete;
    TlsTransport& operator=(const TlsTransport&) = delete;

    bool open(const std::string& host, int port, int retries) override {
        const mbedtls_x509_crt* chain =
            ca_chain(Clock::now() + std::chrono::seconds(probe_timeout(retries)), job());
        if (chain == nullptr) return false;
        host_ = host;
        port_ = port;
        timeout_ms_ = probe_timeout(retries) * 1000;
        int rc = configure(*chain);
        if (rc != 0) return fail(rc, retries);
        // Waiting for the first handshake is bounded as a handshake of its
        // own would be; it ends sooner when the first one does. The wait is
        // not taken from the job's time: its verdict must not depend on how
        // many probes run at once.
        const auto wait_from = Clock::now();
        const bool offered = tls_session_offer(
            host, port, ssl_, std::chrono::milliseconds(HANDSHAKE_TIME_FACTOR * timeout_ms_),
            first_);
        if (job().limit.at != Clock::time_point::max()) job().limit.at += Clock::now() - wait_from;
        rc = handshake(retries);
        // A kept session narrows the hello (its version, its ticket); a
        // server that has changed since may refuse it. It costs the job
        // nothing: one full, verified handshake follows on a new connection.
        if (rc != 0 && offered && !timed_out_ && rc != MBEDTLS_ERR_X509_CERT_VERIFY_FAILED) {
            tls_session_forget(host, port);
            fd_.reset();
            rc = mbedtls_ssl_session_reset(&ssl_);
            if (rc == 0) rc = handshake(retries);
        }
        if (rc != 0) return fail(rc, retries);
        report_step(job(), "tls", connection_text());
        if (mbedtls_ssl_get_version_number(&ssl_) == MBEDTLS_SSL_VERSION_TLS1_2)
            tls_session_keep(host, port, ssl_);  // a 1.3 session comes with its ticket, later
        return true;
    }

    bool send(std::string_view data) override {
        deadline_ = Clock::now() + std::chrono::milliseconds(timeout_ms_);
        while (!data.empty()) {
            const int n = mbedtls_ssl_write(
                &ssl_, reinterpret_cast<const unsigned char*>(data.data()), data.size());
            if (n <= 0) return false;
            data.remove_prefix(static_cast<std::size_t>(n));
        }
        return true;
    }

    long receive(char* buf, std::size_t n, int timeout_ms, Clock::time_point deadline) override {
        timeout_ms_ = timeout_ms;
        deadline_ = deadline;
        int r;
        // A TLS 1.3 server's tickets come between the records of the reply:
        // each is kept, and the reading goes on (each wait bounded).
        for (;;) {
            r = mbedtls_ssl_read(&ssl_, reinterpret_cast<unsigned char*>(buf), n);
            if (r == MBEDTLS_ERR_SSL_RECEIVED_NEW_SESSION_TICKET)
                tls_session_keep(host_, port_, ssl_);
            if (r != MBEDTLS_ERR_SSL_RECEIVED_NEW_SESSION_TICKET && r != MBEDTLS_ERR_SSL_WANT_READ)
                break;
        }
        if (r >= 0) return r;
        // A server that closes without close_notify has still closed.
        if (r == MBEDTLS_ERR_SSL_PEER_CLOSE_NOTIFY || r == MBEDTLS_ERR_SSL_CONN_EOF) return 0;
        return -1;
    }

    void close() override {
        if (fd_) mbedtls_ssl_close_notify(&ssl_);
        fd_.reset();
        end_first_handshake();
    }
    bool timed_out() const override { return timed_out_; }
    bool heard() const override { return heard_; }

  private:
    // The client's settings, and the name the server's certificate must
    // carry (sent as SNI too).
    int configure(const mbedtls_x509_crt& chain) {
        if (const int rc = crypto_ready()) return rc;
        if (const int rc =
                mbedtls_ctr_drbg_seed(&drbg_, mbedtls_entropy_func, &entropy_, nullptr, 0))
            return rc;
        if (const int rc = mbedtls_ssl_config_defaults(&conf_, MBEDTLS_SSL_IS_CLIENT,
                                                       MBEDTLS_SSL_TRANSPORT_STREAM,
                                                       MBEDTLS_SSL_PRESET_DEFAULT))
            return rc;
        mbedtls_ssl_conf_min_tls_version(&conf_, MBEDTLS_SSL_VERSION_TLS1_2);
        mbedtls_ssl_conf_max_tls_version(&conf_, MBEDTLS_SSL_VERSION_TLS1_3);
        mbedtls_ssl_conf_authmode(&conf_, MBEDTLS_SSL_VERIFY_REQUIRED);
        mbedtls_ssl_conf_ca_chain(&conf_, const_cast<mbedtls_x509_crt*>(&chain), nullptr);
        mbedtls_ssl_conf_rng(&conf_, mbedtls_ctr_drbg_random, &drbg_);
        mbedtls_ssl_conf_groups(&conf_, GROUPS);
        // A TLS 1.3 server hands its tickets over after the handshake.
        mbedtls_ssl_conf_tls13_enable_signal_new_session_tickets(
            &conf_, MBEDTLS_SSL_TLS1_3_SIGNAL_NEW_SESSION_TICKETS_ENABLED);
        if (const int rc = mbedtls_ssl_setup(&ssl_, &conf_)) return rc;
        // An IPv6 literal without its brackets, as a certificate has it.
        const std::string name =
            host_.size() > 2 && host_.front() == '[' ? host_.substr(1, host_.size() - 2) : host_;
        return mbedtls_ssl_set_hostname(&ssl_, name.c_str());
    }

    // One connection and handshake, bounded by the handshake's time.
    int handshake(int retries) {
        fd_ = tcp_connect(host_, port_, retries, job());
        if (!fd_) return MBEDTLS_ERR_NET_CONNECT_FAILED;
        since_ = Clock::now();
        deadline_ = since_ + std::chrono::milliseconds(HANDSHAKE_TIME_FACTOR * timeout_ms_);
        mbedtls_ssl_set_bio(&ssl_, this, send_cb, recv_cb, nullptr);
        int rc;
        do {
            rc = mbedtls_ssl_handshake(&ssl_);
        } while (rc == MBEDTLS_ERR_SSL_RECEIVED_NEW_SESSION_TICKET);
        return rc;
    }

    // The version, the cipher suite and the certificate it was verified
    // with (none when a session was resumed), for the steps a probe shows.
    std::string connection_text() const {
        std::string text =
            strconcat(mbedtls_ssl_get_version(&ssl_), ", ", mbedtls_ssl_get_ciphersuite(&ssl_));
        const mbedtls_x509_crt* crt = mbedtls_ssl_get_peer_cert(&ssl_);
        if (crt == nullptr) return strconcat(text, ", session resumed");
        char subject[256], issuer[256], until[16];
        if (mbedtls_x509_dn_gets(subject, sizeof subject, &crt->subject) < 0) subject[0] = '\0';
        if (mbedtls_x509_dn_gets(issuer, sizeof issuer, &crt->issuer) < 0) issuer[0] = '\0';
        std::snprintf(until, sizeof until, "%04d-%02d-%02d", crt->valid_to.year, crt->valid_to.mon,
                      crt->valid_to.day);
        return strconcat(text, ", certificate ", subject, ", valid until ", until, ", issuer ",
                         issuer);
    }

    // Says why the handshake failed (a failed connect has said so, or
    // stays silent, as for plain HTTP).
    bool fail(int rc, int retries) {
        fd_.reset();
        end_first_handshake();
        if (rc == MBEDTLS_ERR_NET_CONNECT_FAILED) return false;
        // A session it would not take is not offered to it again.
        tls_session_forget(host_, port_);
        const std::string said = strconcat("TLS with ", host_, " failed: ", failure(rc), "\n");
        report_raw(job(), said);
        // A handshake that trickled in too slowly was heard: only silence
        // is remembered.
        if (timed_out_ && !heard_)
            host_remember_silent(job(), host_, port_, probe_timeout(retries), since_, said);
        return false;
    }

    // Others waiting for this site's first session need not wait for this
    // connection any longer.
    void end_first_handshake() {
        if (first_) tls_first_over(host_, port_);
        first_ = false;
    }

    // The socket calls under mbedTLS, each bounded like a plain one.
    static int send_cb(void* self, const unsigned char* buf, std::size_t len) {
        auto* t = static_cast<TlsTransport*>(self);
        if (!wait_fd(t->fd_.get(), POLLOUT, t->timeout_ms_, t->deadline_, t->job().limit)) {
            t->timed_out_ = true;
            return MBEDTLS_ERR_SSL_TIMEOUT;
        }
        const ssize_t n = ::send(t->fd_.get(), buf, len, MSG_NOSIGNAL);
        return n >= 0 ? static_cast<int>(n) : MBEDTLS_ERR_NET_SEND_FAILED;
    }
    static int recv_cb(void* self, unsigned char* buf, std::size_t len) {
        auto* t = static_cast<TlsTransport*>(self);
        if (!wait_fd(t->fd_.get(), POLLIN, t->timeout_ms_, t->deadline_, t->job().limit)) {
            t->timed_out_ = true;
            return MBEDTLS_ERR_SSL_TIMEOUT;
        }
        ssize_t n;
        do {
            n = read(t->fd_.get(), buf, len);
        } while (n < 0 && errno == EINTR);
        if (n > 0) t->heard_ = true;
        return n >= 0 ? static_cast<int>(n) : MBEDTLS_ERR_NET_RECV_FAILED;
    }

    std::string failure(int rc) {
        if (rc == MBEDTLS_ERR_X509_CERT_VERIFY_FAILED)
            return certificate_problem(mbedtls_ssl_get_verify_result(&ssl_));
        if (timed_out_) return "no answer in time";
        return tls_failure_text(rc);
    }

    // PSA crypto, which TLS 1.3 works through, is set up once per process.
    static int crypto_ready() {
        static const psa_status_t status = psa_crypto_init();
        return status == PSA_SUCCESS ? 0 : MBEDTLS_ERR_SSL_HW_ACCEL_FAILED;
    }

    UniqueFd fd_;
    std::string host_;
    int port_ = 0;
    int timeout_ms_ = 0;
    Clock::time_point deadline_;
    Clock::time_point since_;  // when the handshake began
    bool timed_out_ = false;
    bool heard_ = false;  // a byte came from the server
    bool first_ = false;  // this is the run's first full handshake with the site
    mbedtls_ssl_context ssl_;
    mbedtls_ssl_config conf_;
    mbedtls_entropy_context entropy_;
    mbedtls_ctr_drbg_context drbg_;
};

}  // namespace

std::string tls_failure_text(int rc) {
    // mbedTLS adds a low-level code (a big-number, curve or parse error)
    // to a high-level one; each part alone has its words.
    const int high = -((-rc) & 0xFF80), low = -((-rc) & 0x7F);
    switch (high) {
        case MBEDTLS_ERR_SSL_CONN_EOF:
            return "the server closed the connection";
        case MBEDTLS_ERR_SSL_FATAL_ALERT_MESSAGE:
            return "the server refused the handshake";
        case MBEDTLS_ERR_SSL_HANDSHAKE_FAILURE:
        case MBEDTLS_ERR_SSL_BAD_PROTOCOL_VERSION:
        case MBEDTLS_ERR_SSL_FEATURE_UNAVAILABLE:
            return "no TLS version or cipher in common with the server";
        case MBEDTLS_ERR_SSL_INVALID_RECORD:
        case MBEDTLS_ERR_SSL_DECODE_ERROR:
            return "the server's answer is not TLS";
        // The one message that grows past the room for putting a handshake
        // message together is the server's certificate chain.
        case MBEDTLS_ERR_SSL_BAD_INPUT_DATA:
            return "certificate chain longer than 64 KiB";
        case MBEDTLS_ERR_SSL_INVALID_MAC:
            return "the server's records failed their integrity check";
        case MBEDTLS_ERR_SSL_UNEXPECTED_MESSAGE:
        case MBEDTLS_ERR_SSL_UNEXPECTED_RECORD:
        case MBEDTLS_ERR_SSL_ILLEGAL_PARAMETER:
        case MBEDTLS_ERR_SSL_UNSUPPORTED_EXTENSION:
        case MBEDTLS_ERR_SSL_EARLY_MESSAGE:
            return "the server broke the TLS protocol";
        case MBEDTLS_ERR_SSL_BAD_CERTIFICATE:
            return "the server's certificate could not be read";
        case MBEDTLS_ERR_SSL_BUFFER_TOO_SMALL:
            return "a handshake message too large for the client";
        case MBEDTLS_ERR_SSL_ALLOC_FAILED:
        case MBEDTLS_ERR_PK_ALLOC_FAILED:
        case MBEDTLS_ERR_ECP_ALLOC_FAILED:
            return "out of memory";
        default:
            break;
    }
    // The X.509 module's codes, then those of the keys and signatures.
    if (high <= -0x2000 && high > -0x3000) return "the server's certificate could not be read";
    if (high <= -0x3000 && high > -0x5000) return "the server's signature did not verify";
    if (low == MBEDTLS_ERR_MPI_ALLOC_FAILED) return "out of memory";
    if (low == MBEDTLS_ERR_NET_SEND_FAILED || low == MBEDTLS_ERR_NET_RECV_FAILED ||
        low == MBEDTLS_ERR_NET_CONN_RESET)
        return "the connection broke off";
    return "an internal error of the TLS library";
}

std::unique_ptr<Transport> tls_transport(JobState& job) {
    return std::make_unique<TlsTransport>(job);
}
