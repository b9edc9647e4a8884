#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <thread>

#include "lock_fifo.h"
#include "store.h"
#include "util.h"

namespace {

bool all_zero(const FifoSem& s) {
    const auto* p = reinterpret_cast<const unsigned char*>(&s);
    return std::all_of(p, p + sizeof s, [](unsigned char b) { return b == 0; });
}

FifoSem filled() {
    FifoSem s;
    std::memset(&s, 0x5a, sizeof s);
    return s;
}

// Runs Sem_wait on another thread; true when it returned within `limit`.
bool wait_returns_within(FifoSem* s, double limit, const std::function<void()>& meanwhile = {}) {
    std::atomic<bool> done{false};
    std::thread t([&] {
        Sem_wait(s);
        done = true;
    });
    const bool early = wait_until([&] { return done.load(); }, limit);
    if (meanwhile) meanwhile();
    t.join();
    return early;
}

class FifoSemTest : public ::testing::Test {
  protected:
    TempDir dir;
    std::string path = dir / "sem.jqs";
};

TEST_F(FifoSemTest, OpenWithoutCreateOnNothingFails) {
    FifoSem s = filled();
    errno = 0;
    EXPECT_EQ(Sem_open(&s, path.c_str(), 0), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_TRUE(all_zero(s));
    EXPECT_EQ(Sem_wait(&s), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(Sem_post(&s), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_FALSE(path_exists(path));
}

TEST_F(FifoSemTest, CreateFailuresLeaveTheRecordUntouched) {
    FifoSem first;
    ASSERT_EQ(Sem_open(&first, path.c_str(), O_CREAT, 0600, 1), 0);
    FifoSem s = filled();
    const FifoSem before = s;
    EXPECT_EQ(Sem_open(&s, path.c_str(), O_CREAT | O_EXCL, 0600, 1), -1);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(std::memcmp(&s, &before, sizeof s), 0);

    const std::string nodir = dir / "missing/sem.jqs";
    EXPECT_EQ(Sem_open(&s, nodir.c_str(), O_CREAT, 0600, 1), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(std::memcmp(&s, &before, sizeof s), 0);
    EXPECT_EQ(Sem_open(nullptr, path.c_str(), 0), -1);
    Sem_close(&first);
}

TEST_F(FifoSemTest, CreateOnExistingFifoAddsNoTokens) {
    FifoSem holder, s;
    ASSERT_EQ(Sem_open(&holder, path.c_str(), O_CREAT, 0600, 1), 0);
    ASSERT_EQ(Sem_open(&s, path.c_str(), O_CREAT, 0600, 5), 0);
    EXPECT_EQ(count_tokens(path), 1);
    EXPECT_EQ(s.magic, SEM_MAGIC);
    EXPECT_EQ(Sem_close(&s), 0);
    EXPECT_TRUE(path_exists(path));
    EXPECT_EQ(Sem_close(&holder), 0);
}

TEST_F(FifoSemTest, NewFifoHoldsItsInitialTokens) {
    FifoSem s;
    ASSERT_EQ(Sem_open(&s, path.c_str(), O_CREAT, 0640, 3), 0);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(count_tokens(path), 3);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(Sem_wait(&s), 0);
    EXPECT_FALSE(wait_returns_within(&s, 0.2, [&] { Sem_post(&s); }));
    EXPECT_EQ(count_tokens(path), 0);
    EXPECT_EQ(Sem_close(&s), 0);
}

TEST_F(FifoSemTest, ZeroInitialTokensMakesWaitBlock) {
    FifoSem s;
    ASSERT_EQ(Sem_open(&s, path.c_str(), O_CREAT, 0600, 0), 0);
    EXPECT_EQ(count_tokens(path), 0);
    EXPECT_FALSE(wait_returns_within(&s, 0.2, [&] { post_token(path); }));
    Sem_close(&s);
}

TEST_F(FifoSemTest, CloseTwiceRefusesTheSecond) {
    FifoSem s;
    ASSERT_EQ(Sem_open(&s, path.c_str(), O_CREAT, 0600, 1), 0);
    EXPECT_EQ(Sem_close(&s), 0);
    EXPECT_TRUE(all_zero(s));
    EXPECT_EQ(Sem_close(&s), -1);
    EXPECT_EQ(errno, EINVAL);
}

TEST_F(FifoSemTest, TokensGoWithTheLastHolder) {
    FifoSem s;
    ASSERT_EQ(Sem_open(&s, path.c_str(), O_CREAT, 0600, 1), 0);
    ASSERT_EQ(Sem_close(&s), 0);
    ASSERT_EQ(Sem_open(&s, path.c_str(), 0), 0);
    EXPECT_EQ(count_tokens(path), 0);
    EXPECT_FALSE(wait_returns_within(&s, 0.2, [&] { Sem_post(&s); }));
    Sem_close(&s);
}

TEST_F(FifoSemTest, AnyByteIsOneToken) {
    LockHolder other(path, 0);
    const int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK);
    ASSERT_EQ(write(fd, "\0\xff\n", 3), 3);
    close(fd);
    FifoSem s;
    ASSERT_EQ(Sem_open(&s, path.c_str(), 0), 0);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(Sem_wait(&s), 0);
    EXPECT_EQ(count_tokens(path), 0);
    Sem_close(&s);
}

TEST_F(FifoSemTest, PostAtCapacityFailsAtOnce) {
    FifoSem s;
    ASSERT_EQ(Sem_open(&s, path.c_str(), O_CREAT, 0600, 0), 0);
    int posted = 0;
    while (Sem_post(&s) == 0)
        ++posted;
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_GT(posted, 0);
    EXPECT_EQ(count_tokens(path), posted);
    EXPECT_EQ(Sem_post(&s), -1);
    EXPECT_EQ(count_tokens(path), posted);
    Sem_close(&s);
}

TEST_F(FifoSemTest, InitialTokensBeyondCapacityUndoTheCreate) {
    FifoSem s = filled();
    EXPECT_EQ(Sem_open(&s, path.c_str(), O_CREAT, 0600, 1u << 20), -1);
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_TRUE(all_zero(s));
    EXPECT_FALSE(path_exists(path));
}

TEST_F(FifoSemTest, SomethingOtherThanAFifoIsNotALock) {
    write_file(path, "queue data");
    FifoSem s = filled();
    EXPECT_EQ(Sem_open(&s, path.c_str(), O_CREAT, 0600, 1), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_TRUE(all_zero(s));
    EXPECT_EQ(read_file(path), "queue data");
}

}  // namespace
