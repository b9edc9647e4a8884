// Waiting on a descriptor with a deadline, the one way every part of the
// detector waits for a peer.
#pragma once

#include <chrono>

using Clock = std::chrono::steady_clock;

/// Waits until `fd` is ready for `events` (POLLIN, POLLOUT), at most
/// `timeout_ms` and never past `deadline` or the thread's time limit. True
/// when it is ready (or in an error state the next call will report), false
/// when the time ran out.
bool wait_fd(int fd, short events, int timeout_ms, Clock::time_point deadline);

/// Sets the calling thread's time limit: no wait of it goes past it (a
/// job's probes all run on one thread). The default is no limit.
void set_thread_time_limit(Clock::time_point limit);
/// The earlier of `deadline` and the calling thread's time limit.
Clock::time_point within_thread_limit(Clock::time_point deadline);

/// Milliseconds from now to `deadline`, 0 when it has passed.
int ms_until(Clock::time_point deadline);
