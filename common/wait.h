// Waiting on a descriptor with a deadline, the one way every part of the
// detector waits for a peer.
#pragma once

#include <chrono>

using Clock = std::chrono::steady_clock;

/// Waits until `fd` is ready for `events` (POLLIN, POLLOUT), at most
/// `timeout_ms` and never past `deadline`. True when it is ready (or in an
/// error state the next call will report), false when the time ran out.
bool wait_fd(int fd, short events, int timeout_ms, Clock::time_point deadline);

/// Milliseconds from now to `deadline`, 0 when it has passed.
int ms_until(Clock::time_point deadline);
