#include <gtest/gtest.h>

#include <sys/socket.h>

#include "connect.h"
#include "net.h"
#include "resolve.h"
#include "sandbox.h"
#include "util.h"

namespace {

// A connect of a job without a time limit.
UniqueFd connect_to(const std::string& host, int port, int retries) {
    JobState job;
    return tcp_connect(host, port, retries, job);
}

class Connect : public ::testing::Test {
  protected:
    void SetUp() override {
        REQUIRE_SANDBOX();
        resolve_reset();
        sandbox_hosts("127.0.0.1 localhost\n127.0.0.8 two.test\n127.0.0.9 two.test\n");
    }
};

TEST_F(Connect, ConnectsOnlyWhereSomeoneListens) {
    Listener l("127.0.0.1", 0);
    const UniqueFd s = connect_to("127.0.0.1", l.port(), 0);
    EXPECT_TRUE(s);
    timeval tv{};
    socklen_t len = sizeof tv;
    getsockopt(s.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, &len);
    EXPECT_EQ(tv.tv_sec, 3);

    // The port is cut to its low 16 bits.
    EXPECT_TRUE(connect_to("localhost", 65536 + l.port(), 2));
    EXPECT_GE(l.accept_one(1), 0);

    const int closed = closed_port("127.0.0.1");
    const double t0 = now_seconds();
    EXPECT_FALSE(connect_to("127.0.0.1", closed, 0));
    EXPECT_LT(now_seconds() - t0, 2.0);  // refused at once, not the 3 s time-out
}

TEST_F(Connect, SeveralAddressesOnlyTheFirstIsTried) {
    Listener second("127.0.0.9", 0);
    EXPECT_FALSE(connect_to("two.test", second.port(), 0));
}

TEST_F(Connect, SlowDroppedConnectEndsAtTheSendTimeout) {
    Listener l("127.0.0.5", 0, 0);
    l.fill_accept_queue();
    const double t0 = now_seconds();
    EXPECT_FALSE(connect_to("127.0.0.5", l.port(), 0));
    const double took = now_seconds() - t0;
    EXPECT_GE(took, 2.9);
    EXPECT_LT(took, 4.0);
}

}  // namespace
