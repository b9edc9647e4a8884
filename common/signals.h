// The process's signal policy: which signals stop a run, which report a
// fault, holding the stop signals off, and what becomes of SIGALRM. The
// driver installs the handlers by it, the queue lock and the writes over
// the queue's records hold by it.
#pragma once

#include <signal.h>

/// Every signal that ends a run: each is caught, so that no way of stopping
/// a run takes the queue-lock token with it.
sigset_t stop_signals();
/// True for the stop signals that report a fault of the process itself
/// (SIGSEGV, SIGBUS, SIGABRT and the like) rather than a request to stop.
bool is_fault_signal(int sig);

/// Holds the stop signals off for its lifetime; one that arrives meanwhile
/// takes effect when the hold ends.
class StopSignalHold {
  public:
    StopSignalHold();
    ~StopSignalHold();
    StopSignalHold(const StopSignalHold&) = delete;
    StopSignalHold& operator=(const StopSignalHold&) = delete;

  private:
    sigset_t saved_;
};

/// A name lookup has run: from now on SIGALRM is ignored, as it has always
/// been after the first lookup (the starter may rely on it).
void signals_lookup_done();
/// Forgets that a lookup ran (for tests).
void signals_reset();
