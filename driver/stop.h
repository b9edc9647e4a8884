// Stopping a run while its jobs are probed: what a stop signal asks for,
// and the watchdog that ends the run if that takes too long. One owner for
// both ways of probing (worker threads, or one job at a time).
#pragma once

#include <chrono>

/// A stop leaves the run this long to write what settled and give the
/// token back before the watchdog ends it.
inline constexpr auto STOP_WRITE_TIME = std::chrono::seconds(1);

/// From now until stop_watch_end(), a stop signal asks the run to stop
/// instead of ending it at once: the waits of the probes are called off,
/// `wake_fd` (if not -1) gets a byte, and the watchdog is armed. The
/// watchdog's signal is a stop signal, so it gives the token back and ends
/// the run; like every stop signal it waits for a write over the queue's
/// own records, never cutting one.
void stop_watch_begin(int wake_fd);
/// A stop signal ends the run at once again (the watchdog stays armed).
void stop_watch_end();

/// For a stop signal's handler (async-signal-safe): true when the run was
/// asked to stop now; false when nothing watches, or it was asked already
/// (the handler then ends the run at once).
bool stop_request() noexcept;
/// True once the run was asked to stop.
bool stop_requested();
