#include "signals.h"

#include <pthread.h>

#include <atomic>
#include <initializer_list>

namespace {

std::atomic<bool> alarm_ignored{false};

}  // namespace

sigset_t stop_signals() {
    // Every signal whose default action ends the process, but SIGHUP (which
    // a run ignores), SIGPIPE and SIGXFSZ (which turn into failed writes),
    // and SIGKILL and SIGSTOP, which nothing can catch.
    sigset_t s;
    sigemptyset(&s);
    for (int sig : {SIGINT, SIGQUIT, SIGILL, SIGTRAP, SIGABRT, SIGBUS, SIGFPE, SIGUSR1, SIGSEGV,
                    SIGUSR2, SIGALRM, SIGTERM, SIGXCPU, SIGVTALRM, SIGPROF, SIGIO, SIGPWR, SIGSYS})
        sigaddset(&s, sig);
#ifdef SIGSTKFLT  // not on every machine (MIPS has none)
    sigaddset(&s, SIGSTKFLT);
#endif
    for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig)
        sigaddset(&s, sig);
    return s;
}

bool is_fault_signal(int sig) {
    return sig == SIGSEGV || sig == SIGBUS || sig == SIGILL || sig == SIGFPE || sig == SIGABRT ||
           sig == SIGTRAP || sig == SIGSYS;
}

StopSignalHold::StopSignalHold() {
    const sigset_t stop = stop_signals();
    pthread_sigmask(SIG_BLOCK, &stop, &saved_);
}

StopSignalHold::~StopSignalHold() {
    pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
}

void signals_lookup_done() {
    if (!alarm_ignored.exchange(true)) signal(SIGALRM, SIG_IGN);
}

void signals_reset() {
    alarm_ignored = false;
}
