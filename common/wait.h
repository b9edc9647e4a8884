// Waiting on a descriptor with a deadline, as the probes and the lock wait
// for a peer. The resolver polls c-ares's own descriptors itself, within
// the same thread limit and with called_off_fd among them.
#pragma once

#include <chrono>

using Clock = std::chrono::steady_clock;

/// Waits until `fd` is ready for `events` (POLLIN, POLLOUT), at most
/// `timeout_ms` and never past `deadline` or the thread's time limit. True
/// when it is ready (or in an error state the next call will report), false
/// when the time ran out or the waits were called off.
bool wait_fd(int fd, short events, int timeout_ms, Clock::time_point deadline);

/// Sets the calling thread's time limit: no wait of it goes past it (a
/// job's probes all run on one thread). The default is no limit. Clears
/// the record of a wait cut by it.
void set_thread_time_limit(Clock::time_point limit);
/// Moves the calling thread's time limit (if any) `by` later: for a wait
/// that other jobs caused, not the job's own.
void extend_thread_time_limit(Clock::duration by);
/// The earlier of `deadline` and the calling thread's time limit.
Clock::time_point within_thread_limit(Clock::time_point deadline);
/// True when a wait that ends at `deadline` would end at the thread's time
/// limit rather than before it.
bool thread_limit_binds(Clock::time_point deadline);
/// Records that a wait of this thread was cut by its time limit (or called
/// off): what it waited for did not come because the job's time was up.
void note_thread_limit_cut();
/// True once a wait of this thread has been cut since its limit was set.
/// Decided where the wait is cut, never by reading the clock afterwards.
bool thread_limit_cut();

/// Calls off every wait of every thread: each ends at once, as if its time
/// limit had come, until resume_waits(). For probes whose results are no
/// longer wanted.
void call_off_waits();
/// The same from a signal's handler (async-signal-safe), once
/// called_off_fd() has made its pipe.
void call_off_waits_from_handler() noexcept;
void resume_waits();
/// A descriptor that is readable while the waits are called off, for a
/// wait that polls by itself.
int called_off_fd();

/// Milliseconds from now to `deadline`, 0 when it has passed.
int ms_until(Clock::time_point deadline);
