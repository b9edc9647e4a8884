// The stop request, the wake-up pipe and the watchdog. The watchdog is a
// kernel timer armed by the signal's handler itself (a system call, so
// async-signal-safe), so it needs no thread: it works when not even one
// can be started, and whatever the threads are stuck in. Its signal is a
// real-time one (SIGALRM is ignored after the first lookup). The timer is
// asked of the kernel directly: the C library's timer_create brings its
// helper thread's code, 3 KiB a router's flash can do without.
#include "stop.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <thread>

#include "wait.h"

namespace {

// Set by stop_init before any thread or handler reads them, never after.
int wake_fds[2] = {-1, -1};  // never closed: a handler never writes to a reused descriptor
int watchdog = -1;           // the kernel's timer id
// The kernel's itimerspec, whatever width the C library gives time_t.
struct KernelTimerSpec {
    long interval_s, interval_ns, value_s, value_ns;
};
// Read by the handler: lock-free atomics only.
std::atomic<bool> watching{false};
std::atomic<bool> asked{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler needs lock-free flags");

}  // namespace

void stop_init() {
    if (pipe2(wake_fds, O_CLOEXEC | O_NONBLOCK) != 0) wake_fds[0] = wake_fds[1] = -1;
    sigevent ev{};
    ev.sigev_notify = SIGEV_SIGNAL;
    ev.sigev_signo = SIGRTMIN;
    int id = -1;
    if (syscall(SYS_timer_create, CLOCK_MONOTONIC, &ev, &id) == 0) watchdog = id;
    (void)called_off_fd();  // the handler may call the waits off: its pipe must exist
}

void stop_watch_begin() {
    watching = true;
}

void stop_watch_end() {
    watching = false;
}

bool stop_request() noexcept {
    if (!watching || asked.exchange(true)) return false;
    const int saved = errno;
    if (watchdog >= 0) {
        const KernelTimerSpec in{0, 0, std::chrono::seconds(STOP_WRITE_TIME).count(), 0};
        syscall(SYS_timer_settime, watchdog, 0, &in, nullptr);
    }
    call_off_waits_from_handler();
    wake_pass();
    errno = saved;
    return true;
}

bool stop_requested() {
    return asked.load();
}

void wake_pass() {
    if (wake_fds[1] < 0) return;
    const char byte = 0;
    (void)!write(wake_fds[1], &byte, 1);  // a full pipe wakes it as well
}

void wait_for_wake(std::chrono::milliseconds limit) {
    if (wake_fds[0] < 0) {
        std::this_thread::sleep_for(limit);
        return;
    }
    pollfd p{wake_fds[0], POLLIN, 0};
    (void)poll(&p, 1, static_cast<int>(limit.count()));
    char drain[64];
    while (read(wake_fds[0], drain, sizeof drain) > 0) {
    }
}

void stop_reset() {
    watching = false;
    asked = false;
}
