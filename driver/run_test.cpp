// The built qv2_detect, run as the download manager runs it, inside the
// sandbox.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "area.h"
#include "driver.h"
#include "lock_fifo.h"
#include "net.h"
#include "sandbox.h"
#include "sanitizers.h"
#include "scripted_server.h"
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

// In a child: forbids exec, then tries it. 0 when refused with EPERM while
// other calls still work, 1 when not, 2 where seccomp can't be used here
// (an old kernel, or an emulator that keeps it for itself).
int exec_after_forbidding() {
    const pid_t pid = fork();
    if (pid == 0) {
        if (!forbid_exec()) _exit(2);
        char* const argv[] = {const_cast<char*>("/bin/true"), nullptr};
        execve("/bin/true", argv, environ);
        const bool refused = errno == EPERM && ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0 &&
                             errno == EPERM && getppid() > 0;
        _exit(refused ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

// The running detector has forbidden itself to start other programs.
TEST_F(DetectorRun, CannotStartOtherPrograms) {
    const int tried = exec_after_forbidding();
    if (tried == 2) GTEST_SKIP() << "no seccomp filters here";
    EXPECT_EQ(tried, 0);
    DownloadArea area;
    area.write_queue({waiting(1, "http://a/x")});
    LockHolder lock(area.lock_path(), 0);
    Child c(detector(), {});
    ASSERT_TRUE(wait_until([&] { return process_has_open(c.pid(), area.lock_path()); }, 10));
    const std::string status = read_file("/proc/" + std::to_string(c.pid()) + "/status");
    EXPECT_NE(status.find("NoNewPrivs:\t1\n"), std::string::npos) << status;
    EXPECT_NE(status.find("Seccomp:\t2\n"), std::string::npos) << status;
    c.signal(SIGTERM);
    c.wait(10);
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

// However a run holding the token is stopped (Ctrl-C, Ctrl-\\, a signal
// meant for another process), the token comes back and the queue is whole.
TEST_F(DetectorRun, EveryStopGivesTheTokenBack) {
    DownloadArea area;
    area.write_queue({waiting(1, "http://127.0.0.1/x")});
    const std::string before = read_file(area.queue_file());
    LockHolder lock(area.lock_path(), 1);
    for (int sig : {SIGINT, SIGQUIT, SIGUSR1, SIGRTMIN + 3}) {
        ScriptedServer stalled("127.0.0.1", 80, {{script::stall()}});
        write_file(TEST_MARKER, "");
        Child c(detector(), {});
        ASSERT_TRUE(wait_until([&] { return stalled.connections() > 0; }, 10)) << sig;
        c.signal(sig);
        const ProcResult r = c.wait(10);
        EXPECT_TRUE(r.exited && r.status == 0) << sig;
        EXPECT_EQ(count_tokens(area.lock_path()), 1) << sig;
        EXPECT_TRUE(path_exists(TEST_MARKER)) << sig;
        EXPECT_TRUE(read_file(area.queue_file()) == before) << sig;
    }
    // A stop right as the token is taken: never lost, never doubled.
    area.write_queue({waiting(1, "magnet:?a")});
    for (int i = 0; i < 40; ++i) {
        Child c(detector(), {});
        usleep(static_cast<useconds_t>(i * 150));
        c.signal(SIGTERM);
        c.wait(10);
        ASSERT_EQ(count_tokens(area.lock_path()), 1) << "round " << i;
    }
}

// A stop and a fault signal at once run the handler on two threads: the
// token still goes back exactly once.
TEST_F(DetectorRun, SignalPairsGiveTheTokenBackOnce) {
    // qemu-user itself crashes (SIGSEGV) when fault signals from outside
    // meet a multi-threaded guest's handlers: that says nothing of a router.
    if (std::string(QV2_DETECT_BIN).find("/emulated/") != std::string::npos)
        GTEST_SKIP() << "the emulator's own signal handling would be tested";
    const rlimit no_core{0, 0};
    ASSERT_EQ(setrlimit(RLIMIT_CORE, &no_core), 0);  // a fault must leave no core behind
    DownloadArea area;
    std::vector<QueueRec> jobs;
    for (int i = 1; i <= 4; ++i)
        jobs.push_back(waiting(i, "http://127.0.0." + std::to_string(i) + "/x"));
    area.write_queue(jobs);
    LockHolder lock(area.lock_path(), 1);
    const std::pair<int, int> pairs[] = {{SIGTERM, SIGSEGV}, {SIGINT, SIGABRT}, {SIGSEGV, SIGBUS}};
    for (int round = 0; round < 120; ++round) {
        std::vector<std::unique_ptr<ScriptedServer>> stalled;
        for (int i = 1; i <= 4; ++i)
            stalled.push_back(std::make_unique<ScriptedServer>(
                "127.0.0." + std::to_string(i), 80, std::vector<Script>{{script::stall()}}));
        Child c(detector(), {{"ASAN_OPTIONS", "detect_leaks=0"}});
        ASSERT_TRUE(wait_until([&] { return stalled[3]->connections() > 0; }, 10));
        const auto [first, second] = pairs[round % 3];
        c.signal(first);
        c.signal(second);
        const ProcResult r = c.wait(10);
        ASSERT_EQ(count_tokens(area.lock_path()), 1)
            << "round " << round << ", " << (r.exited ? "exit " : "signal ") << r.status << ": "
            << r.err;
    }
}

// The starter went away: a diagnostic into a closed pipe must not end the
// run with the token taken.
TEST_F(DetectorRun, ClosedStandardErrorPipeIsHarmless) {
    DownloadArea area;
    area.write_queue({waiting(1, "http://nowhere/x"), waiting(2, "magnet:?b")});
    LockHolder lock(area.lock_path(), 1);
    write_file(TEST_MARKER, "");
    const ProcResult r = run_process(
        {"sh", "-c",
         std::string("exec 3>&1; { ") + QV2_DETECT_BIN + " 2>&1 >&3; echo $? >&3; } | true"},
        {}, 30);
    EXPECT_EQ(r.out, "0\n");
    EXPECT_FALSE(path_exists(TEST_MARKER));
    EXPECT_EQ(count_tokens(area.lock_path()), 1);
    EXPECT_EQ(area.queue()[1].type, "3");
}

// Too little memory, whatever the limit: the run says so in words (or
// probes on its own thread), gives the token back and leaves the queue
// whole.
TEST_F(DetectorRun, LittleMemoryIsSaidAndHarmless) {
#ifdef QV2_SANITIZED
    GTEST_SKIP() << "the sanitizers' own memory would be limited";
#endif
    if (std::string(QV2_DETECT_BIN).find("/emulated/") != std::string::npos)
        GTEST_SKIP() << "the emulator's memory would be limited";
    DownloadArea area;
    ScriptedServer web("127.0.0.1", 80,
                       {{script::read_request(), script::send("HTTP/1.0 200 OK\r\n\r\n")}});
    std::vector<QueueRec> jobs;
    for (int i = 1; i <= 8; ++i)
        jobs.push_back(waiting(i, "http://127.0.0.1/" + std::to_string(i)));
    LockHolder lock(area.lock_path(), 1);
    bool said = false;
    for (long kib = 3000; kib <= 6000; kib += 100) {
        area.write_queue(jobs);
        const ProcResult r =
            run_process({"prlimit", "--as=" + std::to_string(kib * 1024), QV2_DETECT_BIN}, {}, 20);
        EXPECT_EQ(count_tokens(area.lock_path()), 1) << kib;
        EXPECT_EQ(r.err.find("uncaught exception"), std::string::npos) << kib << r.err;
        said = said || r.err.find("qv2_detect: ran out of memory\n") != std::string::npos;
        const auto q = area.queue();
        ASSERT_EQ(q.size(), jobs.size()) << kib;
        for (std::size_t i = 0; i < q.size(); ++i)
            EXPECT_EQ(q[i].url, jobs[i].url) << kib;
    }
    EXPECT_TRUE(said);
}

// A USB disk mounted at a long path: the whole 12th line is the base path,
// as long as every path built from it fits.
TEST_F(DetectorRun, LongMountPathsAreTakenWholeOrRefused) {
    TempDir top;
    const std::string mount60 = top.path() + "/" + std::string(60 - top.path().size() - 1, 'm');
    const std::string mount240 = top.path() + "/" + std::string(240 - top.path().size() - 1, 'm');
    for (const std::string& base : {mount60, mount240}) {
        mkdir(base.c_str(), 0755);
        mkdir((base + "/Download2").c_str(), 0755);
        mkdir((base + "/Download2/.logs").c_str(), 0755);
        write_file(base + "/Download2/.logs/qv.jqs", queue_bytes({waiting(1, "magnet:?a")}));
        write_file(TEST_CONF, general_conf(base));
        write_file(TEST_MARKER, "");
        const ProcResult r = run_process(detector(), {}, 20);
        EXPECT_EQ(r.status, 0);
        EXPECT_FALSE(path_exists(TEST_MARKER));
        const bool fits = base.size() <= 231;
        EXPECT_EQ(parse_queue(read_file(base + "/Download2/.logs/qv.jqs"))[0].type, fits ? "3" : "")
            << base.size();
        EXPECT_EQ(r.err, fits ? ""
                              : "qv2_general.conf: the download area path on line 12 is "
                                "longer than 231 characters; the queue is left alone\n");
    }
}

}  // namespace
