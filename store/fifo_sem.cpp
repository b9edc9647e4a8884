// A counting semaphore whose count is the number of bytes in a named FIFO.
// The kernel keeps the count, so any process that opens the path shares it;
// the bytes last only while some process holds the FIFO open.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "store.h"
#include "unique_fd.h"

namespace {

void clear_record(FifoSem* record) {
    std::memset(record, 0, sizeof *record);
}

}  // namespace

int Sem_open(FifoSem* record, const char* path, int flags, mode_t mode, unsigned value) {
    bool created = false;
    if (flags & O_CREAT) {
        if (mkfifo(path, mode) == 0) {
            created = true;
        } else if (errno != EEXIST || (flags & O_EXCL)) {
            return -1;
        }
    }
    if (record == nullptr) return -1;

    clear_record(record);
    record->read_fd = -1;
    record->write_fd = -1;

    // The read end first: a non-blocking open for writing fails with ENXIO
    // while no reader exists, and this one is ours.
    UniqueFd rd(open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    UniqueFd wr;
    bool ok = static_cast<bool>(rd);
    if (ok) {
        // Anything but a FIFO at the path (a left-over regular file, say)
        // would have its bytes eaten and overwritten as "tokens".
        struct stat st;
        ok = fstat(rd.get(), &st) == 0;
        if (ok && !S_ISFIFO(st.st_mode)) {
            errno = EINVAL;
            ok = false;
        }
    }
    if (ok) {
        wr.reset(open(path, O_WRONLY | O_NONBLOCK | O_CLOEXEC));
        ok = static_cast<bool>(wr);
    }
    if (ok) {
        int fl = fcntl(rd.get(), F_GETFL);
        ok = fl != -1 && fcntl(rd.get(), F_SETFL, fl & ~O_NONBLOCK) != -1;
    }
    for (unsigned i = 0; ok && created && i < value; ++i) {
        const char token = 0;
        ssize_t n = write(wr.get(), &token, 1);
        if (n != 1) {
            if (n >= 0) errno = EAGAIN;
            ok = false;
        }
    }
    if (!ok) {
        const int saved = errno;
        if (created) unlink(path);
        rd.reset();
        wr.reset();
        clear_record(record);
        errno = saved;
        return -1;
    }
    record->read_fd = rd.release();
    record->write_fd = wr.release();
    record->magic = SEM_MAGIC;
    return 0;
}

int Sem_wait(FifoSem* record) {
    if (record->magic != SEM_MAGIC) {
        errno = EINVAL;
        return -1;
    }
    // Not retried on EINTR: a signal is how a blocked waiter gets out.
    char token;
    return read(record->read_fd, &token, 1) == 1 ? 0 : -1;
}

int Sem_wait_marked(FifoSem* record, std::atomic<int>& held, const sigset_t& blocked) {
    if (record->magic != SEM_MAGIC) {
        errno = EINVAL;
        return -1;
    }
    // The byte is read without blocking while the signals are held off, and
    // marked before they can run; the wait for it happens in ppoll, the one
    // place where they are let through.
    sigset_t open_mask;
    pthread_sigmask(SIG_BLOCK, &blocked, &open_mask);
    const int fl = fcntl(record->read_fd, F_GETFL);
    int result = -1;
    if (fl != -1 && fcntl(record->read_fd, F_SETFL, fl | O_NONBLOCK) != -1) {
        for (;;) {
            char token;
            const ssize_t n = read(record->read_fd, &token, 1);
            if (n == 1) {
                held = 1;
                result = 0;
                break;
            }
            if (n < 0 && errno != EAGAIN && errno != EINTR) break;
            pollfd p{record->read_fd, POLLIN, 0};
            if (ppoll(&p, 1, nullptr, &open_mask) < 0 && errno != EINTR) break;
        }
        const int saved = errno;
        fcntl(record->read_fd, F_SETFL, fl);
        errno = saved;
    }
    pthread_sigmask(SIG_SETMASK, &open_mask, nullptr);
    return result;
}

int Sem_post(FifoSem* record) {
    if (record->magic != SEM_MAGIC) {
        errno = EINVAL;
        return -1;
    }
    const char token = 0;
    return write(record->write_fd, &token, 1) == 1 ? 0 : -1;
}

int Sem_close(FifoSem* record) {
    if (record->magic != SEM_MAGIC) {
        errno = EINVAL;
        return -1;
    }
    record->magic = 0;
    // Both are closed whatever the first close gives, so no descriptor leaks.
    int saved = 0;
    if (close(record->read_fd) != 0) saved = errno;
    if (close(record->write_fd) != 0 && saved == 0) saved = errno;
    const bool ok = saved == 0;
    clear_record(record);
    if (!ok) errno = saved;
    return ok ? 0 : -1;
}

int fifo_tokens(const char* path) {
    struct stat st;
    if (stat(path, &st) != 0) return -1;
    if (!S_ISFIFO(st.st_mode)) {
        errno = EINVAL;
        return -1;
    }
    UniqueFd fd(open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    int n = 0;
    if (!fd || ioctl(fd.get(), FIONREAD, &n) != 0) return -1;
    return n;
}
