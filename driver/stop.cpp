// The stop request and its watchdog. The watchdog is a timer armed by the
// signal's handler itself (timer_settime is async-signal-safe), so it needs
// no thread: it works when not even one can be started, and whatever the
// threads are stuck in. Its signal is a real-time one (SIGALRM is ignored
// after the first lookup).
#include "stop.h"

#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>

#include "wait.h"

namespace {

std::atomic<int> wake{-1};  // written on a request; -1 while nothing watches
std::atomic<bool> watching{false};
std::atomic<bool> asked{false};
timer_t watchdog;
std::atomic<bool> have_watchdog{false};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free,
              "the signal handler needs lock-free flags");

}  // namespace

void stop_watch_begin(int wake_fd) {
    static std::once_flag made;
    std::call_once(made, [] {
        sigevent ev{};
        ev.sigev_notify = SIGEV_SIGNAL;
        ev.sigev_signo = SIGRTMIN;
        have_watchdog = timer_create(CLOCK_MONOTONIC, &ev, &watchdog) == 0;
    });
    (void)called_off_fd();  // the handler may call the waits off: its pipe must exist
    wake = wake_fd;
    watching = true;
}

void stop_watch_end() {
    watching = false;
    wake = -1;
}

bool stop_request() noexcept {
    if (!watching || asked.exchange(true)) return false;
    const int saved = errno;
    if (have_watchdog) {
        itimerspec in{};
        in.it_value.tv_sec = std::chrono::seconds(STOP_WRITE_TIME).count();
        timer_settime(watchdog, 0, &in, nullptr);
    }
    call_off_waits_from_handler();
    const int fd = wake;
    if (fd >= 0) {
        const char byte = 0;
        (void)!write(fd, &byte, 1);
    }
    errno = saved;
    return true;
}

bool stop_requested() {
    return asked.load();
}
