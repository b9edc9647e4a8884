// Reading and writing a file whole: short transfers and EINTR retried, so
// no caller loops on its own.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

#include "wait.h"

/// Writes all `n` bytes at the descriptor's position; false with errno.
bool write_whole(int fd, const void* data, std::size_t n);
/// Writes all `n` bytes at offset `at`; false with errno.
bool pwrite_whole(int fd, const void* data, std::size_t n, off_t at);
/// Reads all `n` bytes at offset `at`; false at the end of the file (errno
/// 0) or with errno.
bool pread_whole(int fd, void* data, std::size_t n, off_t at);
/// Appends the rest of the file to `out`, at most `cap` bytes, checking
/// `deadline` between reads. False with errno (ETIMEDOUT past the
/// deadline); true with `out` cut at `cap` when there is more.
bool read_rest(int fd, std::string& out, std::size_t cap,
               Clock::time_point deadline = Clock::time_point::max());
