// The built qv2_detect, run as the download manager runs it, inside the
// sandbox.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "area.h"
#include "lock_fifo.h"
#include "sandbox.h"
#include "util.h"

namespace {

class DetectorRun : public ::testing::Test {
  protected:
    void SetUp() override {
        REQUIRE_SANDBOX();
        remove_tree(TEST_CONF);
        remove_tree(TEST_MARKER);
    }

    static std::vector<std::string> detector(std::vector<std::string> args = {}) {
        args.insert(args.begin(), QV2_DETECT_BIN);
        return args;
    }
};

TEST_F(DetectorRun, WithNothingPresentRemovesMarkerAndExitsZero) {
    write_file(TEST_MARKER, "");
    ProcResult r = run_process(detector({"ignored", "--args"}), {}, 20);
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_FALSE(path_exists(TEST_MARKER));

    mkdir(TEST_MARKER, 0755);
    mkdir((std::string(TEST_MARKER) + "/sub").c_str(), 0755);
    write_file(std::string(TEST_MARKER) + "/sub/file", "x");
    r = run_process(detector(), {}, 20);
    EXPECT_EQ(r.status, 0);
    EXPECT_FALSE(path_exists(TEST_MARKER));
}

TEST_F(DetectorRun, LoadTakesAndGivesBackTheQueueLock) {
    DownloadArea area;
    const auto jobs = std::vector<QueueRec>{waiting(1, "http://a/x"), waiting(2, "b.torrent")};
    area.write_queue(jobs);
    LockHolder lock(area.lock_path(), 1);
    write_file(TEST_MARKER, "");
    ProcResult r = run_process(detector(), {}, 20);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(count_tokens(area.lock_path()), 1);
    EXPECT_FALSE(path_exists(TEST_MARKER));
}

TEST_F(DetectorRun, TermSignalWhileWaitingForTheLockEndsAtOnce) {
    DownloadArea area;
    area.write_queue({waiting(1, "http://a/x")});
    const std::string before = read_file(area.queue_file());
    LockHolder lock(area.lock_path(), 0);
    write_file(TEST_MARKER, "");
    for (int sig : {SIGTERM, SIGUSR2}) {
        Child c(detector(), {});
        ASSERT_TRUE(wait_until([&] { return process_has_open(c.pid(), area.lock_path()); }, 10));
        usleep(100 * 1000);  // into the blocking wait
        const double t0 = now_seconds();
        c.signal(sig);
        ProcResult r = c.wait(10);
        EXPECT_TRUE(r.exited) << sig;
        EXPECT_EQ(r.status, 0) << sig;
        EXPECT_LT(now_seconds() - t0, 1.0) << sig;
        EXPECT_TRUE(path_exists(TEST_MARKER)) << sig;
        EXPECT_EQ(read_file(area.queue_file()), before) << sig;
        EXPECT_EQ(count_tokens(area.lock_path()), 0) << sig;  // it never had one
    }
}

TEST_F(DetectorRun, HangupChangesNothing) {
    DownloadArea area;
    area.write_queue({waiting(1, "http://a/x")});
    LockHolder lock(area.lock_path(), 0);
    write_file(TEST_MARKER, "");
    Child c(detector(), {});
    ASSERT_TRUE(wait_until([&] { return process_has_open(c.pid(), area.lock_path()); }, 10));
    usleep(100 * 1000);
    c.signal(SIGHUP);
    usleep(200 * 1000);
    EXPECT_TRUE(c.running());
    ASSERT_TRUE(post_token(area.lock_path()));
    ProcResult r = c.wait(20);
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.status, 0);
    EXPECT_FALSE(path_exists(TEST_MARKER));
    EXPECT_EQ(count_tokens(area.lock_path()), 1);
}

TEST_F(DetectorRun, ClosedStandardStreamsAreNotReused) {
    // Started with stdout and stderr closed, the run must not let the queue
    // file or a socket take their numbers (and diagnostics land in them).
    DownloadArea area;
    area.write_queue({waiting(1, "http://a/x")});
    ProcResult r =
        run_process({"sh", "-c", std::string("exec ") + QV2_DETECT_BIN + " >&- 2>&-"}, {}, 30);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(read_file(area.queue_file()),
              queue_record(QueueRec{1, "http://a/x", "ftp://a/x", "5", 'w', 1}));
}

}  // namespace
