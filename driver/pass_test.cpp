// The whole detector end to end: the built qv2_detect over a queue file, in
// the sandbox, against scripted and real servers.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <random>

#include "area.h"
#include "lock_fifo.h"
#include "net.h"
#include "sandbox.h"
#include "sanitizers.h"
#include "scripted_server.h"
#include "servers.h"
#include "util.h"

namespace {

using namespace script;

const Script HTTP_OK = {read_request(), send("HTTP/1.0 200 OK\r\n\r\n"), close()};
const Script FTP_OK = {send("220 hi\r\n"), read_line(), send("230 in\r\n"), stall()};
const Script FTP_REFUSE = {send("220 hi\r\n"), read_line(),        send("331 pw\r\n"),
                           read_line(),        send("530 no\r\n"), stall()};

QueueRec done(std::int32_t id, const std::string& url, const std::string& resolved,
              const std::string& type, std::int32_t status, std::int32_t retries = 0) {
    return QueueRec{id, url, resolved, type, status, retries};
}

// The detector under strace, its `calls` held up as a stalled disk holds
// them: the first `stalls` of them (0: all) by `ms` each. The queue's own
// records are written with pwrite64.
std::vector<std::string> stalled_writes(int ms, int stalls, const std::string& calls = "pwrite64") {
    std::string inject = "inject=" + calls + ":delay_enter=" + std::to_string(ms * 1000);
    if (stalls > 0) inject += ":when=1.." + std::to_string(stalls);
    return {"strace",         "-f", "-qq",  "--seccomp-bpf", "-o", "/dev/null", "-e",
            "trace=" + calls, "-e", inject, QV2_DETECT_BIN};
}

// The detector run as a user of its own, held to the threads it starts
// with (an emulator has one more). The limit counts the user's processes
// in all the tests that run at once: each test has its own `uid`.
std::vector<std::string> held_to_one_thread(int uid) {
    const bool emulated = std::string(QV2_DETECT_BIN).find("/emulated/") != std::string::npos;
    const std::string id = std::to_string(uid);
    return {"prlimit",       emulated ? "--nproc=2" : "--nproc=1",
            "setpriv",       "--reuid=" + id,
            "--regid=" + id, "--clear-groups",
            QV2_DETECT_BIN};
}

// The pid of the detector `c` runs: itself, or the child of strace.
pid_t detector_pid(const Child& c, bool traced) {
    if (!traced) return c.pid();
    const std::string children =
        "/proc/" + std::to_string(c.pid()) + "/task/" + std::to_string(c.pid()) + "/children";
    wait_until([&] { return !read_file(children).empty(); }, 10);
    return static_cast<pid_t>(std::atoi(read_file(children).c_str()));
}

class DetectorPass : public ::testing::Test {
  protected:
    void SetUp() override {
        REQUIRE_SANDBOX();
        remove_tree(TEST_MARKER);
        sandbox_hosts(
            "127.0.0.1 localhost web.test\n127.0.0.2 ftp.test files.test\n"
            "127.0.0.3 deny.test\n127.0.0.4 ftphost other.test\n127.0.0.5 second.test\n"
            "127.0.0.6 nothing.test\n");
        area = std::make_unique<DownloadArea>();
    }

    ProcResult run(double limit = 60) { return run_process({QV2_DETECT_BIN}, {}, limit); }
    // One job at a time: for scripted servers whose scripts go by the
    // order of connections.
    ProcResult run_one_at_a_time() {
        return run_process({QV2_DETECT_BIN}, {{"QV2_DETECT_PROBES", "1"}}, 60);
    }

    std::unique_ptr<DownloadArea> area;
};

TEST_F(DetectorPass, FormOnlyJobsNeedNoNetwork) {
    ScriptedServer http("127.0.0.1", 80, {HTTP_OK});
    ScriptedServer ftp("127.0.0.1", 21, {FTP_OK});
    area->write_queue({waiting(1, "http://web.test/a.torrent"), waiting(2, "web.test/b.nzb"),
                       waiting(3, "magnet:?xt=urn:btih:0123"),
                       waiting(4, "ed2k://|file|c.iso|1|0123|/"), waiting(5, "d.torrent", 2)});
    const ProcResult r = run();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(area->queue(),
              (std::vector<QueueRec>{
                  done(1, "http://web.test/a.torrent", "http://web.test/a.torrent", "3", 'v'),
                  done(2, "web.test/b.nzb", "web.test/b.nzb", "4", 'v'),
                  done(3, "magnet:?xt=urn:btih:0123", "magnet:?xt=urn:btih:0123", "3", 'v'),
                  done(4, "ed2k://|file|c.iso|1|0123|/", "ed2k://|file|c.iso|1|0123|/", "6", 'v'),
                  done(5, "d.torrent", "d.torrent", "3", 'v', 2)}));
    EXPECT_EQ(http.connections() + ftp.connections(), 0);
}

TEST_F(DetectorPass, HttpJobs) {
    ScriptedServer http(
        "127.0.0.1", 80,
        {HTTP_OK,
         {read_request(), send("HTTP/1.0 302 Found\r\nLocation: /new/place.iso\r\n\r\n"), close()},
         HTTP_OK,
         {read_request(),
          send("HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\n<META HTTP-EQUIV=\"REFRESH\" "
               "CONTENT=\"0; url=http://web.test/t/x.torrent\">"),
          close()},
         {read_request(), send("HTTP/1.0 302 Found\r\nLocation: files/app.zip\r\n\r\n"), close()},
         HTTP_OK});
    area->write_queue({waiting(1, "http://web.test/f.iso"), waiting(2, "http://web.test/old"),
                       waiting(3, "web.test/page"),
                       waiting(4, "http://web.test/dl/get.php?f=pub/app.zip")});
    const ProcResult r = run_one_at_a_time();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(area->queue(),
              (std::vector<QueueRec>{
                  done(1, "http://web.test/f.iso", "http://web.test/f.iso", "1", 'v'),
                  done(2, "http://web.test/old", "http://web.test/new/place.iso", "1", 'v'),
                  done(3, "web.test/page", "http://web.test/t/x.torrent", "3", 'v'),
                  // a relative redirect after a query: the path's directory, not the query's
                  done(4, "http://web.test/dl/get.php?f=pub/app.zip",
                       "http://web.test/dl/files/app.zip", "1", 'v')}));
    EXPECT_EQ(http.received(5).substr(0, 26), "GET /dl/files/app.zip HTTP");
    EXPECT_EQ(http.received(0),
              "GET /f.iso HTTP/1.0\r\nHost: web.test\r\nUser-Agent: "
              "grelt/7.0 (http://qv2-detect.invalid/)\r\n\r\n");
}

TEST_F(DetectorPass, ProtocolFallbacks) {
    // web.test: only HTTP, failing with 404; ftp.test: only FTP; ftphost:
    // only HTTP; other.test: nothing.
    ScriptedServer web("127.0.0.1", 80,
                       {{read_request(), send("HTTP/1.0 404 Not Found\r\n\r\n"), close()}});
    ScriptedServer ftp("127.0.0.2", 21, {FTP_OK});
    ScriptedServer http4("127.0.0.4", 80, {HTTP_OK});
    area->write_queue({waiting(1, "http://ftp.test/x"), waiting(2, "http://nothing.test/x"),
                       waiting(3, "ftp://ftphost/y"), waiting(4, "web.test/z"),
                       waiting(5, "ftphost/w")});
    const ProcResult r = run();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(area->queue(),
              (std::vector<QueueRec>{
                  done(1, "http://ftp.test/x", "ftp://ftp.test/x", "2", 'v'),
                  done(2, "http://nothing.test/x", "ftp://nothing.test/x", "5", 'w', 1),
                  done(3, "ftp://ftphost/y", "http://ftphost/y", "1", 'v'),
                  done(4, "web.test/z", "ftp://web.test/z", "5", 'w', 1),
                  done(5, "ftphost/w", "http://ftphost/w", "1", 'v')}));
    EXPECT_EQ(web.received(0),
              "GET /z HTTP/1.0\r\nHost: web.test\r\nUser-Agent: "
              "grelt/7.0 (http://qv2-detect.invalid/)\r\n\r\n");
    EXPECT_EQ(r.err, "HTTP error from server: HTTP/1.0 404 Not Found\r");
}

struct RetryClass {
    int retries;
    double seconds;  // one read's wait
    int after;
};
void PrintTo(const RetryClass& c, std::ostream* os) {
    *os << "retries " << c.retries;
}

class DetectorPassSlow : public DetectorPass, public ::testing::WithParamInterface<RetryClass> {};

// Servers that accept and never answer: each of the job's two probes waits
// one read time-out of its class.
TEST_P(DetectorPassSlow, TimeOutsGrowWithRetries) {
    const RetryClass c = GetParam();
    ScriptedServer http("127.0.0.4", 80, {{stall()}});
    ScriptedServer ftp("127.0.0.4", 21, {{stall()}});
    area->write_queue({waiting(7, "http://other.test/slow", c.retries)});
    const ProcResult r = run();
    EXPECT_EQ(r.status, 0);
    EXPECT_GE(r.seconds, 2 * c.seconds - 0.2);
    // Room above for a busy machine and an emulator; a wrong class would
    // show as a whole time-out more or less.
    EXPECT_LT(r.seconds, 2 * c.seconds + 4.0);
    EXPECT_EQ(area->queue(),
              (std::vector<QueueRec>{
                  done(7, "http://other.test/slow", "ftp://other.test/slow", "5", 'w', c.after)}));
    EXPECT_EQ(http.connections(), 1);
    EXPECT_EQ(ftp.connections(), 1);
}

std::string class_name(const ::testing::TestParamInfo<RetryClass>& p) {
    return "retries" + std::to_string(p.param.retries);
}
INSTANTIATE_TEST_SUITE_P(Classes, DetectorPassSlow,
                         ::testing::Values(RetryClass{0, 3, 1}, RetryClass{2, 5, 3},
                                           RetryClass{3, 8, 3}),
                         class_name);

TEST_F(DetectorPass, RefusedLoginEndsThePass) {
    ScriptedServer refusing("127.0.0.2", 21, {FTP_REFUSE});
    ScriptedServer second("127.0.0.5", 21, {FTP_OK});
    area->write_queue({waiting(1, "ftp://ftp.test/a"), waiting(2, "ftp://second.test/b")});
    const ProcResult r = run_one_at_a_time();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(area->queue(),
              (std::vector<QueueRec>{done(1, "ftp://ftp.test/a", "ftp://ftp.test/a", "2", 'x'),
                                     waiting(2, "ftp://second.test/b")}));
    EXPECT_EQ(second.connections(), 0);
    EXPECT_EQ(r.err, "530 no\r\nlogin failed");
}

TEST_F(DetectorPass, EachWaitingJobIsProbedOnceInFileOrder) {
    ScriptedServer http("127.0.0.1", 80, {HTTP_OK});
    area->write_queue({waiting(3, "http://web.test/c"), waiting(1, "http://web.test/a"),
                       waiting(2, "http://web.test/b")});
    EXPECT_EQ(run_one_at_a_time().status, 0);
    EXPECT_EQ(http.connections(), 3);
    std::string paths;
    for (int i = 0; i < 3; ++i)
        paths += http.received(i).substr(4, 2);
    EXPECT_EQ(paths, "/c/a/b");
    EXPECT_EQ(area->queue(),
              (std::vector<QueueRec>{done(1, "http://web.test/a", "http://web.test/a", "1", 'v'),
                                     done(2, "http://web.test/b", "http://web.test/b", "1", 'v'),
                                     done(3, "http://web.test/c", "http://web.test/c", "1", 'v')}));
}

TEST_F(DetectorPass, OnlyWaitingJobsWithAUrlAreTouched) {
    ScriptedServer http("127.0.0.1", 80, {HTTP_OK});
    const QueueRec detected = done(1, "http://web.test/v", "http://web.test/v", "1", 'v');
    const QueueRec refused = done(2, "ftp://ftp.test/x", "ftp://ftp.test/x", "2", 'x');
    area->write_queue({detected, refused, waiting(3, ""), waiting(4, "http://web.test/w", 1),
                       waiting(5, "http://web.test/w", 2), waiting(6, "http://web.test/v")});
    EXPECT_EQ(run().status, 0);
    // The empty record is dropped. A link added again is a job of its own:
    // each result goes into the very job probed, never into another one
    // with the same URL.
    EXPECT_EQ(area->queue(),
              (std::vector<QueueRec>{detected, refused,
                                     done(4, "http://web.test/w", "http://web.test/w", "1", 'v', 1),
                                     done(5, "http://web.test/w", "http://web.test/w", "1", 'v', 2),
                                     done(6, "http://web.test/v", "http://web.test/v", "1", 'v')}));
    EXPECT_EQ(http.connections(), 3);
}

TEST_F(DetectorPass, QueueWithoutWaitingJobsIsNotRewritten) {
    area->write_queue({done(1, "http://web.test/v", "http://web.test/v", "1", 'v')});
    struct stat before;
    ASSERT_EQ(stat(area->queue_file().c_str(), &before), 0);
    usleep(20 * 1000);
    EXPECT_EQ(run().status, 0);
    struct stat after;
    ASSERT_EQ(stat(area->queue_file().c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
}

TEST_F(DetectorPass, OverlongTargetGivesTheLastUrlOfTheChainThatFits) {
    const std::string long_target = "/" + std::string(600, 'p');
    ScriptedServer http(
        "127.0.0.1", 80,
        {{read_request(), send("HTTP/1.0 302 Found\r\nLocation: /mid\r\n\r\n"), close()},
         {read_request(), send("HTTP/1.0 302 Found\r\nLocation: " + long_target + "\r\n\r\n"),
          close()},
         HTTP_OK});
    const std::string stored = "web.test/" + std::string(496, 's');  // its http:// form is too long
    // A URL that fills its field whole: nothing of its chain fits.
    const std::string full = "http://web.test/" + std::string(488, 'f') + ".torrent";
    // Raw UTF-8 that fits, but not escaped: never written as settled.
    std::string raw = "http://web.test/";
    while (raw.size() < 500)
        raw += "\xc3\xa9";
    area->write_queue({waiting(9, "http://web.test/short"), waiting(10, stored), waiting(11, full),
                       waiting(12, raw)});
    const ProcResult r = run_one_at_a_time();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(area->queue(),
              (std::vector<QueueRec>{
                  done(9, "http://web.test/short", "http://web.test/mid", "1", 'v'),
                  done(10, stored, stored, "1", 'v'), waiting(11, full), waiting(12, raw)}));
    EXPECT_EQ(r.err,
              "job 9: resolved URL of 616 characters does not fit, the last URL of its chain "
              "that fits is written\n"
              "job 10: resolved URL of 512 characters does not fit, the last URL of its chain "
              "that fits is written\n"
              "job 11: resolved URL of 512 characters does not fit, nor does any URL of its "
              "chain; the job is left unchanged\n"
              "job 12: resolved URL of 1468 characters does not fit, nor does any URL of its "
              "chain; the job is left unchanged\n");
}

TEST_F(DetectorPass, LockIsHeldForTheRunAndGivenBack) {
    ScriptedServer http("127.0.0.1", 80, {HTTP_OK});
    area->write_queue({waiting(1, "http://web.test/a")});
    LockHolder lock(area->lock_path(), 0);
    Child c({QV2_DETECT_BIN}, {});
    ASSERT_TRUE(wait_until([&] { return process_has_open(c.pid(), area->lock_path()); }, 10));
    usleep(300 * 1000);
    EXPECT_TRUE(c.running());  // no token: it waits
    EXPECT_EQ(http.connections(), 0);
    ASSERT_TRUE(post_token(area->lock_path()));
    const ProcResult r = c.wait(30);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(count_tokens(area->lock_path()), 1);
    EXPECT_EQ(area->queue()[0].status, 'v');
}

// A download disk without room for a second copy of the queue: written in
// place. Any other failure to write: said, and the queue left as it was.
TEST_F(DetectorPass, FullOrReadOnlyQueueFolderIsReported) {
    const std::vector<QueueRec> jobs = {waiting(1, "magnet:?a"), waiting(2, "b.torrent")};
    struct Case {
        const char* name;
        bool read_only;
        std::string err;  // after the queue path
        bool written;
    };
    const Case cases[] = {
        {"full", false, ": no room for a temporary copy, the queue was written in place\n", true},
        {"read-only", true, ": the queue could not be written: Read-only file system\n", false},
    };
    for (const auto& c : cases) {
        DownloadArea a;
        const std::string logs = a.base() + "/Download2/.logs";
        ASSERT_EQ(mount("tmpfs", logs.c_str(), "tmpfs", 0, "size=16k"), 0);
        a.write_queue(jobs);
        if (c.read_only) {
            ASSERT_EQ(mount(logs.c_str(), logs.c_str(), nullptr, MS_BIND, nullptr), 0);
            ASSERT_EQ(
                mount(nullptr, logs.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr),
                0);
        } else {
            fill_up(logs + "/fill");
        }
        const ProcResult r = run();
        EXPECT_EQ(r.status, 0) << c.name;
        EXPECT_EQ(r.err, a.queue_file() + c.err) << c.name;
        EXPECT_EQ(a.queue()[1].status, c.written ? 'v' : 'w') << c.name;
        EXPECT_EQ(read_file(a.queue_file()).size(), 2 * REC_SIZE) << c.name;
        umount2(logs.c_str(), MNT_DETACH);
        umount2(logs.c_str(), MNT_DETACH);
    }
}

// An owner who moved the queue to another disk behind a link keeps the
// link; the copies a killed rewrite left are cleared up under the lock.
TEST_F(DetectorPass, LinkedQueueStaysLinkedAndLeftOversGo) {
    TempDir other;
    const std::string real = other / "real.jqs";
    write_file(real, queue_bytes({waiting(1, "magnet:?a")}));
    ASSERT_EQ(symlink(real.c_str(), area->queue_file().c_str()), 0);
    const std::string logs = area->base() + "/Download2/.logs/";
    for (const std::string& name : {other / "real.jqs.a1B2c3", logs + "qv.jqs.Zz9y8X",
                                    other / "real.jqs.5char", other / "real.jqs.sevench"})
        write_file(name, "left over");
    mkdir((other / "real.jqs.dirxyz").c_str(), 0755);
    ASSERT_EQ(symlink(real.c_str(), (other / "real.jqs.linkxy").c_str()), 0);
    LockHolder lock(area->lock_path(), 1);
    EXPECT_EQ(run().status, 0);
    struct stat st;
    ASSERT_EQ(lstat(area->queue_file().c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(parse_queue(read_file(real))[0].type, "3");
    for (const std::string& gone : {other / "real.jqs.a1B2c3", logs + "qv.jqs.Zz9y8X"})
        EXPECT_FALSE(path_exists(gone)) << gone;
    for (const std::string& kept : {other / "real.jqs.5char", other / "real.jqs.sevench",
                                    other / "real.jqs.dirxyz", other / "real.jqs.linkxy"})
        EXPECT_TRUE(path_exists(kept)) << kept;
}

TEST_F(DetectorPass, RunsWithoutALockFifo) {
    ScriptedServer http("127.0.0.1", 80, {HTTP_OK});
    area->write_queue({waiting(1, "http://web.test/a")});
    EXPECT_EQ(run().status, 0);
    EXPECT_EQ(area->queue()[0].type, "1");
}

// Another process of the download manager adds a job while the detector
// works; it honours the lock, so it waits, and nothing is lost.
TEST_F(DetectorPass, JobAddedUnderTheLockMeanwhileIsKept) {
    ScriptedServer http("127.0.0.1", 80,
                        {{read_request(), pause(500), send("HTTP/1.0 200 OK\r\n\r\n"), close()}});
    area->write_queue({waiting(1, "http://web.test/a")});
    LockHolder lock(area->lock_path(), 1);
    Child c({QV2_DETECT_BIN}, {});
    ASSERT_TRUE(wait_until([&] { return http.connections() == 1; }, 10));
    // The writer: take the token, append a job, give the token back.
    const int fifo = open(area->lock_path().c_str(), O_RDONLY);
    char token;
    ASSERT_EQ(read(fifo, &token, 1), 1);  // blocks until the detector is done
    std::string bytes = read_file(area->queue_file());
    bytes += queue_record(waiting(2, "http://web.test/b"));
    write_file(area->queue_file(), bytes);
    ASSERT_TRUE(post_token(area->lock_path()));
    close(fifo);
    EXPECT_EQ(c.wait(30).status, 0);
    EXPECT_EQ(area->queue(),
              (std::vector<QueueRec>{done(1, "http://web.test/a", "http://web.test/a", "1", 'v'),
                                     waiting(2, "http://web.test/b")}));
    EXPECT_EQ(count_tokens(area->lock_path()), 1);
}

TEST_F(DetectorPass, SlowHungLookupDoesNotSpoilLaterJobs) {
    DnsServer dns(DnsServer::SILENT);
    ScriptedServer http("127.0.0.1", 80, {HTTP_OK});
    area->write_queue({waiting(1, "http://hung.test/a"), waiting(2, "http://web.test/b"),
                       waiting(3, "http://hung.test/c"), waiting(4, "http://hung.test/d")});
    // One bounded lookup for the name, one job at a time or not: a second
    // would take the run to 6 s, however busy the machine.
    for (const char* probes : {"1", "8"}) {
        const double t0 = now_seconds();
        const ProcResult r = run_process({QV2_DETECT_BIN}, {{"QV2_DETECT_PROBES", probes}}, 60);
        EXPECT_LT(now_seconds() - t0, 5.9) << probes;
        EXPECT_EQ(r.status, 0);
        const auto q = area->queue();
        EXPECT_EQ(q[0], done(1, "http://hung.test/a", "ftp://hung.test/a", "5", 'w', 1));
        EXPECT_EQ(q[1], done(2, "http://web.test/b", "http://web.test/b", "1", 'v'));
        EXPECT_EQ(q[3].retries, 1);
        area->write_queue({waiting(1, "http://hung.test/a"), waiting(2, "http://web.test/b"),
                           waiting(3, "http://hung.test/c"), waiting(4, "http://hung.test/d")});
    }
}

TEST_F(DetectorPass, TermSignalMidRunLeavesAWholeQueue) {
    // Answers that take a while: the signal surely comes mid-pass.
    ScriptedServer web("127.0.0.1", 80,
                       {{read_request(), pause(20), send("HTTP/1.0 200 OK\r\n\r\n"), close()}});
    std::vector<QueueRec> jobs;
    for (int i = 1; i <= 300; ++i)
        jobs.push_back(waiting(i, "http://web.test/f?" + std::to_string(i)));
    area->write_queue(jobs);
    LockHolder lock(area->lock_path(), 1);
    Child c({QV2_DETECT_BIN}, {});
    ASSERT_TRUE(wait_until(
        [&] {
            const auto q = area->queue();
            return q.size() == jobs.size() && q[20].status == 'v';
        },
        20));
    c.signal(SIGTERM);
    const ProcResult r = c.wait(10);
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.status, 0);
    const std::string bytes = read_file(area->queue_file());
    EXPECT_EQ(bytes.size(), jobs.size() * REC_SIZE);
    const auto q = parse_queue(bytes);
    ASSERT_EQ(q.size(), jobs.size());
    int detected = 0;
    for (std::size_t i = 0; i < q.size(); ++i) {
        EXPECT_EQ(q[i].url, jobs[i].url);
        detected += q[i].status == 'v';
    }
    EXPECT_GT(detected, 20);
    EXPECT_LT(detected, 300);                       // it really was cut short
    EXPECT_EQ(count_tokens(area->lock_path()), 1);  // the token came back
}

// A settled result is written about a second later, whatever the jobs
// before it still do: while a slow first job runs, a SIGKILL loses none of
// the others; a SIGTERM writes what is settled before the run ends, and
// leaves the rest waiting, the marker in place.
TEST_F(DetectorPass, SettledResultsAreWrittenWhateverEarlierJobsDo) {
    ScriptedServer fast("127.0.0.1", 80, {HTTP_OK});
    ScriptedServer slow("127.0.0.2", 80, {{read_request(), stall()}});
    const std::vector<QueueRec> jobs = {
        waiting(1, "http://ftp.test/slow"),   waiting(2, "b.torrent"),
        waiting(3, "http://web.test/fast"),   waiting(4, "c.nzb"),
        waiting(5, "http://files.test/slow"), waiting(6, "ed2k://|file|d|1|H|/"),
        waiting(7, "http://web.test/after")};
    const std::vector<std::int32_t> settled = {'w', 'v', 'v', 'v', 'w', 'v', 'v'};
    for (int sig : {SIGKILL, SIGTERM}) {
        area->write_queue(jobs);
        write_file(TEST_MARKER, "");
        LockHolder lock(area->lock_path(), 1);
        Child c({QV2_DETECT_BIN}, {});
        ASSERT_TRUE(
            wait_until([&] { return fast.connections() == 2 * (sig == SIGTERM ? 2 : 1); }, 10));
        // A second after the results settle their rewrite is due; before,
        // as a rule, a SIGTERM's write comes first. The slow jobs stay
        // waiting either way.
        usleep(sig == SIGKILL ? 2500 * 1000 : 500 * 1000);
        const double t0 = now_seconds();
        c.signal(sig);
        const ProcResult r = c.wait(10);
        EXPECT_LT(now_seconds() - t0, 1.5) << sig;
        std::vector<std::int32_t> status;
        for (const auto& q : area->queue())
            status.push_back(q.status);
        EXPECT_EQ(status, settled) << sig;
        EXPECT_EQ(count_tokens(area->lock_path()), sig == SIGKILL ? 0 : 1) << sig;
        EXPECT_TRUE(path_exists(TEST_MARKER)) << sig;
        if (sig == SIGTERM) {
            EXPECT_TRUE(r.exited && r.status == 0);
        }
    }
}

TEST_F(DetectorPass, FormOnlyQueueIsWrittenOnce) {
    std::vector<QueueRec> jobs;
    for (int i = 1; i <= 200; ++i)
        jobs.push_back(waiting(i, "magnet:?xt=" + std::to_string(i)));
    area->write_queue(jobs);
    TempDir dir;
    const ProcResult r =
        run_process({"strace", "-f", "-qq", "-e", "trace=rename,renameat,renameat2,fsync,fdatasync",
                     "-o", dir / "trace", QV2_DETECT_BIN},
                    // LeakSanitizer can't run under ptrace; the sanitizer
                    // build's other checks stay on.
                    {{"ASAN_OPTIONS", "detect_leaks=0"}}, 60);
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string trace = read_file(dir / "trace");
    auto count = [&](const std::string& call) {
        int n = 0;
        for (std::size_t at = 0; (at = trace.find(call + "(", at)) != std::string::npos; ++at)
            ++n;
        return n;
    };
    EXPECT_EQ(count("rename") + count("renameat") + count("renameat2"), 1) << trace;
    EXPECT_EQ(count("fsync") + count("fdatasync"), 1) << trace;
    for (const auto& q : area->queue())
        EXPECT_EQ(q.type, "3");
}

TEST_F(DetectorPass, KilledMidPassLeavesAWholeQueue) {
    // Answers that take a while, so the kill surely comes mid-pass.
    ScriptedServer web("127.0.0.1", 80,
                       {{read_request(), pause(30), send("HTTP/1.0 200 OK\r\n\r\n"), close()}});
    std::vector<QueueRec> jobs;
    for (int i = 1; i <= 400; ++i) {
        jobs.push_back(waiting(i, i % 3 == 0 ? "http://web.test/f?" + std::to_string(i)
                                             : "magnet:?xt=" + std::to_string(i)));
    }
    area->write_queue(jobs);
    Child c({QV2_DETECT_BIN}, {});
    ASSERT_TRUE(wait_until([&] { return area->queue()[60].status == 'v'; }, 20));
    c.signal(SIGKILL);
    c.wait(10);
    const std::string bytes = read_file(area->queue_file());
    ASSERT_EQ(bytes.size(), jobs.size() * REC_SIZE);
    const auto q = parse_queue(bytes);
    int settled = 0;
    for (std::size_t i = 0; i < q.size(); ++i) {
        EXPECT_EQ(q[i].id, jobs[i].id);
        EXPECT_EQ(q[i].url, jobs[i].url);
        settled += q[i].status == 'v';
    }
    EXPECT_LT(settled, 400);
}

// https links against nginx over TLS, and the types a download script
// declares for what it serves.
TEST_F(DetectorPass, HttpsAndDeclaredTypes) {
    TestCa ca;
    ASSERT_TRUE(sandbox_replace("/etc/ssl/certs/ca-certificates.crt", read_file(ca.cert())));
    const CertFiles cert = ca.issue("web.test");
    NginxServer web("127.0.0.1", 443, {{"f.iso", "x"}},
                    "    location = /download.php {\n"
                    "      default_type application/x-bittorrent; return 200 d8:e;\n    }\n"
                    "    location = /get {\n"
                    "      add_header Content-Disposition 'attachment; filename=\"week.nzb\"';\n"
                    "      return 200 nzb;\n    }\n",
                    &cert);
    area->write_queue({waiting(1, "https://web.test/f.iso"),
                       waiting(2, "https://web.test/download.php?id=7"),
                       waiting(3, "HTTPS://web.test/get?n=1")});
    const ProcResult r = run();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(area->queue(),
              (std::vector<QueueRec>{
                  done(1, "https://web.test/f.iso", "https://web.test/f.iso", "1", 'v'),
                  done(2, "https://web.test/download.php?id=7",
                       "https://web.test/download.php?id=7", "3", 'v'),
                  done(3, "HTTPS://web.test/get?n=1", "https://web.test/get?n=1", "4", 'v')}))
        << r.err << web.log();
}

// Whatever sits at the CA bundle's path can't hold the run: a FIFO is no
// bundle, and the https jobs wait for the next run.
TEST_F(DetectorPass, CaBundleThatWouldBlockIsNoBundle) {
    ASSERT_EQ(mount("tmpfs", "/etc/ssl/certs", "tmpfs", 0, nullptr), 0);
    ASSERT_EQ(mkfifo("/etc/ssl/certs/ca-certificates.crt", 0644), 0);
    ScriptedServer http("127.0.0.1", 80, {HTTP_OK});
    LockHolder lock(area->lock_path(), 1);
    area->write_queue({waiting(1, "https://web.test/a.iso"), waiting(2, "http://web.test/b.iso")});
    const ProcResult r = run(30);
    EXPECT_LT(r.seconds, 6.0);
    EXPECT_EQ(r.err,
              "no CA certificates found (/etc/ssl/certs/ca-certificates.crt is not a regular "
              "file); https links can't be checked\n");
    EXPECT_EQ(area->queue(),
              (std::vector<QueueRec>{
                  done(1, "https://web.test/a.iso", "ftp://web.test/a.iso", "5", 'w', 1),
                  done(2, "http://web.test/b.iso", "http://web.test/b.iso", "1", 'v')}));
    EXPECT_EQ(count_tokens(area->lock_path()), 1);
}

// Eight jobs on a name at once cost one full handshake: the others wait
// for its session and resume it. Three names of one server; each reply
// says whether its connection resumed ("r") or not (".").
TEST_F(DetectorPass, HttpsJobsAtOnceShareTheFirstHandshake) {
    TestCa ca;
    ASSERT_TRUE(sandbox_replace("/etc/ssl/certs/ca-certificates.crt", read_file(ca.cert())));
    sandbox_hosts("127.0.0.1 localhost h0.test h1.test h2.test\n");
    const CertFiles cert = ca.issue("h0.test", false, 0, "DNS:h0.test,DNS:h1.test,DNS:h2.test");
    std::vector<QueueRec> jobs;
    for (int i = 0; i < 24; ++i)
        jobs.push_back(
            waiting(i + 1, "https://h" + std::to_string(i / 8) + ".test/f" + std::to_string(i)));
    NginxServer web(
        "127.0.0.1", 443, {},
        "    location / { return 302 \"magnet:?xt=urn:btih:1&dn=$ssl_session_reused\"; }\n", &cert);
    area->write_queue(jobs);
    const ProcResult r = run();
    EXPECT_EQ(r.err, "");
    std::map<std::string, std::string> reuse;  // by name, in job order
    for (const auto& q : area->queue()) {
        EXPECT_EQ(q.type, "3") << q;
        reuse[q.url.substr(8, 7)] += q.resolved_url.substr(q.resolved_url.size() - 1);
    }
    for (const auto& [name, seen] : reuse)
        EXPECT_EQ(std::count(seen.begin(), seen.end(), '.'), 1) << name << ": " << seen;
}

// However a stop finds the run (no thread to probe with, a probe stuck in
// a call that never returns, a write held up by the disk), it writes what
// settled before it, gives the token back and keeps the marker, within
// about a second of when it can.
TEST_F(DetectorPass, StopWritesWhatSettledWhateverTheRunDoes) {
    // stuck.test's lookup never returns: /etc/hosts is a FIFO nobody writes.
    TempDir fifo_dir;
    ASSERT_EQ(mkfifo((fifo_dir / "hosts").c_str(), 0644), 0);
    ASSERT_EQ(mount((fifo_dir / "hosts").c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr), 0);
    const Script late = {read_request(), pause(1200), send("HTTP/1.0 200 OK\r\n\r\n"), close()};
    ScriptedServer fast("127.0.0.2", 80, {HTTP_OK});
    ScriptedServer stalled("127.0.0.3", 80, {{read_request(), stall()}});
    std::vector<std::unique_ptr<ScriptedServer>> lates;
    // Settled jobs, so that a write of a few results goes in place; then
    // one fast job, eight that answer late and one that never does.
    std::vector<QueueRec> many;
    for (int i = 0; i < 40; ++i)
        many.push_back(done(10 + i, "magnet:?" + std::to_string(i), "magnet:?", "3", 'v'));
    many.push_back(waiting(60, "http://127.0.0.2/f"));
    for (int i = 0; i < 8; ++i) {
        const std::string ip = "127.0.0." + std::to_string(20 + i);
        lates.push_back(std::make_unique<ScriptedServer>(ip, 80, std::vector<Script>{late}));
        many.push_back(waiting(70 + i, "http://" + ip + "/l"));
    }
    many.push_back(waiting(99, "http://127.0.0.3/s"));
    auto lates_settled = [&] {
        for (const auto& l : lates)
            if (l->connections() == 0) return false;
        for (const auto& l : lates)
            l->received(0);  // waits for its answer to go out
        return usleep(500 * 1000) == 0;
    };
    struct Case {
        const char* name;
        std::vector<std::string> argv;
        std::vector<QueueRec> jobs;
        ScriptedServer* watched;      // a new connection to it...
        std::function<bool()> ready;  // ...and this, and the signal comes
        std::size_t settled;          // the first this many jobs end settled, the rest waiting
        double within;                // seconds from the signal to the end
        bool traced = false;
    };
    const Case cases[] = {
        {"no thread for probing",
         held_to_one_thread(54322),
         {waiting(1, "http://127.0.0.2/f"), waiting(2, "magnet:?x"),
          waiting(3, "http://127.0.0.2/g"), waiting(4, "http://127.0.0.3/s")},
         &stalled,
         [] { return true; },
         3,
         1.5},
        {"a lookup stuck in a call",
         {QV2_DETECT_BIN},
         {waiting(1, "http://127.0.0.2/f"), waiting(2, "http://stuck.test/x")},
         &fast,
         [] { return usleep(300 * 1000) == 0; },
         1,
         2.0},
        {"a periodic write held up 1.5 s as late jobs settle", stalled_writes(1500, 1), many,
         &stalled, lates_settled, many.size() - 1, 2.5, true},
    };
    // The run of a user held to its one thread must reach the area and the lock.
    for (const std::string& p :
         {area->base(), area->base() + "/Download2/.logs", area->base() + "/Download2/.sems"})
        chmod(p.c_str(), 0777);
    LockHolder lock(area->lock_path(), 1);
    chmod(area->lock_path().c_str(), 0666);
    for (const auto& c : cases) {
        area->write_queue(c.jobs);
        write_file(TEST_MARKER, "");
        const int before = c.watched->connections();
        Child run(c.argv, {{"ASAN_OPTIONS", "detect_leaks=0"}});
        ASSERT_TRUE(wait_until([&] { return c.watched->connections() > before; }, 20)) << c.name;
        ASSERT_TRUE(c.ready()) << c.name;
        const double t0 = now_seconds();
        kill(detector_pid(run, c.traced), SIGTERM);
        const ProcResult r = run.wait(20);
        EXPECT_LT(now_seconds() - t0, c.within) << c.name;
        EXPECT_TRUE(r.exited && r.status == 0) << c.name << r.err;
        const auto q = area->queue();
        ASSERT_EQ(q.size(), c.jobs.size()) << c.name;
        for (std::size_t i = 0; i < q.size(); ++i)
            EXPECT_EQ(q[i].status, i < c.settled ? 'v' : 'w') << c.name << ": " << q[i];
        EXPECT_EQ(count_tokens(area->lock_path()), 1) << c.name;
        EXPECT_TRUE(path_exists(TEST_MARKER)) << c.name;
    }
    umount2("/etc/hosts", MNT_DETACH);
}

// On a disk without room for a copy of the queue, a stop's update goes
// over the changed records' own places whatever order the file has (a job
// deleted at place 2; a job added again under a low id at the end). Held
// up 2 s at its first write, it is not cut; killed at any point of it, it
// leaves every job once, as it was (waiting) or with its whole new result.
TEST_F(DetectorPass, SlowStopOnAFullDiskMovesNoRecord) {
    constexpr std::int32_t JOBS = 40000;
    TempDir disk;
    const std::string size = "size=" + std::to_string(JOBS * REC_SIZE + (64 << 10));
    ASSERT_EQ(mount("tmpfs", disk.path().c_str(), "tmpfs", 0, size.c_str()), 0);
    ASSERT_EQ(symlink((disk / "qv.jqs").c_str(), area->queue_file().c_str()), 0);
    ScriptedServer hang("127.0.0.1", 80, {{read_request(), stall()}});
    LockHolder lock(area->lock_path(), 1);
    std::mt19937 rng(35);
    for (int layout = 0; layout < 2; ++layout) {
        std::vector<QueueRec> jobs;
        for (std::int32_t i = 0; i < JOBS; ++i) {
            const std::string url = "magnet:?xt=" + std::to_string(i);
            const std::int32_t id = layout == 1 && i == JOBS - 1 ? 1 : i + 2;
            jobs.push_back(i % 400 == 7 ? waiting(id, url) : done(id, url, url, "3", 'v'));
        }
        jobs[JOBS / 2] = waiting(jobs[JOBS / 2].id, "http://web.test/hang");
        if (layout == 0) jobs[1].url = "";
        // Each job as it was, and as it is once written.
        std::map<std::pair<std::int32_t, std::string>, std::pair<QueueRec, QueueRec>> versions;
        for (const QueueRec& j : jobs) {
            if (j.url.empty()) continue;
            const bool magnet = j.url.rfind("magnet:", 0) == 0;
            versions[{j.id, j.url}] = {j, magnet ? done(j.id, j.url, j.url, "3", 'v') : j};
        }
        for (int run = 0; run < 6; ++run) {
            const bool killed = run >= 3;
            const std::string what =
                "layout " + std::to_string(layout) + ", run " + std::to_string(run);
            area->write_queue(jobs);
            fill_up(disk / "fill");
            const int seen = hang.connections();
            // Killed: every write held up, whatever writes the records.
            Child c(killed ? stalled_writes(10, 0, "write,pwrite64") : stalled_writes(2000, 1),
                    {{"ASAN_OPTIONS", "detect_leaks=0"}});
            ASSERT_TRUE(wait_until([&] { return hang.connections() > seen; }, 30)) << what;
            const pid_t pid = detector_pid(c, true);
            kill(pid, SIGTERM);
            if (killed) {
                usleep(std::uniform_int_distribution<useconds_t>(0, 2500 * 1000)(rng));
                kill(pid, SIGKILL);
            }
            c.wait(30);
            std::map<std::pair<std::int32_t, std::string>, int> found;
            for (const QueueRec& q : area->queue()) {
                if (q.url.empty()) continue;  // the deleted job, left where it was
                const auto& [was, now] = versions.at({q.id, q.url});
                // Killed, a job may be as it was, whole but for its status
                // (still waiting), or whole.
                QueueRec with_status = q;
                with_status.status = now.status;
                EXPECT_TRUE(q == now || (killed && (q == was || with_status == now)))
                    << what << ": " << q;
                ++found[{q.id, q.url}];
            }
            EXPECT_EQ(found.size(), versions.size()) << what;
            for (const auto& [job, n] : found)
                EXPECT_EQ(n, 1) << what << ": id " << job.first;
            if (!killed) {
                EXPECT_EQ(count_tokens(area->lock_path()), 1) << what;
            }
            if (count_tokens(area->lock_path()) == 0) post_token(area->lock_path());
            unlink((disk / "fill").c_str());
        }
    }
}

// Probing several jobs at once changes nothing a job ends with, nor what
// stderr shows: a mixed queue, a refused login in the middle, run one job
// at a time and eight at a time. A job after the refusal is left for the
// next run, unless its result was written before the refusal came.
TEST_F(DetectorPass, ConcurrentPassEqualsOneAtATime) {
    NginxServer web("127.0.0.1", 80, {{"files/a.iso", "a"}},
                    "    location = /go { return 302 /files/a.iso; }\n");
    VsftpdServer files("127.0.0.2", {{"pub/b.iso", "b"}});
    VsftpdServer deny("127.0.0.3", {}, VSFTPD_REFUSE_LOGINS);
    const std::vector<QueueRec> jobs = {
        waiting(1, "magnet:?xt=1"),
        waiting(2, "http://web.test/files/a.iso"),
        waiting(3, "http://nothing.test/x", 1),
        waiting(4, "web.test/go"),
        waiting(5, "http://web.test/missing.iso"),
        waiting(6, "ftp://files.test/pub/b.iso"),
        waiting(7, "http://files.test/pub/b.iso"),
        waiting(8, "c.torrent"),
        waiting(9, "ftp://deny.test/x.iso"),
        waiting(10, "http://web.test/files/a.iso?again"),
        waiting(11, "ed2k://|file|d|1|H|/"),
        waiting(12, "ftp://files.test/pub/b.iso?again"),
    };
    std::string bytes[2], err[2];
    const char* limits[2] = {"1", "8"};
    for (int i = 0; i < 2; ++i) {
        area->write_queue(jobs);
        const ProcResult r = run_process({QV2_DETECT_BIN}, {{"QV2_DETECT_PROBES", limits[i]}}, 60);
        EXPECT_EQ(r.status, 0);
        bytes[i] = read_file(area->queue_file());
        err[i] = r.err;
    }
    EXPECT_EQ(err[0], err[1]);
    const auto alone = parse_queue(bytes[0]), q = parse_queue(bytes[1]);
    ASSERT_EQ(q.size(), jobs.size());
    for (std::size_t i = 0; i < 9; ++i)
        EXPECT_EQ(q[i], alone[i]);
    EXPECT_EQ(q[8].status, 'x');
    const QueueRec settled[] = {
        done(10, jobs[9].url, jobs[9].url, "1", 'v'),
        done(11, jobs[10].url, jobs[10].url, "6", 'v'),
        done(12, jobs[11].url, jobs[11].url, "2", 'v'),
    };
    for (std::size_t i = 9; i < q.size(); ++i) {
        for (const auto& run : {alone, q})
            EXPECT_TRUE(run[i] == jobs[i] || run[i] == settled[i - 9]) << run[i];
    }
    EXPECT_EQ(q[6].type, "2");
    EXPECT_EQ(q[2].retries, 2);
}

// Never more than eight jobs at once, nor two on one host name.
TEST_F(DetectorPass, ProbesAtOnceStayWithinTheLimits) {
    const Script slow_ok = {read_request(), pause(300), send("HTTP/1.0 200 OK\r\n\r\n"), close()};
    std::string names;
    for (int i = 0; i < 10; ++i)
        names += " h" + std::to_string(i) + ".test";
    sandbox_hosts("127.0.0.1 localhost" + names + "\n127.0.0.2 one.test\n");
    struct Case {
        const char* ip;
        bool many_names;
        int most;
    };
    for (const Case c : {Case{"127.0.0.1", true, 8}, Case{"127.0.0.2", false, 2}}) {
        ScriptedServer server(c.ip, 80, {slow_ok});
        std::vector<QueueRec> jobs;
        for (int i = 1; i <= 20; ++i) {
            const std::string host =
                c.many_names ? "h" + std::to_string(i % 10) + ".test" : "one.test";
            jobs.push_back(waiting(i, "http://" + host + "/f" + std::to_string(i)));
        }
        area->write_queue(jobs);
        EXPECT_EQ(run().status, 0);
        EXPECT_EQ(server.connections(), 20) << c.ip;
        // At most the limit; that many as a rule, but a loaded machine may
        // be slower to start them than the server is to answer.
        EXPECT_LE(server.max_open(), c.most) << c.ip;
        EXPECT_GE(server.max_open(), 2) << c.ip;
        for (const auto& q : area->queue())
            EXPECT_EQ(q.type, "1") << q;
    }
}

// A server that answers in dribs and drabs, redirect after redirect, can
// hold a job no longer than six class time-outs.
TEST_F(DetectorPass, SlowJobPastItsTimeCountsAsFailed) {
    const Script dribble = {read_request(), send("HTTP/1.0 302 Found\r\nLocation: /next\r\n"),
                            trickle("X-Slow: 12345\r\n\r\n", 1000), close()};
    ScriptedServer server("127.0.0.1", 80, {dribble});
    area->write_queue({waiting(1, "http://web.test/a"), waiting(2, "magnet:?b")});
    const ProcResult r = run();
    EXPECT_EQ(r.status, 0);
    EXPECT_GE(r.seconds, 17.5);
    EXPECT_LT(r.seconds, 21.0);
    EXPECT_EQ(area->queue(), (std::vector<QueueRec>{done(1, "http://web.test/a", "", "5", 'w', 1),
                                                    done(2, "magnet:?b", "magnet:?b", "3", 'v')}));
    EXPECT_EQ(r.err, "job 1: its probes took more than 18 s, counted as unreachable\n");
}

// Jobs on a host that drops connection attempts cost about one job's
// time: the run learns the host does not answer.
TEST_F(DetectorPass, SlowDeadHostCostsOneJobsTime) {
    std::vector<std::unique_ptr<Listener>> dead;
    for (int port : {80, 21}) {
        dead.push_back(std::make_unique<Listener>("127.0.0.4", port, 0));
        dead.back()->fill_accept_queue();
    }
    std::vector<QueueRec> jobs;
    for (int i = 1; i <= 20; ++i)
        jobs.push_back(waiting(i, "http://other.test/f" + std::to_string(i)));
    area->write_queue(jobs);
    const ProcResult r = run();
    // One wait per job would take a minute; an emulator on a busy machine
    // may take twice the one job's time.
    EXPECT_GE(r.seconds, 6 - 0.2);
    EXPECT_LT(r.seconds, 3 * 6.0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(area->queue().back(), done(20, jobs.back().url, "ftp://other.test/f20", "5", 'w', 1));
}

// A slow answer to one request says nothing of the host's other paths:
// each job ends as it does when probed alone, however many run at once.
// Nor does an answer that trickles past its time: the host was heard.
TEST_F(DetectorPass, SlowVerdictsComeFromTheJobsOwnProbes) {
    const Script hang = {read_request(), stall()};
    const Script trickle_ok = {read_request(), send("HTTP/1.0 200 OK\r\n"), pause(3500),
                               send("\r\n"), close()};
    Script slow_greeting;  // a "220-" line every 2 s for 24 s
    for (int i = 0; i < 12; ++i) {
        slow_greeting.push_back(send("220-welcome\r\n"));
        slow_greeting.push_back(pause(2000));
    }
    // A TLS record header, then its body a byte every half second.
    const Script slow_handshake = {
        trickle(std::string("\x16\x03\x03\x40\x00", 5) + std::string(30, 'x'), 500)};
    TestCa ca;
    ASSERT_TRUE(sandbox_replace("/etc/ssl/certs/ca-certificates.crt", read_file(ca.cert())));
    const CertFiles cert = ca.issue("other.test");
    NginxServer tls("127.0.0.1", 8443,
                    {{"f1", "x"}, {"f2", "x"}, {"f3", "x"}, {"f4", "x"}, {"f5", "x"}}, "", &cert);
    struct Case {
        const char* name;
        std::vector<Script> scripts;  // by connection
        int jobs;
        const char* probes;
        int failing;  // the first this many jobs fail
        std::string scheme = "http";
        int port = 80;
        const char* type = "1";  // of the others
    };
    const Case cases[] = {
        {"two links hang", {hang, hang, HTTP_OK}, 8, "8", 2},
        {"the first connection hangs, one probe at a time", {hang, HTTP_OK}, 5, "1", 1},
        {"a header slower than a read's time-out", {trickle_ok}, 4, "8", 0},
        {"a greeting slower than its time", {slow_greeting, FTP_OK}, 5, "1", 1, "ftp", 21, "2"},
        {"a handshake slower than its time",
         {slow_handshake, {relay(8443)}},
         5,
         "1",
         1,
         "https",
         443},
    };
    for (const auto& c : cases) {
        ScriptedServer server("127.0.0.4", c.port, c.scripts);
        std::vector<QueueRec> jobs;
        for (int i = 1; i <= c.jobs; ++i)
            jobs.push_back(waiting(i, c.scheme + "://other.test/f" + std::to_string(i)));
        area->write_queue(jobs);
        const ProcResult r = run_process({QV2_DETECT_BIN}, {{"QV2_DETECT_PROBES", c.probes}}, 60);
        const auto q = area->queue();
        for (int i = 0; i < c.jobs; ++i)
            EXPECT_EQ(q[i].type, i < c.failing ? "5" : c.type) << c.name << ", job " << i + 1;
        EXPECT_EQ(server.connections(), c.jobs) << c.name;
    }
}

// After a refused login the pass is over: the probes still running are
// ended at once, not waited for with the lock held.
TEST_F(DetectorPass, RefusalReleasesTheLockAtOnce) {
    ScriptedServer refusing("127.0.0.2", 21, {FTP_REFUSE});
    ScriptedServer stalled("127.0.0.4", 80, {{stall()}});
    std::vector<QueueRec> jobs = {waiting(1, "ftp://ftp.test/a")};
    for (int i = 2; i <= 3; ++i)
        jobs.push_back(waiting(i, "http://other.test/" + std::to_string(i)));
    area->write_queue(jobs);
    LockHolder lock(area->lock_path(), 1);
    Child c({QV2_DETECT_BIN}, {});
    ASSERT_TRUE(
        wait_until([&] { return refusing.all_received().find("PASS") != std::string::npos; }, 10));
    const double refused = now_seconds();
    ASSERT_TRUE(wait_until([&] { return count_tokens(area->lock_path()) == 1; }, 10));
    EXPECT_LT(now_seconds() - refused, 2.0);  // well before the stalled probe's 3 s
    EXPECT_EQ(c.wait(10).err, "530 no\r\nlogin failed");
    jobs[0] = done(1, "ftp://ftp.test/a", "ftp://ftp.test/a", "2", 'x');
    EXPECT_EQ(area->queue(), jobs);
}

// A page is read only for its meta refresh: eight big pages at once cost
// little memory, one big page hardly more than a short one. Measured for
// the detector alone (a child's peak otherwise starts at its parent's).
TEST_F(DetectorPass, BigPagesCostLittleMemory) {
#ifdef QV2_SANITIZED
    GTEST_SKIP() << "the sanitizers' own memory would be measured";
#endif
    if (std::string(QV2_DETECT_BIN).find("/emulated/") != std::string::npos)
        GTEST_SKIP() << "the emulator's memory would be measured";
    std::string names;
    for (int i = 0; i < 8; ++i)
        names += " h" + std::to_string(i) + ".test";
    sandbox_hosts("127.0.0.1 localhost" + names + "\n");
    NginxServer web("127.0.0.1", 80,
                    {{"big.html", std::string(std::size_t{1} << 20, 'p')}, {"small.html", "p"}});
    TempDir dir;
    auto peak_kib = [&](int jobs, const char* page) {
        std::vector<QueueRec> q;
        for (int i = 0; i < jobs; ++i)
            q.push_back(waiting(i + 1, "http://h" + std::to_string(i) + ".test/" + page));
        area->write_queue(q);
        const ProcResult r =
            run_process({"/usr/bin/time", "-f", "%M", "-o", dir / "rss", QV2_DETECT_BIN}, {}, 60);
        EXPECT_EQ(area->queue().back().type, "1") << r.err;
        return std::atol(read_file(dir / "rss").c_str());
    };
    EXPECT_LE(peak_kib(8, "big.html"), 6 * 1024);
    EXPECT_LE(peak_kib(1, "big.html"), peak_kib(1, "small.html") + 1024);
}

// A long run over a large queue writes it a few times, not once a second.
TEST_F(DetectorPass, LongRunOverALargeQueueWritesLittle) {
    std::string names;
    for (int i = 0; i < 16; ++i)
        names += " h" + std::to_string(i) + ".test";
    sandbox_hosts("127.0.0.1 localhost" + names + "\n");
    ScriptedServer slow("127.0.0.1", 80,
                        {{read_request(), pause(700), send("HTTP/1.0 200 OK\r\n\r\n"), close()}});
    std::vector<QueueRec> jobs;
    for (int i = 1; i <= 20000; ++i)
        jobs.push_back(done(i, "magnet:?" + std::to_string(i), "magnet:?", "3", 'v'));
    for (int i = 0; i < 40; ++i)
        jobs.push_back(waiting(20001 + i, "http://h" + std::to_string(i % 16) + ".test/x"));
    area->write_queue(jobs);
    TempDir dir;
    const ProcResult r = run_process(
        {"strace", "-f", "-qq", "-e", "trace=write,pwrite64", "-o", dir / "trace", QV2_DETECT_BIN},
        {{"ASAN_OPTIONS", "detect_leaks=0"}}, 120);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_GE(r.seconds, 3);
    const std::string trace = read_file(dir / "trace");
    long long written = 0;
    for (std::size_t at = 0; (at = trace.find(") = ", at)) != std::string::npos; at += 4)
        written += std::atoll(trace.c_str() + at + 4);
    const auto queue = static_cast<long long>(jobs.size()) * static_cast<long long>(REC_SIZE);
    EXPECT_LE(written, 3 * queue + (1 << 20));
    EXPECT_EQ(area->queue().back().type, "1");
}

// No worker thread to be had (the process limit reached): the jobs are
// probed one at a time on the run's own thread, and it says so once.
TEST_F(DetectorPass, NoThreadMeansOneJobAtATime) {
    ScriptedServer http("127.0.0.1", 80, {HTTP_OK});
    area->write_queue({waiting(1, "http://web.test/a"), waiting(2, "magnet:?b"),
                       waiting(3, "http://web.test/c")});
    for (const std::string& p : {area->base(), area->base() + "/Download2/.logs"})
        chmod(p.c_str(), 0777);
    const ProcResult r =
        run_process(held_to_one_thread(54321), {{"ASAN_OPTIONS", "detect_leaks=0"}}, 30);
    EXPECT_EQ(r.err,
              "no thread could be started for probing (Resource temporarily unavailable); jobs "
              "are probed one at a time\n");
    for (const auto& q : area->queue())
        EXPECT_EQ(q.status, 'v') << q;
}

// Links as people paste them and files as trackers, indexers and download
// scripts serve them, against nginx.
TEST_F(DetectorPass, PastedLinksAndServedFiles) {
    sandbox_hosts("127.0.0.1 localhost web.test xn--bcher-kva.example\n");
    const std::string nzb = "<?xml version=\"1.0\"?><!-- x --><nzb xmlns=\"http://n\"></nzb>";
    NginxServer web(
        "127.0.0.1", 80,
        {{"files/a.iso", "a"},
         {"My Music/Song 01.mp3", "m"},
         {"кино/фильм.mkv", "k"},
         {"dl/123.torrent", "d8:announce1:ue"},
         {"api/show.s01e01.nzb", nzb},
         {"page.html", "<META HTTP-EQUIV=\"REFRESH\" CONTENT=\"0; url=magnet:?xt=1\">"}},
        "    location /dl/ { types {} default_type application/octet-stream; }\n"
        "    location /api/ { types {} default_type application/octet-stream; }\n"
        "    location = /get.php { default_type application/octet-stream;\n"
        "      return 200 'd13:creation datei1e4:infod4:name1:aee'; }\n"
        "    location = /nzb.php { default_type text/xml; return 200 '" +
            nzb +
            "'; }\n"
            // Reached only with the ASCII Host line.
            "    location = /katalog.pdf {\n"
            "      if ($host != xn--bcher-kva.example) { return 400; } return 200 p; }\n");
    area->write_queue({waiting(1, " http://web.test/files/a.iso \r\n"),
                       waiting(2, "http://web.test/My Music/Song 01.mp3"),
                       waiting(3, "http://web.test/кино/фильм.mkv"),
                       waiting(4, "http://bücher.example/katalog.pdf"),
                       waiting(6, "http://web.test/dl/123.torrent?passkey=p"),
                       waiting(7, "http://web.test/api/show.s01e01.nzb?apikey=k"),
                       waiting(8, "http://web.test/page.html"),
                       waiting(9, "http://web.test/get.php?id=1"),
                       waiting(10, "http://web.test/nzb.php?id=2")});
    const ProcResult r = run();
    const std::pair<std::string, std::string> expected[] = {
        {"http://web.test/files/a.iso", "1"},
        {"http://web.test/My%20Music/Song%2001.mp3", "1"},
        {"http://web.test/%D0%BA%D0%B8%D0%BD%D0%BE/%D1%84%D0%B8%D0%BB%D1%8C%D0%BC.mkv", "1"},
        {"http://xn--bcher-kva.example/katalog.pdf", "1"},
        {"http://web.test/dl/123.torrent?passkey=p", "3"},
        {"http://web.test/api/show.s01e01.nzb?apikey=k", "4"},
        {"magnet:?xt=1", "3"},
        {"http://web.test/get.php?id=1", "3"},
        {"http://web.test/nzb.php?id=2", "4"},
    };
    const auto q = area->queue();
    EXPECT_EQ(r.err, "");
    ASSERT_EQ(q.size(), std::size(expected));
    for (std::size_t i = 0; i < q.size(); ++i) {
        EXPECT_EQ(q[i].resolved_url, expected[i].first) << i << r.err << web.log();
        EXPECT_EQ(q[i].type, expected[i].second) << i;
    }
}

TEST_F(DetectorPass, RealServers) {
    NginxServer web("127.0.0.1", 80, {{"files/a.iso", std::string(1024, 'a')}},
                    "    location = /go { return 302 /files/a.iso; }\n");
    VsftpdServer files("127.0.0.2", {{"pub/b.iso", "b"}});
    VsftpdServer deny("127.0.0.3", {}, VSFTPD_REFUSE_LOGINS);
    area->write_queue(
        {waiting(1, "http://web.test/files/a.iso"), waiting(2, "web.test/go"),
         waiting(3, "http://web.test/missing.iso"), waiting(4, "ftp://files.test/pub/b.iso"),
         waiting(5, "http://files.test/pub/b.iso"), waiting(6, "ftp://deny.test/x.iso")});
    const ProcResult r = run();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(area->queue(),
              (std::vector<QueueRec>{
                  done(1, "http://web.test/files/a.iso", "http://web.test/files/a.iso", "1", 'v'),
                  done(2, "web.test/go", "http://web.test/files/a.iso", "1", 'v'),
                  done(3, "http://web.test/missing.iso", "ftp://web.test/missing.iso", "5", 'w', 1),
                  done(4, "ftp://files.test/pub/b.iso", "ftp://files.test/pub/b.iso", "2", 'v'),
                  done(5, "http://files.test/pub/b.iso", "ftp://files.test/pub/b.iso", "2", 'v'),
                  done(6, "ftp://deny.test/x.iso", "ftp://deny.test/x.iso", "2", 'x')}))
        << r.err;
    EXPECT_EQ(r.err,
              "HTTP error from server: HTTP/1.1 404 Not Found\r"
              "530 Login incorrect.\r\nlogin failed");
}

}  // namespace
