// Reading the CA bundle. Its path may name anything: a FIFO or a device
// would block a plain open or read for ever with the queue lock held, so
// only a regular file is read, opened without blocking, within the time
// of the job that first needs it.
#include "ca_bundle.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mbedtls/x509_crt.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "io.h"
#include "report.h"
#include "text.h"
#include "unique_fd.h"

namespace {

// Where CA bundles are, in the order they are looked for: Debian's, then
// where router package managers put it, then other distributions'.
const char* const CA_BUNDLES[] = {
    "/etc/ssl/certs/ca-certificates.crt",
    "/opt/etc/ssl/certs/ca-certificates.crt",
    "/etc/pki/tls/certs/ca-bundle.crt",
    "/etc/ssl/cert.pem",
};

// The trusted certificates, read once per run when an https URL is first
// met. `mu` guards the reading; once `read` is set the rest is read-only,
// so connections on any thread share it.
struct CaStore {
    std::mutex mu;
    bool read = false;
    mbedtls_x509_crt chain;
    bool usable = false;
    std::string why;  // where it looked, or what was wrong with the file
};
CaStore ca;

// The bundle's text, or none with `why` set.
std::optional<std::string> read_bundle(const char* path, Clock::time_point deadline,
                                       std::string& why) {
    const UniqueFd fd(open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    struct stat st {};
    if (!fd || fstat(fd.get(), &st) != 0) {
        if (errno != ENOENT) why = strconcat(path, ": ", std::strerror(errno));
        return std::nullopt;
    }
    if (!S_ISREG(st.st_mode)) {
        why = strconcat(path, " is not a regular file");
        return std::nullopt;
    }
    if (st.st_size > CA_BUNDLE_MAX) return std::nullopt;
    std::string text;
    if (!read_rest(fd.get(), text, static_cast<std::size_t>(CA_BUNDLE_MAX), deadline)) {
        why = errno == ETIMEDOUT ? strconcat(path, ": not read in time")
                                 : strconcat(path, ": ", std::strerror(errno));
        return std::nullopt;
    }
    return text;
}

bool load_bundle(const char* path, Clock::time_point deadline) {
    const auto text = read_bundle(path, deadline, ca.why);
    if (!text) return false;
    if (text->find("-----BEGIN") == std::string::npos)  // one certificate in DER
        return mbedtls_x509_crt_parse_der(&ca.chain,
                                          reinterpret_cast<const unsigned char*>(text->data()),
                                          text->size()) == 0;
    return add_pem_certificates(ca.chain, *text) > 0;
}

// Reads the first bundle there is into `ca`, within `deadline`.
void read_first_bundle(Clock::time_point deadline) {
    mbedtls_x509_crt_init(&ca.chain);
    if (const char* named = std::getenv("SSL_CERT_FILE")) {
        ca.why = strconcat("looked in SSL_CERT_FILE=", named);
        ca.usable = load_bundle(named, deadline);
        return;
    }
    std::string looked;
    for (const char* path : CA_BUNDLES) {
        if (access(path, F_OK) != 0) {
            looked += strconcat(looked.empty() ? "" : ", ", path);
            continue;
        }
        ca.why = strconcat("looked in ", path);
        ca.usable = load_bundle(path, deadline);
        return;
    }
    ca.why = strconcat("looked in ", looked);
}

// Base64's value of `c`, -1 for a character outside it.
int base64_value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

}  // namespace

const mbedtls_x509_crt* ca_chain(Clock::time_point deadline, JobState& job) {
    {
        std::lock_guard<std::mutex> lock(ca.mu);
        if (!ca.read) read_first_bundle(within_limit(job.limit, deadline));
        ca.read = true;
    }
    if (ca.usable) return &ca.chain;
    // Said by every job that needs it, written once: the first job in file
    // order to need it shows it, however the jobs are scheduled.
    report_once(
        job, strconcat("no CA certificates found (", ca.why, "); https links can't be checked\n"));
    return nullptr;
}

std::optional<std::vector<unsigned char>> base64_decode(std::string_view body) {
    std::vector<unsigned char> out;
    out.reserve(body.size() / 4 * 3);
    std::uint32_t bits = 0;
    int have = 0, padding = 0;
    for (const char c : body) {
        if (is_blank(c)) continue;
        if (c == '=') {
            ++padding;
            continue;
        }
        const int v = base64_value(c);
        if (v < 0 || padding > 0) return std::nullopt;
        bits = bits << 6 | static_cast<std::uint32_t>(v);
        have += 6;
        if (have >= 8) {
            have -= 8;
            out.push_back(static_cast<unsigned char>(bits >> have));
        }
    }
    if (padding > 2 || have >= 6) return std::nullopt;
    return out;
}

std::optional<std::vector<unsigned char>> pem_next_certificate(std::string_view pem,
                                                               std::size_t& at) {
    static constexpr std::string_view BEGIN = "-----BEGIN CERTIFICATE-----";
    static constexpr std::string_view END = "-----END CERTIFICATE-----";
    for (at = pem.find(BEGIN, at); at != std::string_view::npos;) {
        const std::size_t body = at + BEGIN.size();
        const std::size_t end = pem.find(END, body);
        const std::size_t next = pem.find(BEGIN, body);
        // A block without its END line ends where the next one begins: the
        // certificate after it is still read.
        if (end == std::string_view::npos || next < end) {
            at = next;
            continue;
        }
        at = end + END.size();
        if (auto der = base64_decode(pem.substr(body, end - body))) return der;
        at = pem.find(BEGIN, at);
    }
    at = pem.size();
    return std::nullopt;
}

std::size_t add_pem_certificates(mbedtls_x509_crt& chain, std::string_view pem) {
    // The bundle is public: the library's constant-time base64, made for
    // keys, was a tenth of an https run's instructions.
    std::size_t added = 0, held = 0;
    for (const mbedtls_x509_crt* c = &chain; c != nullptr && c->raw.p != nullptr; c = c->next)
        ++held;
    std::size_t at = 0;
    while (held < CA_CERTS_MAX) {
        const auto der = pem_next_certificate(pem, at);
        if (!der) break;
        if (mbedtls_x509_crt_parse_der(&chain, der->data(), der->size()) == 0) ++added, ++held;
    }
    return added;
}

void ca_bundle_reset() {
    std::lock_guard<std::mutex> lock(ca.mu);
    if (ca.read) mbedtls_x509_crt_free(&ca.chain);
    ca.read = ca.usable = false;
    ca.why.clear();
}
