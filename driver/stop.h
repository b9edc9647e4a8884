// Stopping a run while its jobs are probed, owned in one place: the stop
// request a signal makes, the pass's wake-up pipe it writes, and the
// watchdog that ends the run if the stop takes too long. The concurrent
// pass and the one-at-a-time fallback both ask it.
#pragma once

#include <chrono>

/// A stop leaves the run this long to write what settled and give the
/// token back before the watchdog ends it.
inline constexpr auto STOP_WRITE_TIME = std::chrono::seconds(1);

/// Makes the wake-up pipe and the watchdog: once, at the start of a run,
/// before a signal could need them. Without it a pass still works, but its
/// waits for a wake-up run their whole time, and no watchdog guards a stop.
void stop_init();

/// From now until stop_watch_end(), a stop signal asks the run to stop
/// instead of ending it at once: the waits of the probes are called off,
/// the pass is woken, and the watchdog is armed. The watchdog's signal is a
/// stop signal, so it gives the token back and ends the run; like every
/// stop signal it waits for a write over the queue's own records, never
/// cutting one.
void stop_watch_begin();
/// A stop signal ends the run at once again (the watchdog stays armed).
void stop_watch_end();

/// For a stop signal's handler (async-signal-safe): true when the run was
/// asked to stop now; false when nothing watches, or it was asked already
/// (the handler then ends the run at once).
bool stop_request() noexcept;
/// True once the run was asked to stop.
bool stop_requested();

/// Wakes the pass's thread: a worker has news for it (a stop does too).
void wake_pass();
/// The pass's thread waits up to `limit` for a wake-up, and takes every
/// one that came.
void wait_for_wake(std::chrono::milliseconds limit);

/// Forgets a stop request (for tests).
void stop_reset();
