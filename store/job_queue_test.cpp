#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <random>

#include "lock_fifo.h"
#include "queue_file.h"
#include "sandbox.h"
#include "store.h"
#include "util.h"
#include "job_queue.h"
#include "queue_write.h"
#include "record.h"
#include "queue_lock.h"

namespace {

class JobQueueTest : public ::testing::Test {
  protected:
    void SetUp() override {
        jqs_reset();
        field_set(jqs_file, queue);
        field_set(jqs_dir, lock);
        head = std::make_unique<LogNote>();
    }
    void TearDown() override { jqs_reset(); }

    std::vector<std::int32_t> ids() const {
        std::vector<std::int32_t> out;
        for (const LogNote* n = head->next.get(); n != nullptr; n = n->next.get())
            out.push_back(n->id);
        return out;
    }

    TempDir dir;
    std::string queue = dir / "qv.jqs";
    std::string lock = dir / "sem.jqs";
};

TEST_F(JobQueueTest, RecordFieldsSitAtTheirOffsets) {
    QueueRec r{-7, "http://h/x", "ftp://h/x", "2", 'v', 3, 0xdeadbeef};
    const std::string bytes = queue_record(r);
    unsigned char rec[LOGNOTE_SIZE];
    std::memcpy(rec, bytes.data(), LOGNOTE_SIZE);
    LogNote n;
    lognote_decode(rec, n);
    EXPECT_EQ(n.id, -7);
    EXPECT_EQ(field_text(n.url), "http://h/x");
    EXPECT_EQ(field_text(n.resolved_url), "ftp://h/x");
    EXPECT_EQ(field_text(n.type), "2");
    EXPECT_EQ(n.status, 'v');
    EXPECT_EQ(n.retries, 3);

    unsigned char out[LOGNOTE_SIZE];
    lognote_encode(n, out);
    r.link = 0;  // written as zero, whatever was read
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), LOGNOTE_SIZE), queue_record(r));
}

TEST_F(JobQueueTest, InsertKeepsTheQueueOrderRule) {
    struct Case {
        std::vector<std::int32_t> in, out;
    };
    const Case cases[] = {
        {{1, 2, 3}, {1, 2, 3}},         {{3, 1, 2}, {1, 2, 3}}, {{1, 1, 2}, {1, 1, 2}},
        {{5, 7, 5}, {5, 7, 5}},          // a repeated id goes after greater ids
        {{2, 0, 1, -1}, {1, 2, 0, -1}},  // ids of 0 and below go to the end
        {{1, 9, 5, 7}, {1, 5, 7, 9}},
    };
    for (const auto& c : cases) {
        head = std::make_unique<LogNote>();
        for (auto id : c.in)
            insertnote(createnote(id, "u", "", "", 'w', 0), head.get());
        EXPECT_EQ(ids(), c.out) << ::testing::PrintToString(c.in);
    }
}

TEST_F(JobQueueTest, LoadOrdersTheFileAndRewriteWritesItBack) {
    write_file(queue, queue_bytes({waiting(3, "c"), waiting(1, "a"), waiting(2, "b")}));
    EXPECT_EQ(initlognote(head.get()), 0);
    EXPECT_EQ(ids(), (std::vector<std::int32_t>{1, 2, 3}));
    EXPECT_EQ(refresh_jqs(), 0);
    EXPECT_EQ(parse_queue(read_file(queue)),
              (std::vector<QueueRec>{waiting(1, "a"), waiting(2, "b"), waiting(3, "c")}));
}

TEST_F(JobQueueTest, PartialLastRecordIsReadWithZeros) {
    const std::string bytes = queue_bytes({waiting(1, "a"), waiting(2, "b"), waiting(3, "c")});
    write_file(queue, bytes.substr(0, REC_SIZE * 2 + REC_SIZE / 2));
    initlognote(head.get());
    ASSERT_EQ(ids(), (std::vector<std::int32_t>{1, 2, 3}));
    const LogNote* third = head->next->next->next.get();
    EXPECT_EQ(field_text(third->url), "c");
    EXPECT_EQ(third->status, 0);  // beyond the half record
    EXPECT_EQ(third->retries, 0);
}

TEST_F(JobQueueTest, EmptyFileGivesSentinelOnlyAndRewriteTruncates) {
    write_file(queue, "");
    EXPECT_EQ(initlognote(head.get()), 0);
    EXPECT_EQ(head->next, nullptr);
    write_file(queue, queue_bytes({waiting(1, "a")}));
    EXPECT_EQ(refresh_jqs(), 0);
    EXPECT_EQ(read_file(queue), "");
}

TEST_F(JobQueueTest, MissingFileLoadsNothing) {
    EXPECT_EQ(initlognote(head.get()), -1);
    EXPECT_EQ(head->next, nullptr);
}

TEST_F(JobQueueTest, RewriteWritesTheListWhateverTheFileHolds) {
    const std::string bytes = queue_bytes({waiting(1, "a"), waiting(2, "b")});
    write_file(queue, bytes);
    initlognote(head.get());
    write_file(queue, "stale");
    EXPECT_EQ(refresh_jqs(), 0);
    EXPECT_EQ(read_file(queue), bytes);
}

TEST_F(JobQueueTest, RecordsWithoutUrlAreDroppedByTheRewrite) {
    write_file(queue, queue_bytes({waiting(1, "a"), waiting(2, ""), waiting(3, "c")}));
    initlognote(head.get());
    EXPECT_EQ(ids(), (std::vector<std::int32_t>{1, 3}));  // not even kept in memory
    refresh_jqs();
    EXPECT_EQ(parse_queue(read_file(queue)),
              (std::vector<QueueRec>{waiting(1, "a"), waiting(3, "c")}));
}

TEST_F(JobQueueTest, UnchangedRecordsKeepEveryByte) {
    // Junk after the NULs, a url filling its whole field, odd status values:
    // the rewrite must give back exactly what it read (link field aside).
    std::string a = queue_record({1, "http://a", "r", "3", 'v', 0, 77});
    for (std::size_t i = 4 + 9; i < 516; ++i)
        a[i] = static_cast<char>(i);
    a[1028 + 5] = 'z';
    std::string b = queue_record({2, std::string(512, 'u'), std::string(512, 'r'), "", 'q', -4});
    write_file(queue, a + b);
    initlognote(head.get());
    ASSERT_EQ(field_text(head->next->next->url).size(), 512u);
    refresh_jqs();
    a.replace(1048, 4, std::string(4, '\0'));
    EXPECT_EQ(read_file(queue), a + b);
}

// A changed record goes over its own place only while the file holds the
// list's records in list order, and only where the place still holds its
// job (another writer that ignores the lock may have moved it); every other
// byte stays as it was.
TEST_F(JobQueueTest, InPlaceUpdateOnlyOverTheListsOwnLayout) {
    struct Case {
        const char* name;
        std::vector<QueueRec> file;
        int result;
        std::vector<QueueRec> then = {};  // the file another writer leaves after the load
    };
    const std::vector<QueueRec> three = {waiting(1, "a"), waiting(2, "b"), waiting(3, "c")};
    const Case cases[] = {
        {"in list order", three, 0},
        {"ids out of order", {waiting(2, "b"), waiting(1, "a"), waiting(3, "c")}, 1},
        {"a record without url", {waiting(1, "a"), waiting(2, ""), waiting(3, "c")}, 1},
        {"record 1 removed since", three, 1, {waiting(2, "b"), waiting(3, "c")}},
        {"another file renamed over it",
         three,
         1,
         {waiting(1, "a"), waiting(2, "b"), waiting(4, "c")}},
    };
    for (const auto& c : cases) {
        jqs_reset();
        head = std::make_unique<LogNote>();
        write_file(queue, queue_bytes(c.file));
        ASSERT_EQ(jqs_load(head.get()), 0) << c.name;
        const std::string before = queue_bytes(c.then.empty() ? c.file : c.then);
        write_file(queue, before);
        LogNote* node = head->next.get();
        while (node->id != 3)
            node = node->next.get();
        lognote_set(*node, "ftp://c", "5", 'w', 1);
        EXPECT_EQ(jqs_update_in_place({node}), c.result) << c.name;
        std::string expected = before;
        if (c.result == 0)
            expected.replace(2 * REC_SIZE, REC_SIZE,
                             queue_record({3, "c", "ftp://c", "5", 'w', 1}));
        EXPECT_TRUE(read_file(queue) == expected) << c.name;
        // Once rewritten whole, the file is the list's.
        if (c.result == 1) {
            ASSERT_EQ(refresh_jqs(LockMode::HELD), 0);
            lognote_set(*node, "ftp://d", "5", 'w', 2);
            EXPECT_EQ(jqs_update_in_place({node}), 0) << c.name;
            EXPECT_EQ(parse_queue(read_file(queue)).back().resolved_url, "ftp://d") << c.name;
        }
    }
}

TEST_F(JobQueueTest, RewriteKeepsPermissionsAndLeavesNoTemporaryFile) {
    write_file(queue, queue_bytes({waiting(1, "a")}));
    ASSERT_EQ(chmod(queue.c_str(), 0640), 0);
    initlognote(head.get());
    refresh_jqs();
    struct stat st;
    ASSERT_EQ(stat(queue.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);

    unlink(queue.c_str());
    const mode_t old = umask(0);
    refresh_jqs();
    umask(old);
    ASSERT_EQ(stat(queue.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0666u);

    int entries = 0;
    DIR* d = opendir(dir.path().c_str());
    while (dirent* e = readdir(d))
        entries += e->d_name[0] != '.';
    closedir(d);
    EXPECT_EQ(entries, 1);
}

TEST_F(JobQueueTest, RewriteIntoMissingFolderKeepsTheListInMemory) {
    field_set(jqs_file, dir / "gone/qv.jqs");
    EXPECT_EQ(refresh_jqs(), -1);
    EXPECT_FALSE(path_exists(dir / "gone"));
}

TEST_F(JobQueueTest, LoadAndRewriteTakeAndGiveBackTheLock) {
    LockHolder holder(lock, 1);
    write_file(queue, queue_bytes({waiting(1, "a")}));
    EXPECT_EQ(initlognote(head.get()), 0);
    EXPECT_EQ(jqs_sem_use, 1);
    EXPECT_EQ(count_tokens(lock), 1);
    EXPECT_EQ(refresh_jqs(), 0);
    EXPECT_EQ(count_tokens(lock), 1);

    // Inside a hold the rewrite must not wait again (one token: it would
    // never return).
    QueueLock held(lock.c_str());
    EXPECT_EQ(count_tokens(lock), 0);
    lognote_set(*head->next, "http://a", "1", 'v', 0);
    EXPECT_EQ(refresh_jqs(LockMode::HELD), 0);
    EXPECT_EQ(count_tokens(lock), 0);
    EXPECT_EQ(held.release(), 0);
    EXPECT_EQ(count_tokens(lock), 1);
}

TEST_F(JobQueueTest, SignalReleaseGivesTheTokenBackOnce) {
    LockHolder holder(lock, 1);
    QueueLock held(lock.c_str());
    EXPECT_EQ(count_tokens(lock), 0);
    jqs_release_on_signal();
    jqs_release_on_signal();
    EXPECT_EQ(count_tokens(lock), 1);
    held.release();
    EXPECT_EQ(count_tokens(lock), 1);
}

TEST_F(JobQueueTest, WithoutLockFifoWorkGoesOnUnlocked) {
    write_file(queue, queue_bytes({waiting(1, "a")}));
    EXPECT_EQ(initlognote(head.get()), 0);
    EXPECT_EQ(jqs_sem_use, 0);
    EXPECT_EQ(refresh_jqs(), 0);
}

// SIGKILL at random moments of rewrites: the file must always be the old or
// the new content, whole.
TEST_F(JobQueueTest, KilledRewriteLeavesOldOrNewFile) {
    std::vector<QueueRec> old_recs;
    for (int i = 1; i <= 300; ++i)
        old_recs.push_back(waiting(i, "http://h/" + std::to_string(i)));
    const std::string old_bytes = queue_bytes(old_recs);
    for (auto& r : old_recs)
        r = QueueRec{r.id, r.url, r.url + "/new", "1", 'v', 0};
    const std::string new_bytes = queue_bytes(old_recs);

    std::mt19937 rng(12345);
    std::uniform_int_distribution<int> delay_us(0, 4000);
    int saw_old = 0;
    for (int round = 0; round < 300; ++round) {
        write_file(queue, old_bytes);
        const pid_t pid = fork();
        if (pid == 0) {
            head = std::make_unique<LogNote>();
            initlognote(head.get());
            for (LogNote* n = head->next.get(); n != nullptr; n = n->next.get()) {
                lognote_set(*n, std::string(field_text(n->url)) + "/new", "1", 'v', 0);
                refresh_jqs();
            }
            _exit(0);
        }
        usleep(static_cast<useconds_t>(delay_us(rng)));
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        const std::string now = read_file(queue);
        ASSERT_EQ(now.size() % REC_SIZE, 0u) << "round " << round;
        ASSERT_EQ(now.size(), old_bytes.size()) << "round " << round;
        // Each update rewrites the whole file, so any prefix of records may
        // carry the new values; what must never happen is a cut file or a
        // torn record.
        const auto recs = parse_queue(now);
        bool all_old = true;
        for (std::size_t i = 0; i < recs.size(); ++i) {
            const QueueRec o = parse_queue(old_bytes.substr(i * REC_SIZE, REC_SIZE))[0];
            const QueueRec n = parse_queue(new_bytes.substr(i * REC_SIZE, REC_SIZE))[0];
            ASSERT_TRUE(recs[i] == o || recs[i] == n) << "round " << round << " record " << i;
            all_old = all_old && recs[i] == o;
        }
        saw_old += all_old;
        remove_tree(queue);
        DIR* d = opendir(dir.path().c_str());
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') unlink((dir / e->d_name).c_str());
        closedir(d);
    }
    EXPECT_GT(saw_old, 0);
}

// With no room for a copy, and the records moved by another writer since
// the load, nothing is written over them.
TEST_F(JobQueueTest, NoRoomAndMovedRecordsWriteNothing) {
    REQUIRE_SANDBOX();
    ASSERT_EQ(mount("tmpfs", dir.path().c_str(), "tmpfs", 0, "size=16k"), 0);
    write_file(queue, queue_bytes({waiting(1, "a"), waiting(2, ""), waiting(3, "c")}));
    ASSERT_EQ(jqs_load(head.get()), 0);
    const std::string moved = queue_bytes({waiting(3, "c"), waiting(1, "a")});
    write_file(queue, moved);
    fill_up(dir / "fill");
    LogNote* third = head->next->next.get();
    lognote_set(*third, "ftp://c", "5", 'w', 1);
    const std::string err = capture_stderr([&] { refresh_jqs(LockMode::HELD, {third}); });
    EXPECT_EQ(err, queue +
                       ": another process moved the queue's records, and there is no room to "
                       "write it anew; the results are not written\n");
    EXPECT_TRUE(read_file(queue) == moved);
    umount2(dir.path().c_str(), MNT_DETACH);
}

}  // namespace

TEST_F(JobQueueTest, ReadErrorMidFileLeavesTheQueueAlone) {
    // A failing disk: two and a half records, then EIO.
    const std::string bytes = queue_bytes({waiting(1, "a"), waiting(2, "b"), waiting(3, "c")});
    std::size_t at = 0;
    const ByteSource failing = [&](void* buf, std::size_t n) -> ssize_t {
        const std::size_t left = REC_SIZE * 5 / 2 - at;
        if (left == 0) {
            errno = EIO;
            return -1;
        }
        n = std::min(n, left);
        std::memcpy(buf, bytes.data() + at, n);
        at += n;
        return static_cast<ssize_t>(n);
    };
    write_file(queue, bytes);
    int loaded = 0;
    const std::string err =
        capture_stderr([&] { loaded = jqs_load_from(failing, "qv.jqs", head.get()); });
    EXPECT_EQ(loaded, -2);
    EXPECT_EQ(err, "qv.jqs: read error: Input/output error; the queue is left unchanged\n");
    EXPECT_EQ(refresh_jqs(), -1);  // an incomplete list is never written back
    EXPECT_EQ(read_file(queue), bytes);
}

// The bulk load gives exactly the order of inserting one by one, whatever
// the ids: compared on random files of repeated, negative and zero ids.
TEST_F(JobQueueTest, LoadOrderEqualsInsertingOneByOne) {
    std::mt19937 rng(2026);
    for (int round = 0; round < 400; ++round) {
        std::uniform_int_distribution<int> len(1, 40), span(1, 1 + round % 30);
        std::vector<QueueRec> recs;
        const int n = len(rng);
        for (int i = 0; i < n; ++i)
            recs.push_back(waiting(span(rng) - 5, "u" + std::to_string(i)));
        write_file(queue, queue_bytes(recs));
        head = std::make_unique<LogNote>();
        ASSERT_EQ(jqs_load(head.get()), 0);
        std::vector<std::string> loaded;
        for (const LogNote* x = head->next.get(); x != nullptr; x = x->next.get())
            loaded.emplace_back(field_text(x->url));
        head = std::make_unique<LogNote>();
        for (const auto& r : recs)
            insertnote(createnote(r.id, r.url, "", "", 'w', 0), head.get());
        std::vector<std::string> one_by_one;
        for (const LogNote* x = head->next.get(); x != nullptr; x = x->next.get())
            one_by_one.emplace_back(field_text(x->url));
        ASSERT_EQ(loaded, one_by_one) << "round " << round;
    }
}

// Hostile files load in about the time of an ordinary queue of their size,
// and in memory proportional to the jobs kept: relative bounds, so that
// slow builds (sanitizers, emulators) measure the same thing.
TEST_F(JobQueueTest, HostileFilesLoadFastInLittleMemory) {
    std::vector<QueueRec> ascending, same_id;
    for (int i = 0; i < 40000; ++i) {
        ascending.push_back(waiting(i + 1, "u" + std::to_string(i)));
        same_id.push_back(waiting(7, "u" + std::to_string(i)));
    }
    struct Load {
        double seconds;
        long peak_kib;
        std::size_t jobs;
    };
    auto load = [&](const std::string& bytes) {
        write_file(queue, bytes);
        head = std::make_unique<LogNote>();
        reset_peak_rss();
        const long before = rss_kib();
        const double t0 = now_seconds();
        EXPECT_EQ(jqs_load(head.get()), 0);
        Load l{now_seconds() - t0, peak_rss_kib() - before, 0};
        for (const LogNote* x = head->next.get(); x != nullptr; x = x->next.get())
            ++l.jobs;
        freelognote();  // iterative: a long list must not recurse
        return l;
    };
    const Load ordinary = load(queue_bytes(ascending));
    const Load one_id = load(queue_bytes(same_id));
    const Load zeros = load(std::string(std::size_t{100} << 20, '\0'));
    EXPECT_EQ(one_id.jobs, 40000u);
    // Loose enough for a busy machine; an insertion that walks the list for
    // each of the 40000 nodes takes seconds.
    EXPECT_LT(one_id.seconds, 5 * ordinary.seconds + 0.3);
    EXPECT_LT(one_id.peak_kib, 2 * ordinary.peak_kib + 1024);
    EXPECT_EQ(zeros.jobs, 0u);
    EXPECT_LT(zeros.seconds, 5 * ordinary.seconds + 0.3);
    EXPECT_LT(zeros.peak_kib, 4096);
}
