#include "wait.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <mutex>

namespace {

// A pipe with a byte in it while the waits are called off: one write wakes
// every poll that includes its read end, on any thread.
std::once_flag pipe_made;
int off_pipe[2] = {-1, -1};
std::atomic<bool> called_off{false};

void make_pipe() {
    std::call_once(pipe_made, [] {
        if (pipe2(off_pipe, O_CLOEXEC | O_NONBLOCK) != 0) off_pipe[0] = off_pipe[1] = -1;
    });
}

}  // namespace

Clock::time_point within_limit(const TimeLimit& limit, Clock::time_point deadline) {
    return std::min(deadline, limit.at);
}

bool limit_binds(const TimeLimit& limit, Clock::time_point deadline) {
    return limit.at != Clock::time_point::max() && limit.at <= deadline;
}

int called_off_fd() {
    make_pipe();
    return off_pipe[0];
}

void call_off_waits() {
    make_pipe();
    call_off_waits_from_handler();
}

void call_off_waits_from_handler() noexcept {
    called_off = true;
    const char b = 0;
    if (off_pipe[1] >= 0) (void)!write(off_pipe[1], &b, 1);
}

void resume_waits() {
    make_pipe();
    char b;
    while (off_pipe[0] >= 0 && read(off_pipe[0], &b, 1) == 1) {
    }
    called_off = false;
}

int ms_until(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, 1 << 30));
}

bool wait_fd(int fd, short events, int timeout_ms, Clock::time_point deadline, TimeLimit& limit) {
    const bool limited = limit_binds(limit, deadline);
    deadline = within_limit(limit, deadline);
    for (;;) {
        const int left = ms_until(deadline);
        if (called_off || left == 0) {
            if (called_off || limited) limit.cut = true;
            return false;
        }
        pollfd p[2] = {{fd, events, 0}, {called_off_fd(), POLLIN, 0}};
        const int r = poll(p, 2, std::min(left, timeout_ms));
        if (p[1].revents != 0) {  // called off
            limit.cut = true;
            return false;
        }
        if (r > 0) return true;
        if (r == 0) {
            // A poll given the deadline's time ended at the deadline, even
            // if rounding made it a millisecond early.
            if (limited && left <= timeout_ms) limit.cut = true;
            return false;
        }
        if (errno != EINTR) return true;  // let the next call report it
    }
}
