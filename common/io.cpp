#include "io.h"

#include <unistd.h>

#include <cerrno>

bool write_whole(int fd, const void* data, std::size_t n) {
    const char* p = static_cast<const char*>(data);
    while (n > 0) {
        const ssize_t w = write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            if (w == 0) errno = EIO;
            return false;
        }
        p += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

bool pwrite_whole(int fd, const void* data, std::size_t n, off_t at) {
    const char* p = static_cast<const char*>(data);
    while (n > 0) {
        const ssize_t w = pwrite(fd, p, n, at);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            if (w == 0) errno = EIO;
            return false;
        }
        p += w;
        n -= static_cast<std::size_t>(w);
        at += w;
    }
    return true;
}

bool pread_whole(int fd, void* data, std::size_t n, off_t at) {
    char* p = static_cast<char*>(data);
    while (n > 0) {
        const ssize_t r = pread(fd, p, n, at);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) {
            if (r == 0) errno = 0;
            return false;
        }
        p += r;
        n -= static_cast<std::size_t>(r);
        at += r;
    }
    return true;
}

bool read_rest(int fd, std::string& out, std::size_t cap, Clock::time_point deadline) {
    char buf[65536];
    for (std::size_t got = 0; got < cap;) {
        if (Clock::now() >= deadline) {
            errno = ETIMEDOUT;
            return false;
        }
        const ssize_t n = read(fd, buf, std::min(sizeof buf, cap - got));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) break;
        out.append(buf, static_cast<std::size_t>(n));
        got += static_cast<std::size_t>(n);
    }
    return true;
}
