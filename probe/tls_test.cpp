// https against real TLS servers in the sandbox: nginx with certificates a
// test CA made at run time, trusted through the standard bundle path.
#include <gtest/gtest.h>

#include <sys/mount.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <ctime>

#include <mbedtls/x509_crt.h>

#include "connect.h"
#include "report.h"
#include "url_text.h"
#include "dispatch.h"
#include "http.h"
#include "ca_bundle.h"
#include "transport.h"
#include "net.h"
#include "probe_run.h"
#include "resolve.h"
#include "sandbox.h"
#include "scripted_server.h"
#include "servers.h"
#include "util.h"

// The library's UTC conversion for certificate dates (the detector's own).
extern "C" struct tm* mbedtls_platform_gmtime_r(const time_t* tt, struct tm* tm_buf);

namespace {

using namespace script;

TEST(CertificateTime, UtcConversionIsTheCLibrarys) {
    auto fields = [](const tm& t) {
        return std::vector<int>{t.tm_year, t.tm_mon, t.tm_mday, t.tm_hour,
                                t.tm_min,  t.tm_sec, t.tm_wday, t.tm_yday};
    };
    for (const std::int64_t t64 :
         {0LL, 1LL, -1LL, 951782399LL, 951782400LL, 1709164800LL, 2147483647LL, -2147483648LL,
          4102444800LL, 253402300799LL, -62135596800LL}) {
        const auto t = static_cast<time_t>(t64);
        if (static_cast<std::int64_t>(t) != t64) continue;  // no room in a 32-bit time_t
        tm ours{}, libc{};
        ASSERT_NE(mbedtls_platform_gmtime_r(&t, &ours), nullptr);
        ASSERT_NE(gmtime_r(&t, &libc), nullptr);
        EXPECT_EQ(fields(ours), fields(libc)) << t64;
    }
}

// The CA bundle's PEM blocks: each readable certificate is added, and
// whatever is not one is skipped without costing the others.
TEST(CaBundle, EachReadableCertificateIsAdded) {
    const std::string a = read_file(TestCa("A").cert()), b = read_file(TestCa("B").cert());
    auto crlf = [](std::string t) {
        for (std::size_t at = 0; (at = t.find('\n', at)) != std::string::npos; at += 2)
            t.insert(at, "\r");
        return t;
    };
    auto spoil = [](std::string t, const std::string& with) {
        return t.insert(t.find('\n', t.find("BEGIN")) + 10, with);
    };
    const std::string not_a_cert =
        "-----BEGIN CERTIFICATE-----\naGVsbG8gd29ybGQ=\n-----END CERTIFICATE-----\n";
    const std::pair<std::string, std::size_t> cases[] = {
        {"# A\n" + a + "\n# B\n" + b, 2},
        {crlf(a), 1},
        {spoil(a, "*") + b, 1},   // not base64
        {spoil(a, "=A") + b, 1},  // data after the padding
        {not_a_cert + b, 1},
        {a.substr(0, a.find("-----END")), 0},
        {a.substr(0, a.find("-----END")) + b, 1},  // cut short: ends where the next begins
        {"", 0},
    };
    for (const auto& [text, added] : cases) {
        mbedtls_x509_crt chain;
        mbedtls_x509_crt_init(&chain);
        EXPECT_EQ(add_pem_certificates(chain, text), added) << text;
        mbedtls_x509_crt_free(&chain);
    }
    // A bundle of many small certificates keeps no more than the cap.
    std::string many;
    for (std::size_t i = 0; i <= CA_CERTS_MAX; ++i)
        many += a;
    mbedtls_x509_crt chain;
    mbedtls_x509_crt_init(&chain);
    EXPECT_EQ(add_pem_certificates(chain, many), CA_CERTS_MAX);
    EXPECT_EQ(add_pem_certificates(chain, b), 0U);
    mbedtls_x509_crt_free(&chain);
}

using namespace std::chrono_literals;

constexpr const char* BUNDLE = "/etc/ssl/certs/ca-certificates.crt";

class TlsProbe : public ::testing::Test {
  protected:
    void SetUp() override {
        REQUIRE_SANDBOX();
        unsetenv("SSL_CERT_FILE");
        resolve_reset();
        sandbox_hosts("127.0.0.1 localhost web.test\n127.0.0.2 bad.test\n");
        ca = std::make_unique<TestCa>();
        ASSERT_TRUE(sandbox_replace(BUNDLE, read_file(ca->cert())));
    }

    // The dispatch's whole answer for `url`, with what it printed.
    static ProbeRun<UrlParts> probe(const std::string& url, int retries = 0) {
        ProbeContext ctx{url_new()};
        url_init(*ctx.current, url);
        return run_probe(ctx, check_url, retries);
    }

    std::unique_ptr<TestCa> ca;
};

const std::string REQUEST =
    "GET /f.iso HTTP/1.0\r\nHost: web.test:8443\r\nUser-Agent: grelt/7.0 "
    "(http://qv2-detect.invalid/)\r\n\r\n";

TEST_F(TlsProbe, HttpsIsReachedOverTlsOnly) {
    const CertFiles cert = ca->issue("web.test");
    NginxServer tls("127.0.0.1", 443, {{"f.iso", "x"}}, "", &cert);
    ScriptedServer plain("127.0.0.1", 80, {{read_request(), send("HTTP/1.0 200 OK\r\n\r\n")}});
    const auto r = probe("https://web.test/f.iso");
    EXPECT_EQ(r.outcome, 1) << r.err << tls.log();
    EXPECT_EQ(r.current->spec, "https://web.test/f.iso");
    EXPECT_EQ(r.current->outcome, OUTCOME_REACHABLE);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(plain.connections(), 0);  // never in the clear

    // A 404 over TLS fails (and its FTP form finds no server either).
    const auto missing = probe("https://web.test/missing.iso");
    EXPECT_EQ(missing.current->outcome, OUTCOME_FAILED);
    EXPECT_EQ(missing.current->spec, "ftp://web.test/missing.iso");
    EXPECT_EQ(missing.err, "HTTP error from server: HTTP/1.1 404 Not Found\r");
}

TEST_F(TlsProbe, HttpRedirectToHttpsEndsThere) {
    const CertFiles cert = ca->issue("web.test");
    NginxServer tls("127.0.0.1", 443, {{"f.iso", "x"}}, "", &cert);
    ScriptedServer plain(
        "127.0.0.1", 80,
        {{read_request(), send("HTTP/1.0 301 Moved\r\nLocation: https://web.test/f.iso\r\n\r\n"),
          close()}});
    const auto r = probe("http://web.test/old");
    EXPECT_EQ(r.current->spec, "https://web.test/f.iso");
    EXPECT_EQ(r.current->outcome, OUTCOME_REACHABLE);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(plain.connections(), 1);
}

// The request inside TLS is the plain request, byte for byte: a TLS front
// hands it to a scripted server. SSL_CERT_FILE names the CA instead.
TEST_F(TlsProbe, RequestBytesInsideTls) {
    ASSERT_TRUE(sandbox_replace(BUNDLE, ""));
    setenv("SSL_CERT_FILE", ca->cert().c_str(), 1);
    ScriptedServer behind("127.0.0.1", 0, {{read_request(), send("HTTP/1.0 200 OK\r\n\r\n")}});
    TlsFront front("127.0.0.1", 8443, ca->issue("web.test"), behind.port());
    const auto r = probe("https://web.test:8443/f.iso");
    EXPECT_EQ(r.current->outcome, OUTCOME_REACHABLE) << r.err;
    EXPECT_EQ(behind.received(0), REQUEST);
}

// A certificate that does not prove the server is the host: the probe
// fails with one line that says why, and no request is ever sent.
TEST_F(TlsProbe, BadCertificatesFailBeforeTheRequest) {
    TestCa other("Other CA");
    const std::pair<CertFiles, std::string> cases[] = {
        {other.issue("web.test"), "certificate from an unknown issuer"},
        {ca->issue("web.test", true), "certificate expired"},
        {ca->issue("other.test"), "certificate name mismatch"},
    };
    for (const auto& [cert, why] : cases) {
        ScriptedServer behind("127.0.0.1", 0, {{read_request(), send("HTTP/1.0 200 OK\r\n\r\n")}});
        TlsFront front("127.0.0.1", 443, cert, behind.port());
        const auto r = probe("https://web.test/f.iso");
        EXPECT_EQ(r.current->outcome, OUTCOME_FAILED) << why;
        EXPECT_EQ(r.err, "TLS with web.test failed: " + why + "\n") << why;
        EXPECT_EQ(behind.all_received(), "") << why;
    }
}

// The body nginx sends for `path` over one TLS connection, or why not.
std::string fetch(const std::string& path, int port = 443) {
    JobState job;
    const auto conn = tls_transport(job);
    std::string got;
    const std::string said = capture_stderr([&] {
        if (!conn->open("web.test", port, 0)) return;
        conn->send("GET " + path + " HTTP/1.0\r\nHost: web.test\r\n\r\n");
        char buf[512];
        for (long n; (n = conn->receive(buf, sizeof buf, 3000, Clock::now() + 5s)) > 0;)
            got.append(buf, static_cast<std::size_t>(n));
        conn->close();
    });
    return got.empty() ? said : got.substr(got.find("\r\n\r\n") + 4);
}

// TLS 1.2 and 1.3 servers are both reached, and a later connection to a
// site resumes the verified session of the first: one full handshake.
TEST_F(TlsProbe, BothVersionsAreReachedAndResumed) {
    const CertFiles cert = ca->issue("web.test");
    const std::pair<std::string, int> servers[] = {{"TLSv1.2", 443}, {"TLSv1.3", 4443}};
    for (const auto& [version, port] : servers) {
        NginxServer web(
            "127.0.0.1", port, {},
            "    ssl_protocols " + version +
                ";\n    location = /r { return 200 \"$ssl_protocol $ssl_session_reused\"; }\n",
            &cert);
        EXPECT_EQ(fetch("/r", port), version + " .") << web.log();
        EXPECT_EQ(fetch("/r", port), version + " r");
    }
}

// A server changed since its session was kept (its TLS version, say)
// costs the job nothing: the refused resumption is followed by one full,
// verified handshake in the same probe.
TEST_F(TlsProbe, ChangedServerIsReachedInOneProbe) {
    const CertFiles cert = ca->issue("web.test");
    const std::pair<std::string, std::string> cases[] = {{"TLSv1.2", "TLSv1.3"},
                                                         {"TLSv1.3", "TLSv1.2"}};
    for (const auto& [before, after] : cases) {
        for (const std::string& version : {before, after}) {
            NginxServer web("127.0.0.1", 443, {},
                            "    ssl_protocols " + version +
                                ";\n    location = /r { return 200 $ssl_protocol; }\n",
                            &cert);
            EXPECT_EQ(fetch("/r"), version) << before << " then " << after;
        }
    }
}

// The servers people run, with the keys and TLS versions they use: each
// is reached, its chain verified (RSA PKCS#1 v1.5 and ECDSA signatures on
// the chain; RSA-PSS, RSA PKCS#1 v1.5 and ECDSA in the handshake; a P-384
// key share asked for by a hello retry).
TEST_F(TlsProbe, ServersPeopleRun) {
    TestCa rsa_root("RSA Root", KEY_RSA2048);
    TestCa rsa_mid("RSA Intermediate", KEY_RSA2048, &rsa_root);
    ASSERT_TRUE(sandbox_replace(BUNDLE, read_file(ca->cert()) + read_file(rsa_root.cert())));
    const CertFiles rsa_chain = rsa_mid.issue("web.test", false, 0, "", KEY_RSA2048);
    const CertFiles rsa4096 = ca->issue("web.test", false, 0, "", KEY_RSA4096);
    const CertFiles ecdsa = ca->issue("web.test");
    const CertFiles p384 = ca->issue("web.test", false, 0, "", KEY_P384);
    struct Case {
        const char* server;
        const CertFiles* cert;
        const char* version;  // TLSv1.2 or TLSv1.3 only; none: both
    };
    const Case cases[] = {
        {"nginx", &rsa_chain, "TLSv1.3"},   {"nginx", &rsa_chain, "TLSv1.2"},
        {"nginx", &rsa4096, nullptr},       {"apache2", &rsa_chain, "TLSv1.3"},
        {"apache2", &rsa_chain, "TLSv1.2"}, {"apache2", &ecdsa, "TLSv1.3"},
        {"apache2", &ecdsa, "TLSv1.2"},     {"gnutls-serv", &p384, "TLSv1.3"},
    };
    int port = 4430;
    for (const auto& c : cases) {
        // A port each: no case resumes another's session.
        const std::string where = std::to_string(++port);
        const std::string version = c.version ? c.version : "TLSv1.2 TLSv1.3";
        std::unique_ptr<NginxServer> nginx;
        std::unique_ptr<ApacheServer> apache;
        std::unique_ptr<Child> gnutls;
        if (std::string(c.server) == "nginx") {
            nginx = std::make_unique<NginxServer>(
                "127.0.0.1", port, std::map<std::string, std::string>{{"index.html", "x"}},
                "    ssl_protocols " + version + ";\n", c.cert);
        } else if (std::string(c.server) == "apache2") {
            apache = std::make_unique<ApacheServer>(
                "127.0.0.1", port, std::map<std::string, std::string>{{"index.html", "x"}},
                "SSLProtocol -all +" + version + "\n", c.cert);
        } else {
            gnutls = std::make_unique<Child>(
                std::vector<std::string>{
                    "gnutls-serv", "--http", "--port", where, "--x509certfile", c.cert->cert,
                    "--x509keyfile", c.cert->key, "--priority",
                    "NORMAL:-VERS-ALL:+VERS-TLS1.3:-GROUP-ALL:+GROUP-SECP384R1"},
                std::vector<std::pair<std::string, std::string>>{});
            ASSERT_TRUE(wait_for_port("127.0.0.1", port, 10)) << gnutls->wait(0).err;
        }
        const auto r = probe("https://web.test:" + where + "/");
        EXPECT_EQ(r.current->outcome, OUTCOME_REACHABLE)
            << c.server << " " << version << " " << c.cert->key << r.err;
    }
}

// A TLS 1.2 server whose tickets carry `size` bytes of its own data
// (OpenSSL's ticket callback, through ctypes): argv cert key port size.
// It prints a line for each connection.
const char* const LONG_TICKET_SERVER = R"(
import ctypes as C, socket, sys
ssl = C.CDLL("libssl.so.3")
P = C.c_void_p
for name, res, args in [("TLS_server_method", P, []), ("SSL_CTX_new", P, [P]),
                        ("SSL_CTX_ctrl", C.c_long, [P, C.c_int, C.c_long, P]),
                        ("SSL_CTX_use_certificate_chain_file", C.c_int, [P, C.c_char_p]),
                        ("SSL_CTX_use_PrivateKey_file", C.c_int, [P, C.c_char_p, C.c_int]),
                        ("SSL_CTX_set_session_ticket_cb", C.c_int, [P, P, P, P]),
                        ("SSL_get_session", P, [P]),
                        ("SSL_SESSION_set1_ticket_appdata", C.c_int, [P, P, C.c_size_t]),
                        ("SSL_new", P, [P]), ("SSL_set_fd", C.c_int, [P, C.c_int]),
                        ("SSL_accept", C.c_int, [P]), ("SSL_read", C.c_int, [P, P, C.c_int]),
                        ("SSL_write", C.c_int, [P, C.c_char_p, C.c_int]),
                        ("SSL_shutdown", C.c_int, [P]), ("SSL_free", None, [P])]:
    f = getattr(ssl, name); f.restype = res; f.argtypes = args
cert, key, port, size = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
ctx = ssl.SSL_CTX_new(ssl.TLS_server_method())
ssl.SSL_CTX_ctrl(ctx, 124, 0x0303, None)  # SSL_CTRL_SET_MAX_PROTO_VERSION: TLS 1.2
ssl.SSL_CTX_use_certificate_chain_file(ctx, cert.encode())
ssl.SSL_CTX_use_PrivateKey_file(ctx, key.encode(), 1)
pad = C.create_string_buffer(size)
GEN = C.CFUNCTYPE(C.c_int, P, P)
DEC = C.CFUNCTYPE(C.c_int, P, P, P, C.c_size_t, C.c_int, P)
gen = GEN(lambda s, a: ssl.SSL_SESSION_set1_ticket_appdata(ssl.SSL_get_session(s), pad, size))
dec = DEC(lambda s, ss, k, n, status, a: 3 if status in (5, 6) else 2)
ssl.SSL_CTX_set_session_ticket_cb(ctx, C.cast(gen, P), C.cast(dec, P), None)
srv = socket.socket(); srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
srv.bind(("127.0.0.1", port)); srv.listen(8)
buf = C.create_string_buffer(4096)
while True:
    conn, _ = srv.accept()
    print("accepted", flush=True)
    s = ssl.SSL_new(ctx); ssl.SSL_set_fd(s, conn.fileno())
    if ssl.SSL_accept(s) == 1 and ssl.SSL_read(s, buf, 4096) > 0:
        ssl.SSL_write(s, b"HTTP/1.0 200 OK\r\n\r\n", 19); ssl.SSL_shutdown(s)
    ssl.SSL_free(s); conn.close()
)";

// A ticket too long to go back in a ClientHello is not kept: every job on
// the site is reached with one connection and a full handshake.
TEST_F(TlsProbe, LongTicketsAreNotKept) {
    const CertFiles cert = ca->issue("web.test");
    Child server({"/usr/bin/python3", "-c", LONG_TICKET_SERVER, cert.cert, cert.key, "443", "4000"},
                 {});
    ASSERT_TRUE(wait_for_port("127.0.0.1", 443, 10)) << server.wait(0).err;
    for (int job = 0; job < 3; ++job) {
        const auto r = probe("https://web.test/f");
        EXPECT_EQ(r.current->outcome, OUTCOME_REACHABLE) << job << r.err;
    }
    server.signal(SIGTERM);
    const std::string out = server.wait(5).out;
    // The start-up check's connection, then one a job.
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1 + 3);
}

// A server that does not resume the session offered gets a full handshake,
// its chain verified as on the first.
TEST_F(TlsProbe, RefusedResumptionIsVerifiedInFull) {
    const std::string no_resumption =
        "    ssl_session_tickets off;\n    location = /r { return 200 ok; }\n";
    const CertFiles good = ca->issue("web.test"), expired = ca->issue("web.test", true);
    {
        NginxServer web("127.0.0.1", 443, {}, "    location = /r { return 200 ok; }\n", &good);
        EXPECT_EQ(fetch("/r"), "ok");
    }
    NginxServer other("127.0.0.1", 443, {}, no_resumption, &expired);
    EXPECT_EQ(fetch("/r"), "TLS with web.test failed: certificate expired\n");
}

// A server whose handshake records are cut small (512 bytes, the least
// OpenSSL sends): its messages are put together again.
TEST_F(TlsProbe, HandshakeInSmallRecords) {
    const CertFiles cert = ca->issue("web.test");
    for (const auto& [version, port] : {std::pair{"-tls1_2", 443}, std::pair{"-tls1_3", 4443}}) {
        Child server(
            {"openssl", "s_server", "-quiet", "-accept", "127.0.0.1:" + std::to_string(port),
             "-cert", cert.cert, "-key", cert.key, "-max_send_frag", "512", version, "-www"},
            {});
        ASSERT_TRUE(wait_for_port("127.0.0.1", port, 10)) << server.wait(0).err;
        const auto r = probe("https://web.test:" + std::to_string(port) + "/");
        EXPECT_EQ(r.current->outcome, OUTCOME_REACHABLE) << version << r.err;
    }
}

// A certificate chain of up to 64 KB, in a handshake message far larger
// than a record.
TEST_F(TlsProbe, LargeChains) {
    const std::pair<std::size_t, std::string> cases[] = {
        {60 * 1024, ""},
        {80 * 1024, "TLS with web.test failed: certificate chain longer than 64 KiB\n"}};
    for (const auto& [size, err] : cases) {
        const CertFiles cert = ca->issue("web.test", false, size);
        NginxServer web("127.0.0.1", 443, {{"f", "x"}}, "", &cert);
        const auto r = probe("https://web.test/f");
        EXPECT_EQ(r.current->outcome, err.empty() ? OUTCOME_REACHABLE : OUTCOME_FAILED) << size;
        EXPECT_EQ(r.err.substr(0, err.size()), err) << size;
    }
}

TEST_F(TlsProbe, NoCaBundleIsSaidOnce) {
    TempDir empty;
    ASSERT_EQ(mount("tmpfs", "/etc/ssl/certs", "tmpfs", 0, nullptr), 0);
    ScriptedServer never("127.0.0.1", 443, {{stall()}});
    const std::string err = capture_stderr([] {
        for (int i = 0; i < 2; ++i)
            EXPECT_EQ(url_parser("https://web.test/f.iso", 0)->outcome, OUTCOME_FAILED);
    });
    EXPECT_EQ(err,
              "no CA certificates found (looked in /etc/ssl/certs/ca-certificates.crt, "
              "/opt/etc/ssl/certs/ca-certificates.crt, /etc/pki/tls/certs/ca-bundle.crt, "
              "/etc/ssl/cert.pem); https links can't be checked\n");
    EXPECT_EQ(never.connections(), 0);
}

TEST_F(TlsProbe, SlowServerThatNeverSpeaksTlsFailsAtTheTimeout) {
    ScriptedServer silent("127.0.0.1", 443, {{stall()}});
    const auto r = probe("https://web.test/f.iso");
    EXPECT_EQ(r.current->outcome, OUTCOME_FAILED);
    EXPECT_EQ(r.err, "TLS with web.test failed: no answer in time\n");
    EXPECT_GE(r.seconds, 2.9);
    EXPECT_LT(r.seconds, 4.0);
}

}  // namespace
