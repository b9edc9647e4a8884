#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <signal.h>
#include <sys/socket.h>

#include "connect.h"
#include "report.h"
#include "url_text.h"
#include "resolve.h"
#include "unique_fd.h"
#include "net.h"
#include "sandbox.h"
#include "util.h"

namespace {

std::string dotted(const std::optional<HostAddress>& a) {
    char buf[INET6_ADDRSTRLEN] = "none";
    if (a && a->family == AF_INET) inet_ntop(AF_INET, &a->v4, buf, sizeof buf);
    if (a && a->family == AF_INET6) inet_ntop(AF_INET6, &a->v6, buf, sizeof buf);
    return buf;
}

bool sigalrm_ignored() {
    struct sigaction sa {};
    sigaction(SIGALRM, nullptr, &sa);
    return sa.sa_handler == SIG_IGN;
}

class Connect : public ::testing::Test {
  protected:
    void SetUp() override {
        REQUIRE_SANDBOX();
        resolve_reset();
        sandbox_hosts(
            "127.0.0.1 localhost\n127.0.0.7 web.test\n127.0.0.8 two.test\n"
            "127.0.0.9 two.test\n");
        sandbox_resolv("nameserver 127.0.0.53\n");
    }
};

TEST(ProbeTimeout, GrowsWithTheRetryCounter) {
    const std::pair<int, int> cases[] = {{-5, 3}, {0, 3}, {1, 3}, {2, 5}, {3, 8}, {4, 8}, {99, 8}};
    for (auto [retries, seconds] : cases)
        EXPECT_EQ(probe_timeout(retries), seconds) << retries;
}

TEST_F(Connect, NamesFromHostsFileAndDottedAddresses) {
    // No name server answers at all: none may be needed.
    EXPECT_EQ(dotted(resolve_host("web.test", 3)), "127.0.0.7");
    EXPECT_EQ(dotted(resolve_host("two.test", 3)), "127.0.0.8");  // the first address
    EXPECT_EQ(dotted(resolve_host("127.0.0.1", 3)), "127.0.0.1");
    EXPECT_EQ(dotted(resolve_host("127.1", 3)), "127.0.0.1");
    EXPECT_EQ(dotted(resolve_host("", 3)), "none");
    EXPECT_TRUE(sigalrm_ignored());
}

TEST_F(Connect, UnknownNameFailsAsSoonAsTheServerSaysSo) {
    DnsServer dns(DnsServer::NXDOMAIN);
    const double t0 = now_seconds();
    EXPECT_EQ(dotted(resolve_host("nosuch.test", 3)), "none");
    EXPECT_LT(now_seconds() - t0, 1.0);
    EXPECT_GE(dns.queries(), 1);
    EXPECT_EQ(tcp_connect("nosuch.test", 80, 0), 0);
}

TEST_F(Connect, NameFromTheNameServer) {
    DnsServer dns(DnsServer::ANSWER, "127.0.0.44");
    EXPECT_EQ(dotted(resolve_host("dns.test", 3)), "127.0.0.44");
}

TEST_F(Connect, ConnectsOnlyWhereSomeoneListens) {
    Listener l("127.0.0.1", 0);
    const int fd = tcp_connect("127.0.0.1", l.port(), 0);
    EXPECT_GT(fd, 0);
    UniqueFd s(fd);
    timeval tv{};
    socklen_t len = sizeof tv;
    getsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, &len);
    EXPECT_EQ(tv.tv_sec, 3);

    // The port is cut to its low 16 bits.
    UniqueFd wrapped(tcp_connect("localhost", 65536 + l.port(), 2));
    EXPECT_GT(wrapped.get(), 0);
    EXPECT_GE(l.accept_one(1), 0);

    const int closed = closed_port("127.0.0.1");
    const double t0 = now_seconds();
    EXPECT_EQ(tcp_connect("127.0.0.1", closed, 0), 0);
    EXPECT_LT(now_seconds() - t0, 0.5);
}

TEST_F(Connect, SeveralAddressesOnlyTheFirstIsTried) {
    Listener second("127.0.0.9", 0);
    EXPECT_EQ(tcp_connect("two.test", second.port(), 0), 0);
}

struct HungLookup {
    int retries;
    double seconds;
};
void PrintTo(const HungLookup& h, std::ostream* os) {
    *os << "retries " << h.retries;
}

class ConnectSlow : public Connect, public ::testing::WithParamInterface<HungLookup> {};

// A silent name server: the lookup ends at the class time-out, and the
// resolver is whole afterwards.
TEST_P(ConnectSlow, HungLookupEndsAtTheTimeoutAndLeavesTheResolverUsable) {
    DnsServer dns(DnsServer::SILENT);
    const double t0 = now_seconds();
    EXPECT_EQ(tcp_connect("hung.test", 80, GetParam().retries), 0);
    const double took = now_seconds() - t0;
    EXPECT_GE(took, GetParam().seconds - 0.1);
    EXPECT_LT(took, GetParam().seconds + 1.0);
    EXPECT_TRUE(sigalrm_ignored());

    EXPECT_EQ(dotted(resolve_host("web.test", 3)), "127.0.0.7");
    Listener l("127.0.0.1", 0);
    UniqueFd s(tcp_connect("127.0.0.1", l.port(), 0));
    EXPECT_GT(s.get(), 0);
}

std::string class_name(const ::testing::TestParamInfo<HungLookup>& p) {
    return "retries" + std::to_string(p.param.retries);
}
INSTANTIATE_TEST_SUITE_P(Classes, ConnectSlow,
                         ::testing::Values(HungLookup{0, 3}, HungLookup{2, 5}), class_name);

TEST_F(Connect, SlowDroppedConnectEndsAtTheSendTimeout) {
    Listener l("127.0.0.5", 0, 0);
    l.fill_accept_queue();
    const double t0 = now_seconds();
    EXPECT_EQ(tcp_connect("127.0.0.5", l.port(), 0), 0);
    const double took = now_seconds() - t0;
    EXPECT_GE(took, 2.9);
    EXPECT_LT(took, 4.0);
}

// What a run learns about a name is used again within the run.
TEST_F(Connect, FoundAndUnknownNamesAreAskedOnce) {
    {
        DnsServer dns(DnsServer::ANSWER, "127.0.0.44");
        EXPECT_EQ(dotted(resolve_host("found.test", 3)), "127.0.0.44");
        EXPECT_EQ(dotted(resolve_host("found.test", 8)), "127.0.0.44");
        EXPECT_EQ(dns.queries(), 1);
    }
    {
        DnsServer dns(DnsServer::NXDOMAIN);
        EXPECT_EQ(dotted(resolve_host("nosuch.test", 3)), "none");
        const int asked = dns.queries();
        EXPECT_EQ(dotted(resolve_host("nosuch.test", 8)), "none");
        EXPECT_EQ(dns.queries(), asked);
    }
    // Another run (here: a reset) asks again.
    resolve_reset();
    DnsServer dns(DnsServer::ANSWER, "127.0.0.45");
    EXPECT_EQ(dotted(resolve_host("found.test", 3)), "127.0.0.45");
}

TEST_F(Connect, SlowTimedOutLookupIsRepeatedOnlyWithMoreTime) {
    DnsServer dns(DnsServer::SILENT);
    double t0 = now_seconds();
    EXPECT_EQ(dotted(resolve_host("hung.test", 1)), "none");
    EXPECT_GE(now_seconds() - t0, 0.9);
    const int asked = dns.queries();

    t0 = now_seconds();
    EXPECT_EQ(dotted(resolve_host("hung.test", 1)), "none");  // no longer: not asked
    EXPECT_LT(now_seconds() - t0, 0.1);
    EXPECT_EQ(dns.queries(), asked);

    t0 = now_seconds();
    EXPECT_EQ(dotted(resolve_host("hung.test", 2)), "none");  // longer: asked again
    EXPECT_GE(now_seconds() - t0, 1.9);
    EXPECT_GT(dns.queries(), asked);

    t0 = now_seconds();
    EXPECT_EQ(dotted(resolve_host("hung.test", 2)), "none");
    EXPECT_EQ(dotted(resolve_host("hung.test", 1)), "none");
    EXPECT_LT(now_seconds() - t0, 0.1);
}

TEST(Strconcat, JoinsUpToTheFirstNull) {
    EXPECT_EQ(strconcat("only"), "only");
    EXPECT_EQ(strconcat("a", "", std::string("b"), std::string_view("c")), "abc");
    EXPECT_EQ(strconcat("a", nullptr, "ignored"), "a");
    const char* none = nullptr;
    EXPECT_EQ(strconcat("x", none, "y"), "x");
}

TEST(Report, PrintsExactlyTheFormattedText) {
    const std::string server_text = "%s%n%x 550 evil\r\n";
    EXPECT_EQ(capture_stderr([&] { report(2, "bad: %s", server_text.c_str()); }),
              "bad: " + server_text);
    EXPECT_EQ(capture_stderr([] { report(7, "no line end"); }), "no line end");
    EXPECT_EQ(capture_stderr([] { report(2, nullptr); }), "");
}

TEST(ControlBytes, BelowSpaceAndDeleteAreControl) {
    EXPECT_FALSE(has_control_byte("plain text with blanks ~\x80\xff"));
    for (const char* s : {"a\rb", "a\nb", "\t", "\x7f", "\x01"})
        EXPECT_TRUE(has_control_byte(s));
    EXPECT_TRUE(has_control_byte(std::string_view("a\0b", 3)));
}

}  // namespace
