#include "io.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace {

// Writes all `n` bytes: at offset `at`, or at the descriptor's position
// when `at` is negative.
bool put_whole(int fd, const void* data, std::size_t n, off_t at) {
    const char* p = static_cast<const char*>(data);
    while (n > 0) {
        const ssize_t w = at < 0 ? write(fd, p, n) : pwrite(fd, p, n, at);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            if (w == 0) errno = EIO;
            return false;
        }
        p += w;
        n -= static_cast<std::size_t>(w);
        if (at >= 0) at += w;
    }
    return true;
}

}  // namespace

bool write_whole(int fd, const void* data, std::size_t n) {
    return put_whole(fd, data, n, -1);
}

bool pwrite_whole(int fd, const void* data, std::size_t n, off_t at) {
    return put_whole(fd, data, n, at);
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
    // Straight into `out`, a block at a time: no buffer on a worker's small
    // stack.
    constexpr std::size_t BLOCK = std::size_t{64} * 1024;
    const std::size_t start = out.size();
    for (std::size_t got = 0; got < cap;) {
        if (Clock::now() >= deadline) {
            errno = ETIMEDOUT;
            return false;
        }
        const std::size_t want = std::min(BLOCK, cap - got);
        out.resize(start + got + want);
        const ssize_t n = read(fd, out.data() + start + got, want);
        if (n < 0 && errno == EINTR) continue;
        out.resize(start + got + static_cast<std::size_t>(n > 0 ? n : 0));
        if (n < 0) return false;
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    return true;
}
