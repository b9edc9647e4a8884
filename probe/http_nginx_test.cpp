// The HTTP probe against a real nginx and a real Apache.
#include <gtest/gtest.h>

#include "connect.h"
#include "report.h"
#include "url_text.h"
#include "resolve.h"
#include "http.h"
#include "probe_run.h"
#include "sandbox.h"
#include "servers.h"

namespace {

class HttpNginx : public ::testing::Test {
  protected:
    void SetUp() override {
        REQUIRE_SANDBOX();
        resolve_reset();
        sandbox_hosts("127.0.0.1 localhost web.test\n");
        server = std::make_unique<NginxServer>(
            "127.0.0.1", 80,
            std::map<std::string, std::string>{
                {"files/a.iso", std::string(1024, 'x')},
                {"page.html",
                 "<html><head><META HTTP-EQUIV=\"REFRESH\" CONTENT=\"0; "
                 "url=/files/b.torrent\"></head><body><a href=\"/x\">x</a></body></html>"},
            },
            "    location = /moved { return 302 /files/a.iso; }\n");
    }

    static ProbeRun<UrlParts> probe(const std::string& url) {
        ProbeContext ctx{url_new()};
        url_init(*ctx.current, url);
        return run_probe(ctx, http_transfer, 0);
    }

    std::unique_ptr<NginxServer> server;
};

TEST_F(HttpNginx, StaticFileIsReachable) {
    const auto r = probe("http://web.test/files/a.iso");
    EXPECT_EQ(r.outcome, OUTCOME_REACHABLE) << server->log();
    EXPECT_EQ(r.current->spec, "http://web.test/files/a.iso");
    EXPECT_EQ(r.err, "");
}

TEST_F(HttpNginx, MissingFileFailsWithTheStatusLine) {
    const auto r = probe("http://web.test/files/none.iso");
    EXPECT_EQ(r.outcome, OUTCOME_FAILED);
    EXPECT_EQ(r.err, "HTTP error from server: HTTP/1.1 404 Not Found\r");
}

TEST_F(HttpNginx, RelativeRedirectIsFollowed) {
    const auto r = probe("http://web.test/moved");
    EXPECT_EQ(r.outcome, OUTCOME_REACHABLE);
    EXPECT_EQ(r.current->spec, "http://web.test/files/a.iso");
    EXPECT_EQ(r.err, "");
}

TEST_F(HttpNginx, MetaRefreshGivesTheTarget) {
    const auto r = probe("http://web.test/page.html");
    EXPECT_EQ(r.outcome, OUTCOME_REACHABLE);
    EXPECT_EQ(r.current->spec, "http://web.test/files/b.torrent");
    EXPECT_EQ(r.current->kind, KIND_TORRENT);
}

// Apache builds its absolute redirects from the Host line (a directory's
// trailing slash, a Redirect to a path): on a port other than 80 they
// keep it, and the job ends on the file the redirect names.
TEST(HttpApache, RedirectsKeepThePort) {
    REQUIRE_SANDBOX();
    resolve_reset();
    sandbox_hosts("127.0.0.1 localhost web.test\n");
    ApacheServer apache("127.0.0.1", 8080, {{"releases/2.1/app.iso", "x"}, {"dir/index.html", "x"}},
                        "Redirect /latest.iso /releases/2.1/app.iso\n");
    const std::pair<std::string, std::string> cases[] = {
        {"http://web.test:8080/latest.iso", "http://web.test:8080/releases/2.1/app.iso"},
        {"http://web.test:8080/dir", "http://web.test:8080/dir/"},
    };
    for (const auto& [url, target] : cases) {
        ProbeContext ctx{url_new()};
        url_init(*ctx.current, url);
        const auto r = run_probe(ctx, http_transfer, 0);
        EXPECT_EQ(r.outcome, OUTCOME_REACHABLE) << url << apache.log();
        EXPECT_EQ(r.current->spec, target);
        EXPECT_EQ(r.current->outcome, OUTCOME_REACHABLE) << url;
    }
}

}  // namespace
