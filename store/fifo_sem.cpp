// A counting semaphore whose count is the number of bytes in a named FIFO.
// The kernel keeps the count, so any process that opens the path shares it;
// the bytes last only while some process holds the FIFO open.
#include <fcntl.h>
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
