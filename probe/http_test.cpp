#include <gtest/gtest.h>

#include <cstdlib>

#include "connect.h"
#include "report.h"
#include "url_text.h"
#include "resolve.h"
#include "chunked.h"
#include "http.h"
#include "net.h"
#include "probe_run.h"
#include "sandbox.h"
#include "scripted_server.h"
#include "util.h"

namespace {

using namespace script;

std::string ok(const std::string& headers = "", const std::string& body = "") {
    return "HTTP/1.0 200 OK\r\n" + headers + "\r\n" + body;
}
std::string found(const std::string& location) {
    return "HTTP/1.0 302 Found\r\nLocation: " + location + "\r\n\r\n";
}
Script reply(const std::string& bytes) {
    return {read_request(), send(bytes), close()};
}

std::string request(const std::string& target, const std::string& host,
                    const std::string& agent = DEFAULT_USER_AGENT) {
    return "GET " + target + " HTTP/1.0\r\nHost: " + host + "\r\nUser-Agent: " + agent + "\r\n\r\n";
}

class HttpProbe : public ::testing::Test {
  protected:
    void SetUp() override {
        REQUIRE_SANDBOX();
        unsetenv("GRELT_HTTP_USER_AGENT");
        unsetenv("GRELT_HTTP_REFERER");
        resolve_reset();
        sandbox_hosts("127.0.0.1 localhost web.test\n127.0.0.2 other.test\n");
    }

    static ProbeRun<UrlParts> probe(const std::string& url, int retries = 0) {
        ProbeContext ctx{url_new()};
        url_init(*ctx.current, url);
        return run_probe(ctx, http_transfer, retries);
    }
};

TEST_F(HttpProbe, RequestBytesOnTheWire) {
    struct Case {
        const char* name;
        std::string url;
        const char* agent;    // null: unset
        const char* referer;  // null: unset
        int port;
        std::string expected;
    };
    const Case cases[] = {
        {"default agent", "http://web.test/a/b.iso", nullptr, nullptr, 80,
         request("/a/b.iso", "web.test")},
        {"no path", "http://web.test", nullptr, nullptr, 80, request("/", "web.test")},
        {"empty agent", "http://web.test/x", "", nullptr, 80, request("/x", "web.test", "")},
        {"agent and referer", "http://web.test/x", "Agent/1", "http://ref/", 80,
         "GET /x HTTP/1.0\r\nHost: web.test\r\nUser-Agent: Agent/1\r\nReferer: "
         "http://ref/\r\n\r\n"},
        {"empty referer", "http://web.test/x", nullptr, "", 80,
         "GET /x HTTP/1.0\r\nHost: web.test\r\nUser-Agent: " + std::string(DEFAULT_USER_AGENT) +
             "\r\nReferer: \r\n\r\n"},
        {"other port, in the Host line", "http://web.test:8080/x", nullptr, nullptr, 8080,
         request("/x", "web.test:8080")},
        {"default port named", "http://web.test:80/x", nullptr, nullptr, 80,
         request("/x", "web.test")},
        {"port past 16 bits, as connected", "http://web.test:65616/x", nullptr, nullptr, 80,
         request("/x", "web.test")},
        {"IPv4 literal on another port", "http://127.0.0.1:8080/x", nullptr, nullptr, 8080,
         request("/x", "127.0.0.1:8080")},
        {"escaped, no credentials", "http://u:pw@web.test/a b/%41?q=1&r=/s#top", nullptr, nullptr,
         80, request("/a%20b/%41?q=1&r=/s", "web.test")},
        {"line breaks in the environment", "http://web.test/x", "evil\r\nX-A: 1", "r\nX-B: 2", 80,
         request("/x", "web.test")},
    };
    for (const auto& c : cases) {
        ScriptedServer server("127.0.0.1", c.port, {reply(ok())});
        c.agent ? setenv("GRELT_HTTP_USER_AGENT", c.agent, 1) : unsetenv("GRELT_HTTP_USER_AGENT");
        c.referer ? setenv("GRELT_HTTP_REFERER", c.referer, 1) : unsetenv("GRELT_HTTP_REFERER");
        const auto r = probe(c.url);
        EXPECT_EQ(r.outcome, OUTCOME_REACHABLE) << c.name;
        EXPECT_EQ(server.received(0), c.expected) << c.name;
        EXPECT_EQ(r.err, "") << c.name;
    }
}

TEST_F(HttpProbe, DefaultsAreWrittenIntoTheEntryRecord) {
    ScriptedServer server("127.0.0.1", 80, {reply(ok())});
    const auto r = probe("http://web.test");
    EXPECT_EQ(r.entry->dir, "/");
    EXPECT_EQ(r.entry->file, "");
    EXPECT_EQ(r.entry->port, 80);
    EXPECT_EQ(r.entry->kind, KIND_HTTP);
    EXPECT_EQ(r.entry->outcome, OUTCOME_REACHABLE);
}

TEST_F(HttpProbe, RepliesThatAreNotHttpFailSilently) {
    const std::pair<const char*, Script> cases[] = {
        {"banner", reply("SSH-2.0-OpenSSH\r\n")},
        {"lower case", reply("http/1.0 200 OK\r\n\r\n")},
        {"closed at once", {close()}},
        {"closed after the request", {read_request(), close()}},
        {"three bytes", reply("HTT")},
        {"no status digit", reply("HTTP/1.0")},
        {"reset", {read_request(), reset()}},
    };
    for (const auto& [name, script] : cases) {
        ScriptedServer server("127.0.0.1", 80, {script});
        const auto r = probe("http://web.test/x");
        EXPECT_EQ(r.outcome, OUTCOME_FAILED) << name;
        EXPECT_EQ(r.entry->outcome, OUTCOME_FAILED) << name;
        EXPECT_EQ(r.err, "") << name;
    }
    const auto r = probe("http://127.0.0.1:" + std::to_string(closed_port("127.0.0.1")) + "/x");
    EXPECT_EQ(r.outcome, OUTCOME_FAILED);
}

TEST_F(HttpProbe, StatusDigitDecides) {
    const std::tuple<const char*, std::string, int, std::string> cases[] = {
        {"200", ok(), OUTCOME_REACHABLE, ""},
        {"204 HTTP/1.1", "HTTP/1.1 204 No Content\r\n\r\n", OUTCOME_REACHABLE, ""},
        {"3xx without location", "HTTP/1.0 304 Not Modified\r\n\r\n", OUTCOME_REACHABLE, ""},
        {"404", "HTTP/1.0 404 Not Found\r\nServer: x\r\n\r\n", OUTCOME_FAILED,
         "HTTP error from server: HTTP/1.0 404 Not Found\r"},
        {"500 bare line feeds", "HTTP/1.0 500 Oops %s %n\n\n", OUTCOME_FAILED,
         "HTTP error from server: HTTP/1.0 500 Oops %s %n"},
        {"closed before the header ends", "HTTP/1.0 403 Forbidden", OUTCOME_FAILED,
         "HTTP error from server: HTTP/1.0 403 Forbidden"},
    };
    for (const auto& [name, bytes, outcome, err] : cases) {
        ScriptedServer server("127.0.0.1", 80, {reply(bytes)});
        const auto r = probe("http://web.test/x");
        EXPECT_EQ(r.outcome, outcome) << name;
        EXPECT_EQ(r.err, err) << name;
    }
}

TEST_F(HttpProbe, RedirectsAreFollowedAndEndReachable) {
    struct Case {
        const char* name;
        std::string url;         // the entry
        int port;                // where the scripted server listens
        std::string first;       // its first reply
        std::string target;      // the record current at the end
        std::string second_req;  // what the target's probe asked for ("" = no second probe)
    };
    const Case cases[] = {
        {"absolute", "http://web.test/a", 80, found("http://web.test/b"), "http://web.test/b",
         request("/b", "web.test")},
        {"absolute path keeps the port", "http://web.test:8080/a/x", 8080, found("/b"),
         "http://web.test:8080/b", request("/b", "web.test:8080")},
        {"relative path joins the directory", "http://web.test:8080/a/x", 8080, found("c"),
         "http://web.test:8080/a/c", request("/a/c", "web.test:8080")},
        {"query only", "http://web.test:8080/a/x?o=1", 8080, found("?p=2"),
         "http://web.test:8080/a/x?p=2", request("/a/x?p=2", "web.test:8080")},
        {"scheme-relative", "http://web.test/a", 80, found("//web.test/d"), "http://web.test/d",
         request("/d", "web.test")},
        {"first of two fields", "http://web.test/a", 80,
         "HTTP/1.0 301 Moved\r\nLocation: http://web.test/one\r\nLocation: "
         "http://web.test/two\r\n\r\n",
         "http://web.test/one", request("/one", "web.test")},
        {"name in capitals", "http://web.test/a", 80,
         "HTTP/1.0 302 Found\r\nLOCATION: http://web.test/f\r\n\r\n", "http://web.test/f",
         request("/f", "web.test")},
        {"colon without blank is no field", "http://web.test/a", 80,
         "HTTP/1.0 302 Found\r\nlocation:http://web.test/g\r\n\r\n", "http://web.test/a", ""},
        {"bare line feeds", "http://web.test/a", 80,
         "HTTP/1.0 302 Found\nLocation: http://web.test/h\n\n", "http://web.test/h",
         request("/h", "web.test")},
    };
    for (const auto& c : cases) {
        ScriptedServer server("127.0.0.1", c.port, {reply(c.first), reply(ok())});
        const auto r = probe(c.url);
        EXPECT_EQ(r.outcome, OUTCOME_REACHABLE) << c.name;
        EXPECT_EQ(r.current->spec, c.target) << c.name;
        EXPECT_EQ(r.current->outcome, OUTCOME_REACHABLE) << c.name;
        EXPECT_EQ(r.err, "") << c.name;
        EXPECT_EQ(server.connections(), c.second_req.empty() ? 1 : 2) << c.name;
        if (!c.second_req.empty()) {
            EXPECT_EQ(server.received(1), c.second_req) << c.name;
        }
    }
}

TEST_F(HttpProbe, RedirectTargetFailuresStillEndReachable) {
    {
        ScriptedServer server("127.0.0.1", 80,
                              {reply(found("/t")), reply("HTTP/1.0 500 Broken\r\n\r\n")});
        const auto r = probe("http://web.test/a");
        EXPECT_EQ(r.outcome, OUTCOME_REACHABLE);
        EXPECT_EQ(r.current->spec, "http://web.test/t");
        EXPECT_EQ(r.current->outcome, OUTCOME_REACHABLE);
        EXPECT_EQ(r.err, "HTTP error from server: HTTP/1.0 500 Broken\r");
    }
    {
        // An FTP location is probed with HTTP (port 80 unless it names one).
        ScriptedServer server("127.0.0.1", 80, {reply(found("ftp://web.test/pub/f")), {close()}});
        const auto r = probe("http://web.test/a");
        EXPECT_EQ(r.outcome, OUTCOME_REACHABLE);
        EXPECT_EQ(r.current->spec, "ftp://web.test/pub/f");
        EXPECT_EQ(r.current->kind, KIND_FTP);
        EXPECT_EQ(server.connections(), 2);
    }
}

TEST_F(HttpProbe, RedirectAllowanceIsPerJob) {
    // A loop: ten targets followed, the eleventh refused, the job reachable
    // with the refused target.
    ScriptedServer loop("127.0.0.1", 80, {reply(found("http://web.test/loop"))});
    const auto r = probe("http://web.test/loop");
    EXPECT_EQ(loop.connections(), 11);
    EXPECT_EQ(r.outcome, OUTCOME_REACHABLE);
    EXPECT_EQ(r.current->spec, "http://web.test/loop");
    EXPECT_EQ(r.current->outcome, OUTCOME_REACHABLE);
    EXPECT_EQ(r.err, "redirection max count exceeded (looping redirect?)");

    // Two jobs in a row: the second still gets all ten after five of the first.
    std::vector<Script> chain;
    for (int i = 1; i <= 5; ++i)
        chain.push_back(reply(found("/c" + std::to_string(i))));
    chain.push_back(reply(ok()));
    ScriptedServer five("127.0.0.2", 80, chain);
    EXPECT_EQ(probe("http://other.test/c0").current->spec, "http://other.test/c5");
    std::vector<Script> ten;
    for (int i = 1; i <= 10; ++i)
        ten.push_back(reply(found("/d" + std::to_string(i))));
    ten.push_back(reply(ok()));
    ScriptedServer server("127.0.0.3", 80, ten);
    const auto second = probe("http://127.0.0.3/d0");
    EXPECT_EQ(second.current->spec, "http://127.0.0.3/d10");
    EXPECT_EQ(second.err, "");
    EXPECT_EQ(server.connections(), 11);
}

TEST_F(HttpProbe, MetaRefreshSettlesTheUrl) {
    const std::string html = "Content-Type: text/html\r\n";
    auto page = [&](const std::string& body, const std::string& headers = "") {
        return ok(headers.empty() ? html : headers, body);
    };
    const std::string meta =
        "<html><META HTTP-EQUIV=\"REFRESH\" CONTENT=\"0; url=http://other.test/get.torrent\">";
    struct Case {
        const char* name;
        std::string reply;
        std::string spec;
        std::uint32_t kind;
    };
    const Case cases[] = {
        {"torrent target", page(meta + "</html>"), "http://other.test/get.torrent", KIND_TORRENT},
        {"ends at the first quote", page(meta + "<a href=\"x\">y</a>\"\n"),
         "http://other.test/get.torrent", KIND_TORRENT},
        {"relative target", page("<meta HTTP-EQUIV=\"REFRESH\" content=\"0; url=files/n.nzb\">"),
         "http://web.test/dir/files/n.nzb", KIND_NZB},
        {"charset parameter: no page", page(meta, "Content-Type: text/html; charset=utf-8\r\n"),
         "http://web.test/dir/p", KIND_HTTP},
        {"capitals: no page", page(meta, "Content-Type: TEXT/HTML\r\n"), "http://web.test/dir/p",
         KIND_HTTP},
        {"lower-case attribute", page("<meta http-equiv=\"refresh\" content=\"0; url=/z\">"),
         "http://web.test/dir/p", KIND_HTTP},
        {"URL= in capitals", page("<meta HTTP-EQUIV=\"REFRESH\" content=\"0; URL=/z\">"),
         "http://web.test/dir/p", KIND_HTTP},
        {"no quote after the target", page("<meta HTTP-EQUIV=\"REFRESH\" content=0;url=/z>"),
         "http://web.test/dir/p", KIND_HTTP},
        {"too long",
         page("<meta HTTP-EQUIV=\"REFRESH\" content=\"0; url=/" + std::string(511, 'l') + "\">"),
         "http://web.test/dir/p", KIND_HTTP},
        {"bare line feeds: no page", "HTTP/1.0 200 OK\nContent-Type: text/html\n\n" + meta,
         "http://web.test/dir/p", KIND_HTTP},
    };
    for (const auto& c : cases) {
        ScriptedServer server("127.0.0.1", 80, {reply(c.reply)});
        const auto r = probe("http://web.test/dir/p");
        EXPECT_EQ(r.outcome, OUTCOME_REACHABLE) << c.name;
        EXPECT_EQ(r.current->spec, c.spec) << c.name;
        EXPECT_EQ(r.current->kind, c.kind) << c.name;
        EXPECT_EQ(server.connections(), 1) << c.name;  // the target is not probed
    }
}

// Whatever a server names as the next URL is hostile input: trimmed, and
// neither followed nor stored when it holds a control byte or was cut.
TEST_F(HttpProbe, ServerTargetsAreCheckedBeforeUse) {
    const std::string meta = "<meta HTTP-EQUIV=\"REFRESH\" content=\"0; url=";
    struct Case {
        const char* name;
        std::string reply;
        std::string spec;
        int connections;
    };
    const Case cases[] = {
        {"blanks around a location", found("  http://web.test/b \t"), "http://web.test/b", 2},
        {"escape in a location", found("http://web.test/\x1b[2Jb"), "http://web.test/a", 1},
        {"tab in a location", found("http://web.test/a\tb"), "http://web.test/a", 1},
        {"location cut at the header cap",
         "HTTP/1.0 302 Found\r\nLocation: http://web.test/" +
             std::string(std::size_t{100} * 1024, 'l'),
         "http://web.test/a", 1},
        {"refresh in single quotes",
         ok("Content-Type: text/html\r\n", meta + " 'http://other.test/f.torrent' \">"),
         "http://other.test/f.torrent", 1},
        {"line feed in a refresh", ok("Content-Type: text/html\r\n", meta + "/x\ny\">"),
         "http://web.test/a", 1},
    };
    for (const auto& c : cases) {
        ScriptedServer server("127.0.0.1", 80, {reply(c.reply), reply(ok())});
        const auto r = probe("http://web.test/a");
        EXPECT_EQ(r.outcome, OUTCOME_REACHABLE) << c.name;
        EXPECT_EQ(r.current->spec, c.spec) << c.name;
        EXPECT_EQ(server.connections(), c.connections) << c.name;
    }
}

// TCP is a byte stream: a status line in two segments is still a reply.
TEST_F(HttpProbe, ReplyInPiecesIsStillAReply) {
    ScriptedServer server(
        "127.0.0.1", 80,
        {{read_request(), send("HT"), pause(100), send("TP/1.0 200 OK\r\n\r\n"), close()}});
    EXPECT_EQ(probe("http://web.test/x").outcome, OUTCOME_REACHABLE);
}

// A name in brackets, or one with only an IPv6 address, reaches a server
// on ::1.
TEST_F(HttpProbe, Ipv6HostsAreReached) {
    sandbox_hosts("127.0.0.1 localhost\n::1 six.test\n");
    for (const std::string url : {"http://[::1]:8080/x", "http://six.test:8080/x"}) {
        ScriptedServer server("::1", 8080, {reply(ok())});
        const auto r = probe(url);
        EXPECT_EQ(r.outcome, OUTCOME_REACHABLE) << url;
        EXPECT_EQ(
            server.received(0),
            request("/x", url.find('[') != std::string::npos ? "[::1]:8080" : "six.test:8080"))
            << url;
    }
}

// The exact ending, then the path's ending in any case, whatever the query.
TEST_F(HttpProbe, SuffixOfTheEntryUrlSetsTheKind) {
    ScriptedServer server("127.0.0.1", 80, {reply(ok("Content-Type: text/plain\r\n", "x"))});
    EXPECT_EQ(probe("http://web.test/a.nzb").entry->kind, KIND_NZB);
    EXPECT_EQ(probe("http://web.test/a.NZB").entry->kind, KIND_NZB);
    EXPECT_EQ(probe("http://web.test/a.nzb?x=1").entry->kind, KIND_NZB);
    EXPECT_EQ(probe("http://web.test/a.nzb.txt").entry->kind, KIND_HTTP);
}

TEST_F(HttpProbe, ControlBytesNeverReachTheWire) {
    ScriptedServer server("127.0.0.1", 80, {reply(ok())});
    for (const char* url : {"http://web.test/a\r\nX-Injected: 1\r\n\r\n", "http://web.test/\x7f",
                            "http://web.test/a\tb"}) {
        const auto r = probe(url);
        EXPECT_EQ(r.outcome, OUTCOME_FAILED) << url;
        EXPECT_EQ(r.err, "control character in URL, request not sent\n") << url;
    }
    EXPECT_EQ(server.connections(), 0);
}

TEST_F(HttpProbe, EmptyHostIsReported) {
    const auto r = probe(" http://web.test/x");
    EXPECT_EQ(r.outcome, OUTCOME_FAILED);
    EXPECT_EQ(r.err, "no host specified");
}

// Bounded against hostile servers: reading stops at the caps and the
// verdict comes from what arrived.
TEST_F(HttpProbe, EndlessRepliesAreCut) {
    struct Case {
        const char* name;
        Script script;
    };
    const Case cases[] = {
        {"10 MB header",
         {read_request(), send("HTTP/1.0 200 OK\r\nX-Junk: "),
          flood(std::string(4096, 'j'), 10 << 20), close()}},
        {"endless page",
         {read_request(), send(ok("Content-Type: text/html\r\n")),
          flood("<p>more and more</p>\n", 1LL << 40), close()}},
    };
    for (const auto& c : cases) {
        ScriptedServer server("127.0.0.1", 80, {c.script});
        reset_peak_rss();
        const long before = rss_kib();
        const auto r = probe("http://web.test/x");
        EXPECT_EQ(r.outcome, OUTCOME_REACHABLE) << c.name;
        EXPECT_LT(r.seconds, 5) << c.name;
        EXPECT_LT(peak_rss_kib() - before, 8 * 1024) << c.name;
        EXPECT_EQ(r.current->spec, "http://web.test/x") << c.name;
    }
}

TEST_F(HttpProbe, SlowTrickleEndsAtTheReplyBound) {
    ScriptedServer server("127.0.0.1", 80,
                          {{read_request(), send("HTTP/1.0 200 OK\r\n"),
                            trickle("X-Slow: abcdefghijklmnopqrstuvwxyz\r\n\r\n", 2000)}});
    const auto r = probe("http://web.test/x");
    EXPECT_EQ(r.outcome, OUTCOME_REACHABLE);
    EXPECT_GE(r.seconds, REPLY_TIME_FACTOR * 3 - 0.5);
    EXPECT_LT(r.seconds, REPLY_TIME_FACTOR * 3 + 1.5);
}

TEST_F(HttpProbe, SlowSilentServerEndsAtTheReceiveTimeout) {
    {
        ScriptedServer server("127.0.0.1", 80, {{read_request(), stall()}});
        const auto r = probe("http://web.test/x");
        EXPECT_EQ(r.outcome, OUTCOME_FAILED);
        EXPECT_EQ(r.err, "");
        EXPECT_GE(r.seconds, 2.9);
        EXPECT_LT(r.seconds, 4.0);
    }
    {
        // The header arrives, then nothing: the verdict after one time-out.
        ScriptedServer server(
            "127.0.0.1", 80,
            {{read_request(), send("HTTP/1.0 302 Found\r\nLocation: /b\r\n"), stall()},
             reply(ok())});
        const auto r = probe("http://web.test/x");
        EXPECT_EQ(r.outcome, OUTCOME_REACHABLE);
        EXPECT_EQ(r.current->spec, "http://web.test/b");
        EXPECT_GE(r.seconds, 2.9);
        EXPECT_LT(r.seconds, 4.0);
    }
}

// A body sent in chunks (to an HTTP/1.0 request, as some servers do) is
// judged, and searched for a refresh, by its data, not its framing; the
// framing never makes a read unbounded. Each reply comes in two pieces.
TEST_F(HttpProbe, ChunkedBodiesAreReadByTheirData) {
    auto chunk = [](const std::string& data, const std::string& ext = "") {
        char size[16];
        std::snprintf(size, sizeof size, "%zx", data.size());
        return size + ext + "\r\n" + data + "\r\n";
    };
    const std::string head = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n";
    const std::string octets = head + "Content-Type: application/octet-stream\r\n\r\n";
    const std::string html = head + "Content-Type: text/html\r\n\r\n";
    const std::string last = "0\r\n\r\n";
    struct Case {
        const char* name;
        std::string first, second;
        std::string spec;
        std::uint32_t kind;
    };
    const Case cases[] = {
        {"sizes with extensions", octets + chunk("d8:", ";name=v") + chunk("announce3:url", " ; x"),
         last, "http://web.test/dir/p", KIND_TORRENT},
        {"size line split across reads", octets + "1", "0\r\nd8:announce3:url\r\n" + last,
         "http://web.test/dir/p", KIND_TORRENT},
        {"refresh split between chunks", html + chunk("<meta HTTP-EQUIV=\"REF"),
         chunk("RESH\" content=\"0; url=/t/x.torrent\">") + last, "http://web.test/t/x.torrent",
         KIND_TORRENT},
        {"overlong size", octets + "10000000000000000000\r\n", "d8:announce3:url\r\n" + last,
         "http://web.test/dir/p", KIND_HTTP},
        {"no last chunk", octets + chunk("d8:announce"), "", "http://web.test/dir/p", KIND_TORRENT},
        {"size line without its end", octets + "10;" + std::string(CHUNK_LINE_MAX, 'x'),
         "\r\nd8:announce3:url\r\n", "http://web.test/dir/p", KIND_HTTP},
    };
    for (const auto& c : cases) {
        ScriptedServer server(
            "127.0.0.1", 80,
            {{read_request(), send(c.first), pause(100), send(c.second), close()}});
        const auto r = probe("http://web.test/dir/p");
        EXPECT_EQ(r.outcome, OUTCOME_REACHABLE) << c.name;
        EXPECT_EQ(r.current->spec, c.spec) << c.name;
        EXPECT_EQ(r.entry->kind, c.kind) << c.name;
        EXPECT_EQ(server.connections(), 1) << c.name;
    }
}

}  // namespace
