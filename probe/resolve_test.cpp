#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <signal.h>

#include "connect.h"
#include "net.h"
#include "resolve.h"
#include "sandbox.h"
#include "util.h"

namespace {

// A lookup and a connect of a job without a time limit.
std::optional<HostAddress> lookup(const std::string& host, int seconds) {
    TimeLimit none;
    return resolve_host(host, seconds, none);
}
UniqueFd connect_to(const std::string& host, int port, int retries) {
    JobState job;
    return tcp_connect(host, port, retries, job);
}

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

class Resolve : public ::testing::Test {
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

TEST_F(Resolve, NamesFromHostsFileAndDottedAddresses) {
    // No name server answers at all: none may be needed.
    EXPECT_EQ(dotted(lookup("web.test", 3)), "127.0.0.7");
    EXPECT_EQ(dotted(lookup("two.test", 3)), "127.0.0.8");  // the first address
    EXPECT_EQ(dotted(lookup("127.0.0.1", 3)), "127.0.0.1");
    EXPECT_EQ(dotted(lookup("127.1", 3)), "127.0.0.1");
    EXPECT_EQ(dotted(lookup("", 3)), "none");
    EXPECT_TRUE(sigalrm_ignored());
}

TEST_F(Resolve, UnknownNameFailsAsSoonAsTheServerSaysSo) {
    DnsServer dns(DnsServer::NXDOMAIN);
    const double t0 = now_seconds();
    EXPECT_EQ(dotted(lookup("nosuch.test", 3)), "none");
    EXPECT_LT(now_seconds() - t0, 2.0);  // not the 3 s time-out
    EXPECT_GE(dns.queries(), 1);
    EXPECT_FALSE(connect_to("nosuch.test", 80, 0));
}

TEST_F(Resolve, NameFromTheNameServer) {
    DnsServer dns(DnsServer::ANSWER, "127.0.0.44");
    EXPECT_EQ(dotted(lookup("dns.test", 3)), "127.0.0.44");
}

struct HungLookup {
    int retries;
    double seconds;
};
void PrintTo(const HungLookup& h, std::ostream* os) {
    *os << "retries " << h.retries;
}

class ResolveSlow : public Resolve, public ::testing::WithParamInterface<HungLookup> {};

// A silent name server: the lookup ends at the class time-out, and the
// resolver is whole afterwards.
TEST_P(ResolveSlow, HungLookupEndsAtTheTimeoutAndLeavesTheResolverUsable) {
    DnsServer dns(DnsServer::SILENT);
    const double t0 = now_seconds();
    EXPECT_FALSE(connect_to("hung.test", 80, GetParam().retries));
    const double took = now_seconds() - t0;
    EXPECT_GE(took, GetParam().seconds - 0.1);
    EXPECT_LT(took, GetParam().seconds + 1.0);
    EXPECT_TRUE(sigalrm_ignored());

    EXPECT_EQ(dotted(lookup("web.test", 3)), "127.0.0.7");
    Listener l("127.0.0.1", 0);
    EXPECT_TRUE(connect_to("127.0.0.1", l.port(), 0));
}

std::string class_name(const ::testing::TestParamInfo<HungLookup>& p) {
    return "retries" + std::to_string(p.param.retries);
}
INSTANTIATE_TEST_SUITE_P(Classes, ResolveSlow,
                         ::testing::Values(HungLookup{0, 3}, HungLookup{2, 5}), class_name);

// What a run learns about a name is used again within the run.
TEST_F(Resolve, FoundAndUnknownNamesAreAskedOnce) {
    {
        DnsServer dns(DnsServer::ANSWER, "127.0.0.44");
        EXPECT_EQ(dotted(lookup("found.test", 3)), "127.0.0.44");
        EXPECT_EQ(dotted(lookup("found.test", 8)), "127.0.0.44");
        EXPECT_EQ(dns.queries(), 1);
    }
    {
        DnsServer dns(DnsServer::NXDOMAIN);
        EXPECT_EQ(dotted(lookup("nosuch.test", 3)), "none");
        const int asked = dns.queries();
        EXPECT_EQ(dotted(lookup("nosuch.test", 8)), "none");
        EXPECT_EQ(dns.queries(), asked);
    }
    // Another run (here: a reset) asks again.
    resolve_reset();
    DnsServer dns(DnsServer::ANSWER, "127.0.0.45");
    EXPECT_EQ(dotted(lookup("found.test", 3)), "127.0.0.45");
}

TEST_F(Resolve, SlowTimedOutLookupIsRepeatedOnlyWithMoreTime) {
    DnsServer dns(DnsServer::SILENT);
    double t0 = now_seconds();
    EXPECT_EQ(dotted(lookup("hung.test", 1)), "none");
    EXPECT_GE(now_seconds() - t0, 0.9);
    const int asked = dns.queries();

    t0 = now_seconds();
    EXPECT_EQ(dotted(lookup("hung.test", 1)), "none");  // no longer: not asked
    EXPECT_LT(now_seconds() - t0, 0.5);                 // not the 1 s a question waits
    EXPECT_EQ(dns.queries(), asked);

    t0 = now_seconds();
    EXPECT_EQ(dotted(lookup("hung.test", 2)), "none");  // longer: asked again
    EXPECT_GE(now_seconds() - t0, 1.9);
    EXPECT_GT(dns.queries(), asked);

    t0 = now_seconds();
    EXPECT_EQ(dotted(lookup("hung.test", 2)), "none");
    EXPECT_EQ(dotted(lookup("hung.test", 1)), "none");
    EXPECT_LT(now_seconds() - t0, 0.5);
}

}  // namespace
