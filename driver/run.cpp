// The detector's run: set the process up, load the queue, run the pass,
// remove the marker, exit 0.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "driver.h"
#include "stop.h"
#include "signals.h"
#include "store.h"

namespace {

// A starter that closed stdout or stderr would otherwise have the queue file
// or a socket land on 1 or 2, and diagnostics written into it.
void keep_standard_fds_open() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) == -1) {
            const int null = open("/dev/null", O_RDWR);
            if (null >= 0 && null != fd) {
                dup2(null, fd);
                close(null);
            }
        }
    }
}

// The dispositions the stop handler replaced, for the signals that report
// a fault of the process itself: after the token is back, the fault takes
// its course (a core, a sanitizer's report) instead of passing as a stop.
struct sigaction fault_actions[NSIG];

void install_signals() {
    signal(SIGHUP, SIG_IGN);
    // A write to a closed stderr or past a file size limit fails instead of
    // ending the run with the token taken.
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);
    const sigset_t stop = stop_signals();
    struct sigaction sa {};
    sa.sa_sigaction = handle_stop_signal;
    sa.sa_flags = SA_SIGINFO;
    sa.sa_mask = stop;  // one handler at a time
    for (int sig = 1; sig < NSIG; ++sig) {
        if (sigismember(&stop, sig) == 1)
            sigaction(sig, &sa, is_fault_signal(sig) ? &fault_actions[sig] : nullptr);
    }
    // A mask inherited from the starter must not hold the stop signals off.
    sigprocmask(SIG_UNBLOCK, &stop, nullptr);
}

}  // namespace

extern "C" void handle_stop_signal(int sig, siginfo_t* info, void*) {
    // Only async-signal-safe work. A request to stop, while jobs are being
    // probed, first has the results already settled written (the pass
    // wakes for it); a second one, or any other signal, ends at once.
    if ((sig == SIGTERM || sig == SIGINT || sig == SIGQUIT) && stop_request()) return;
    // Hand back a queue-lock token this process holds, so the download
    // manager's other processes are not locked out.
    jqs_release_on_signal();
    if (is_fault_signal(sig)) {
        // Back to the disposition it had, which then takes the signal: a
        // fault of the kernel's happens again on return, one sent by a
        // process (abort's included) is sent again.
        sigaction(sig, &fault_actions[sig], nullptr);
        if (info == nullptr || info->si_code <= 0) raise(sig);
        return;
    }
    // A stop: end at once. The memory goes back to the system with the
    // process.
    _exit(0);
}

int detect_run() {
    umask(0);
    setsid();
    (void)!chdir("/");
    keep_standard_fds_open();
    close(0);
    install_signals();
    stop_init();

    if (init_path()) {
        head = std::make_unique<LogNote>();
        initlognote3();
        // Stopped by a signal: what was settled is written and the token
        // is back; the marker stays, as for any stop.
        if (stop_requested()) _exit(0);
    }
    remove_marker();
    freelognote();
    sync();
    return 0;
}
