#include "lock_fifo.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

LockHolder::LockHolder(const std::string& path, int tokens) {
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    const char* p = path.c_str();
    pid_ = fork();
    if (pid_ == 0) {
        // Only async-signal-safe calls: the test process may have threads.
        close(ready[0]);
        mkfifo(p, 0666);
        const int rd = open(p, O_RDONLY | O_NONBLOCK);
        const int wr = open(p, O_WRONLY | O_NONBLOCK);
        char ok = rd >= 0 && wr >= 0 ? 1 : 0;
        for (int i = 0; ok && i < tokens; ++i)
            ok = write(wr, "t", 1) == 1 ? 1 : 0;
        (void)!write(ready[1], &ok, 1);
        close(ready[1]);
        for (;;)
            pause();
    }
    close(ready[1]);
    char ok = 0;
    const bool got = read(ready[0], &ok, 1) == 1;
    close(ready[0]);
    if (pid_ < 0 || !got || !ok) throw std::runtime_error("lock holder failed on " + path);
}

LockHolder::~LockHolder() {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
}

bool post_token(const std::string& path) {
    const int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK);
    if (fd < 0) return false;
    const bool ok = write(fd, "t", 1) == 1;
    close(fd);
    return ok;
}

int count_tokens(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK);
    if (fd < 0) return -1;
    int n = -1;
    if (ioctl(fd, FIONREAD, &n) != 0) n = -1;
    close(fd);
    return n;
}
