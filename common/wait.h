// Waiting on a descriptor with a deadline, as the probes and the lock wait
// for a peer. The resolver polls c-ares's own descriptors itself, within
// the same limit and with called_off_fd among them.
#pragma once

#include <chrono>

using Clock = std::chrono::steady_clock;

/// A job's time limit: no wait of its probes goes past `at` (the default
/// is no limit). `cut` is set where a wait is cut by the limit, or called
/// off: what it waited for did not come because the job's time was up.
/// Decided where the wait is cut, never by reading the clock afterwards.
struct TimeLimit {
    Clock::time_point at = Clock::time_point::max();
    bool cut = false;
};

/// Waits until `fd` is ready for `events` (POLLIN, POLLOUT), at most
/// `timeout_ms` and never past `deadline` or `limit`. True when it is
/// ready (or in an error state the next call will report), false when the
/// time ran out or the waits were called off (`limit.cut` then says
/// whether the limit, not the deadline, cut it).
bool wait_fd(int fd, short events, int timeout_ms, Clock::time_point deadline, TimeLimit& limit);

/// The earlier of `deadline` and the limit.
Clock::time_point within_limit(const TimeLimit& limit, Clock::time_point deadline);
/// True when a wait that ends at `deadline` would end at the limit rather
/// than before it.
bool limit_binds(const TimeLimit& limit, Clock::time_point deadline);

/// Calls off every wait of every thread: each ends at once, as if its time
/// limit had come, until resume_waits(). For probes whose results are no
/// longer wanted.
void call_off_waits();
void resume_waits();
/// The same from a signal's handler (async-signal-safe), once
/// called_off_fd() has made its pipe.
void call_off_waits_from_handler() noexcept;
/// A descriptor that is readable while the waits are called off, for a
/// wait that polls by itself.
int called_off_fd();

/// Milliseconds from now to `deadline`, 0 when it has passed.
int ms_until(Clock::time_point deadline);
