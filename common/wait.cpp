#include "wait.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>

namespace {

thread_local Clock::time_point thread_limit = Clock::time_point::max();

}  // namespace

void set_thread_time_limit(Clock::time_point limit) {
    thread_limit = limit;
}

Clock::time_point within_thread_limit(Clock::time_point deadline) {
    return std::min(deadline, thread_limit);
}

int ms_until(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, 1 << 30));
}

bool wait_fd(int fd, short events, int timeout_ms, Clock::time_point deadline) {
    deadline = within_thread_limit(deadline);
    for (;;) {
        const int left = ms_until(deadline);
        if (left == 0) return false;
        pollfd p{fd, events, 0};
        const int r = poll(&p, 1, std::min(left, timeout_ms));
        if (r > 0) return true;
        if (r == 0) return false;
        if (errno != EINTR) return true;  // let the next call report it
    }
}
