// The detector's run: set the process up, load the queue, run the pass,
// remove the marker, exit 0.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "driver.h"
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

void install_signals() {
    signal(SIGHUP, SIG_IGN);
    struct sigaction sa {};
    sa.sa_handler = handle_stop_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGUSR2, &sa, nullptr);
    // A mask inherited from the starter must not hold the stop signals off.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGUSR2);
    sigprocmask(SIG_UNBLOCK, &stop, nullptr);
}

}  // namespace

extern "C" void handle_stop_signal(int) {
    // Only async-signal-safe work: hand back a queue-lock token this process
    // holds, so the download manager's other processes are not locked out,
    // and end. The memory goes back to the system with the process.
    jqs_release_on_signal();
    _exit(0);
}

int detect_run() {
    umask(0);
    setsid();
    (void)!chdir("/");
    keep_standard_fds_open();
    close(0);
    install_signals();

    init_path();
    head = std::make_unique<LogNote>();
    initlognote3();
    remove_marker();
    freelognote();
    sync();
    return 0;
}
