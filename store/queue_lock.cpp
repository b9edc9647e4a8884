// The queue lock: one token of the FIFO semaphore that the download
// manager's processes share, held while the queue file is read or
// rewritten, and never taken away by a signal that ends the process.
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "signals.h"
#include "store.h"
#include "queue_lock.h"

FifoSem jqs_sem;
int jqs_sem_use;

namespace {

// Whether this process holds a token of jqs_sem, read by the signal
// handler: NOT_HELD, HELD, or GIVING_BACK while one thread posts it.
// Handlers on two threads (a stop and a fault signal at once) may both find
// it held: the one that claims it posts, and the other waits for that post
// before its process may end, so the token goes back once and for sure.
enum : int { NOT_HELD = 0, HELD = 1, GIVING_BACK = 2 };
std::atomic<int> token_held{NOT_HELD};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs a lock-free flag");

// True when this caller claimed the token and must post it; otherwise it
// has been given back (or is, by another thread: waited for, briefly).
bool claim_token() noexcept {
    int held = HELD;
    if (token_held.compare_exchange_strong(held, GIVING_BACK)) return true;
    // A post is one write: a tenth of a second is ample, and a bound keeps
    // a fault in the middle of one from hanging the process. Timed by the
    // clock, as a sleep may be cut short.
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        if (token_held.load() != GIVING_BACK) return false;
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        const long long waited_ns =
            (now.tv_sec - start.tv_sec) * 1000000000LL + (now.tv_nsec - start.tv_nsec);
        if (waited_ns > 100000000LL) return false;
        const timespec ms{0, 1000000L};
        nanosleep(&ms, nullptr);
    }
}

}  // namespace

QueueLock::QueueLock(const char* fifo) {
    jqs_sem_use = 1;
    if (Sem_open(&jqs_sem, fifo, 0) != 0) {
        jqs_sem_use = 0;
        return;
    }
    open_ = true;
    // A wait that fails leaves the run without the token: it goes on
    // unlocked rather than not at all.
    Sem_wait_marked(&jqs_sem, token_held, stop_signals());
}

QueueLock::~QueueLock() {
    release();
}

bool QueueLock::locked() const {
    return open_ && token_held != 0;
}

int QueueLock::release() {
    if (!open_) return 0;
    open_ = false;
    {
        // The post and the mark change as one step, so a signal can't give
        // the token back twice or not at all.
        StopSignalHold hold;
        if (claim_token()) {
            Sem_post(&jqs_sem);
            token_held = NOT_HELD;
        }
    }
    return Sem_close(&jqs_sem);
}

void jqs_release_on_signal() noexcept {
    if (claim_token()) {
        const int saved = errno;
        const char token = 0;
        if (jqs_sem.magic == SEM_MAGIC) (void)!write(jqs_sem.write_fd, &token, 1);
        token_held = NOT_HELD;
        errno = saved;
    }
}

void jqs_lock_reset() {
    if (jqs_sem.magic == SEM_MAGIC) Sem_close(&jqs_sem);
    std::memset(&jqs_sem, 0, sizeof jqs_sem);
    jqs_sem_use = 0;
    token_held = NOT_HELD;
}
