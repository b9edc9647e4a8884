#include <gtest/gtest.h>

#include <memory>

#include "connect.h"
#include "report.h"
#include "url_text.h"
#include "resolve.h"
#include "dispatch.h"
#include "sandbox.h"
#include "scripted_server.h"
#include "util.h"

namespace {

TEST(ProbeTimeout, GrowsWithTheRetryCounter) {
    const std::pair<int, int> cases[] = {{-5, 3}, {0, 3}, {1, 3}, {2, 5}, {3, 8}, {4, 8}, {99, 8}};
    for (auto [retries, seconds] : cases)
        EXPECT_EQ(probe_timeout(retries), seconds) << retries;
}

using namespace script;

const Script HTTP_OK = {read_request(), send("HTTP/1.0 200 OK\r\n\r\n"), close()};
const Script HTTP_404 = {read_request(), send("HTTP/1.0 404 Not Found\r\n\r\n"), close()};
const Script FTP_OK = {send("220 hi\r\n"), read_line(), send("230 in\r\n"), stall()};
const Script FTP_REFUSE = {send("220 hi\r\n"), read_line(),        send("331 pw\r\n"),
                           read_line(),        send("530 no\r\n"), stall()};
const Script FTP_BUSY = {send("421 busy\r\n"), close()};

class Dispatch : public ::testing::Test {
  protected:
    void SetUp() override {
        REQUIRE_SANDBOX();
        resolve_reset();
        sandbox_hosts("127.0.0.1 localhost web.test ftphost\n127.0.0.2 other.test\n");
    }
};

TEST_F(Dispatch, EndsOfACall) {
    struct Case {
        const char* name;
        std::string url;
        std::optional<Script> http, ftp;  // none: nothing listens
        std::string spec;
        std::uint32_t kind;
        int outcome;
        int http_conns, ftp_conns;
        std::string err;
    };
    const Case cases[] = {
        {"http reached", "http://web.test/x", HTTP_OK, FTP_OK, "http://web.test/x", KIND_HTTP,
         OUTCOME_REACHABLE, 1, 0, ""},
        {"neither answers", "http://web.test/x", std::nullopt, std::nullopt, "ftp://web.test/x",
         KIND_FTP, OUTCOME_FAILED, 0, 0, ""},
        {"only ftp", "http://web.test/x", HTTP_404, FTP_OK, "ftp://web.test/x", KIND_FTP,
         OUTCOME_REACHABLE, 1, 1, "HTTP error from server: HTTP/1.0 404 Not Found\r"},
        {"http fails, ftp refuses", "http://web.test/x", std::nullopt, FTP_REFUSE,
         "ftp://web.test/x", KIND_FTP, OUTCOME_LOGIN_REFUSED, 0, 1, "530 no\r\nlogin failed"},
        {"ftp refuses: no http", "ftp://web.test/x", HTTP_OK, FTP_REFUSE, "ftp://web.test/x",
         KIND_FTP, OUTCOME_LOGIN_REFUSED, 0, 1, "530 no\r\nlogin failed"},
        {"only http for ftp", "ftp://web.test/x", HTTP_OK, FTP_BUSY, "http://web.test/x", KIND_HTTP,
         OUTCOME_REACHABLE, 1, 1, "421 busy\r\n"},
        {"no scheme: http first", "web.test/x", HTTP_404, FTP_OK, "ftp://web.test/x", KIND_FTP,
         OUTCOME_REACHABLE, 1, 1, "HTTP error from server: HTTP/1.0 404 Not Found\r"},
        {"ftp-like name: ftp first", "ftphost/x", HTTP_OK, FTP_BUSY, "http://ftphost/x", KIND_HTTP,
         OUTCOME_REACHABLE, 1, 1, "421 busy\r\n"},
        {"pasted with blanks around", " http://web.test/x \r\n", HTTP_OK, FTP_OK,
         "http://web.test/x", KIND_HTTP, OUTCOME_REACHABLE, 1, 0, ""},
        {"torrent by form", "http://web.test/a.torrent", HTTP_OK, FTP_OK,
         "http://web.test/a.torrent", KIND_TORRENT, OUTCOME_REACHABLE, 0, 0, ""},
        {"nzb by form", "web.test/a.nzb", HTTP_OK, FTP_OK, "web.test/a.nzb", KIND_NZB,
         OUTCOME_REACHABLE, 0, 0, ""},
        {"magnet", "magnet:?xt=urn:btih:ab", HTTP_OK, FTP_OK, "magnet:?xt=urn:btih:ab",
         KIND_TORRENT, OUTCOME_REACHABLE, 0, 0, ""},
        {"ed2k", "ed2k://|file|a|1|H|/", HTTP_OK, FTP_OK, "ed2k://|file|a|1|H|/", KIND_ED2K,
         OUTCOME_REACHABLE, 0, 0, ""},
    };
    for (const auto& c : cases) {
        std::unique_ptr<ScriptedServer> http, ftp;
        if (c.http) {
            http = std::make_unique<ScriptedServer>("127.0.0.1", 80, std::vector<Script>{*c.http});
        }
        if (c.ftp) {
            ftp = std::make_unique<ScriptedServer>("127.0.0.1", 21, std::vector<Script>{*c.ftp});
        }
        std::shared_ptr<UrlParts> r;
        const std::string err = capture_stderr([&] { r = url_parser(c.url, 0); });
        ASSERT_NE(r, nullptr) << c.name;
        EXPECT_EQ(r->spec, c.spec) << c.name;
        EXPECT_EQ(r->kind, c.kind) << c.name;
        EXPECT_EQ(r->outcome, c.outcome) << c.name;
        EXPECT_EQ(err, c.err) << c.name;
        if (http) {
            EXPECT_EQ(http->connections(), c.http_conns) << c.name;
        }
        if (ftp) {
            EXPECT_EQ(ftp->connections(), c.ftp_conns) << c.name;
        }
    }
}

TEST_F(Dispatch, CheckUrlCountsARefusalAsReached) {
    ScriptedServer ftp("127.0.0.1", 21, {FTP_REFUSE});
    ProbeContext ctx{url_new()};
    url_init(*ctx.current, "http://web.test/x");
    bool reached = false;
    capture_stderr([&] { reached = check_url(ctx, 0); });
    EXPECT_TRUE(reached);
    ProbeContext none{url_new()};
    url_init(*none.current, "http://other.test/x");
    EXPECT_FALSE(check_url(none, 0));
}

TEST_F(Dispatch, EveryJobHasTheWholeRedirectAllowance) {
    auto chain = [](int n) {
        std::vector<Script> scripts;
        for (int i = 1; i <= n; ++i)
            scripts.push_back(
                {read_request(),
                 send("HTTP/1.0 302 Found\r\nLocation: /r" + std::to_string(i) + "\r\n\r\n"),
                 close()});
        scripts.push_back(HTTP_OK);
        return scripts;
    };
    ScriptedServer first("127.0.0.1", 80, chain(6));
    EXPECT_EQ(url_parser("http://web.test/r0", 0)->spec, "http://web.test/r6");
    ScriptedServer second("127.0.0.2", 80, chain(10));
    std::shared_ptr<UrlParts> r;
    const std::string err = capture_stderr([&] { r = url_parser("http://other.test/r0", 0); });
    EXPECT_EQ(r->spec, "http://other.test/r10");
    EXPECT_EQ(err, "");
    EXPECT_EQ(second.connections(), 11);
}

}  // namespace
